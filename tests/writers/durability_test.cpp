#include "writers/codectable.h"
#include "writers/repair.h"

#include "codectestsupport.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sndfile.h>

#include <csignal>
#include <spawn.h>
#include <string>
#include <sys/wait.h>

extern char** environ;

namespace {

// Not a whole number of seconds, so that the kill comes between two of the writers' updates.
constexpr uint32_t Milliseconds = 5370;
constexpr double Seconds = Milliseconds / 1000.0;
// What a kill may cost: about the last second, and the codecs' own delay.
constexpr double MayLose = 1.1;

struct Killed {
    bool killed = false;
    std::string problem;
};

// Runs the helper that records `Milliseconds` of music with `codec` into `file` and kills
// itself before finishing the file.
Killed recordAndKill(int codec, const QString& file, uint32_t rate) {
    const std::string codecText = std::to_string(codec);
    const std::string name = QFile::encodeName(file).toStdString();
    const std::string rateText = std::to_string(rate);
    const std::string secondsText = std::to_string(Milliseconds);
    std::vector<char*> args = {
        const_cast<char*>(KILLED_RECORDER),     const_cast<char*>(codecText.c_str()),
        const_cast<char*>(name.c_str()),        const_cast<char*>(rateText.c_str()),
        const_cast<char*>(secondsText.c_str()), nullptr};
    pid_t pid = 0;
    Killed result;
    if (posix_spawn(&pid, KILLED_RECORDER, nullptr, nullptr, args.data(), environ) != 0) {
        result.problem = "the helper did not start";
        return result;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        result.problem = "waitpid failed";
        return result;
    }
    result.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    if (!result.killed)
        result.problem = "the helper ended otherwise: status " + std::to_string(status);
    return result;
}

int64_t flacTotalSamples(const QString& path) {
    const QByteArray bytes = readFileBytes(path);
    if (bytes.size() < 42)
        return -1;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData()) + 8;
    return static_cast<int64_t>(p[13] & 0x0F) << 32 | static_cast<int64_t>(p[14]) << 24 |
           p[15] << 16 | p[16] << 8 | p[17];
}

// Checks `decoded` against the music the helper recorded: at least `minSeconds` of it, the
// same samples for lossless formats, the same music for lossy ones.
void expectMusic(const std::vector<int16_t>& decoded, uint32_t rate, double minSeconds,
                 bool lossless) {
    const auto input = musicSignal(static_cast<size_t>(rate) * Milliseconds / 1000, rate, 11);
    const size_t frames = decoded.size() / 2;
    EXPECT_GE(frames, static_cast<size_t>(minSeconds * rate));
    EXPECT_LE(frames, input.size() / 2 + 3 * 2048);
    if (lossless) {
        ASSERT_LE(decoded.size(), input.size());
        size_t first = 0;
        while (first < decoded.size() && decoded[first] == input[first])
            ++first;
        EXPECT_EQ(first, decoded.size()) << "first difference at sample " << first;
    } else {
        EXPECT_GE(alignedCorrelation(input, decoded, 3000, frames - 4096), 0.98);
    }
}

class DurabilityTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QTemporaryDir m_dir;
};

} // namespace

// Codec indexes: 0 MP3, 1 Ogg Vorbis, 2 WAV, 3 FLAC.
TEST_P(DurabilityTest, KilledRecordingDecodesAndRepairs) {
    const int codec = GetParam();
    const bool lossless = codec == 2 || codec == 3;
    for (uint32_t rate : {44100u, 48000u}) {
        SCOPED_TRACE(rate);
        const QString file =
            m_dir.filePath(QStringLiteral("killed-%1.%2").arg(rate).arg(codecExtension(codec)));
        const Killed run = recordAndKill(codec, file, rate);
        ASSERT_TRUE(run.killed) << run.problem;

        // As the kill left it: decodable up to about its last second, nothing corrupt before.
        const DecodedSound left = codec == 2 ? decodeSound(file) : decodeToEnd(file);
        ASSERT_TRUE(left.ok) << left.error.toStdString();
        EXPECT_EQ(left.sampleRate, static_cast<int>(rate));
        EXPECT_EQ(left.channels, 2);
        expectMusic(left.samples, rate, Seconds - MayLose, lossless);

        // Repaired: whole, with sizes and counts that describe it, and a repair is final.
        QString detail;
        const RepairOutcome outcome = repairRecording(file, &detail);
        // The WAV and FLAC headers need their sizes; Ogg pages and MP3 frames are written
        // whole, so those files are usually complete as they are.
        if (lossless) {
            EXPECT_EQ(outcome, RepairOutcome::Repaired) << detail.toStdString();
        } else {
            EXPECT_NE(outcome, RepairOutcome::Failed) << detail.toStdString();
        }
        EXPECT_EQ(repairRecording(file), RepairOutcome::Unchanged);

        // decodeSound trusts the stated length and fails when the file holds less.
        const DecodedSound repaired = lossless ? decodeSound(file) : decodeToEnd(file);
        ASSERT_TRUE(repaired.ok) << repaired.error.toStdString();
        expectMusic(repaired.samples, rate, Seconds - MayLose, lossless);
        EXPECT_GE(repaired.samples.size(), left.samples.size());
        if (codec == 2) {
            // Everything the writer had handed to the file: its whole 100 ms buffers.
            EXPECT_EQ(QFileInfo(file).size(),
                      44 + 4 * static_cast<qint64>(repaired.samples.size() / 2));
            EXPECT_EQ(repaired.samples.size() / 2, static_cast<size_t>(rate) * 53 / 10);
        }
        if (codec == 3) {
            EXPECT_EQ(flacTotalSamples(file), static_cast<int64_t>(repaired.samples.size() / 2));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, DurabilityTest, ::testing::Values(0, 1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return codecExtension(info.param).toStdString();
                         });
