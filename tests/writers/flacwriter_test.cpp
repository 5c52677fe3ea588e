#include "writeframes.h"
#include "writers/flacwriter.h"
#include "writers/repair.h"

#include "codectestsupport.h"
#include "settings/config.h"
#include "support/filesizelimit.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Wrappers around the loaded libFLAC that record what the writer hands it.
FlacApi realApi;
std::vector<int32_t> handedSamples;
std::vector<uint32_t> handedFrames;
int finishCalls = 0;
int deleteCalls = 0;

FLAC__bool watchedProcess(FLAC__StreamEncoder* e, const FLAC__int32 buffer[], uint32_t frames) {
    handedFrames.push_back(frames);
    handedSamples.assign(buffer, buffer + frames * 2);
    return realApi.FLAC__stream_encoder_process_interleaved(e, buffer, frames);
}

FLAC__bool watchedFinish(FLAC__StreamEncoder* e) {
    ++finishCalls;
    return realApi.FLAC__stream_encoder_finish(e);
}

void watchedDelete(FLAC__StreamEncoder* e) {
    ++deleteCalls;
    realApi.FLAC__stream_encoder_delete(e);
}

FlacApi watchedApi() {
    realApi = flacBinding().api;
    FlacApi api = realApi;
    api.FLAC__stream_encoder_process_interleaved = watchedProcess;
    api.FLAC__stream_encoder_finish = watchedFinish;
    api.FLAC__stream_encoder_delete = watchedDelete;
    handedSamples.clear();
    handedFrames.clear();
    finishCalls = 0;
    deleteCalls = 0;
    return api;
}

tWAVEFORMATEX pcmFormat(uint32_t rate, uint16_t bits, uint16_t channels = 2) {
    tWAVEFORMATEX f = pcm16Stereo(rate);
    f.nChannels = channels;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

// Reads a file as 32-bit integers (libsndfile scales every format to the full 32-bit range).
std::vector<int> decodeInts(const QString& path, SF_INFO& info) {
    info = SF_INFO{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return {};
    std::vector<int> samples(static_cast<size_t>(info.frames * info.channels));
    sf_readf_int(file, samples.data(), info.frames);
    sf_close(file);
    return samples;
}

class FlacWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        config.flaclevel = 4;
        ASSERT_TRUE(flacBinding().loaded) << flacBinding().error.toStdString();
    }
    QString path(const std::string& name) const {
        return m_dir.filePath(QString::fromStdString(name));
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(FlacWriterTest, LosslessAtEveryLevel) {
    for (int level : {0, 4, 8}) {
        for (uint32_t rate : {44100u, 48000u}) {
            config.flaclevel = level;
            const QString file =
                path("l" + std::to_string(level) + "-" + std::to_string(rate) + ".flac");
            // Noise and music, so that both the verbatim and the predicted paths are taken.
            auto input = testSignal(rate / 2, static_cast<uint32_t>(level + 1));
            const auto music = musicSignal(rate, rate);
            input.insert(input.end(), music.begin(), music.end());
            {
                TFLACwriter writer(file, pcm16Stereo(rate));
                const size_t block = rate * 3 / 100;
                for (size_t done = 0; done < input.size() / 2; done += block)
                    ASSERT_EQ(
                        writeFrames(writer, input, done, std::min(block, input.size() / 2 - done)),
                        0);
            }
            const DecodedSound sound = decodeSound(file);
            ASSERT_TRUE(sound.ok) << sound.error.toStdString();
            EXPECT_EQ(sound.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
            EXPECT_EQ(sound.sampleRate, static_cast<int>(rate));
            EXPECT_EQ(sound.channels, 2);
            EXPECT_TRUE(sound.samples == input) << "level " << level << ", " << rate << " Hz";
        }
    }
}

TEST_F(FlacWriterTest, SampleConversion) {
    int32_t out[3] = {};
    const uint8_t s16[] = {0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00};
    TFLACwriter::convertSamples(s16, 3, 16, out);
    EXPECT_EQ(out[0], -32768);
    EXPECT_EQ(out[1], 32767);
    EXPECT_EQ(out[2], 1);
    const uint8_t s8[] = {0x00, 0xFF, 0x80};
    TFLACwriter::convertSamples(s8, 3, 8, out);
    EXPECT_EQ(out[0], -128);
    EXPECT_EQ(out[1], 127);
    EXPECT_EQ(out[2], 0);
    const uint8_t s24[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF};
    TFLACwriter::convertSamples(s24, 3, 24, out);
    EXPECT_EQ(out[0], -8388608);
    EXPECT_EQ(out[1], 8388607);
    EXPECT_EQ(out[2], -1);

    // A 30 ms block at 48 kHz: 1440 frames, 2880 integers.
    const auto input = testSignal(1440);
    const FlacApi api = watchedApi();
    {
        TFLACwriter writer(path("block.flac"), pcm16Stereo(48000), &api);
        EXPECT_EQ(writeFrames(writer, input, 0, 1440), 0);
        ASSERT_EQ(handedFrames, std::vector<uint32_t>{1440});
        ASSERT_EQ(handedSamples.size(), 2880u);
        for (size_t i = 0; i < input.size(); ++i)
            ASSERT_EQ(handedSamples[i], input[i]) << i;
    }
    EXPECT_EQ(finishCalls, 1);
    EXPECT_EQ(deleteCalls, 1);
}

TEST_F(FlacWriterTest, EightAndTwentyFourBitFiles) {
    // 8-bit: unsigned bytes; 24-bit: three little-endian bytes, extremes included.
    std::vector<uint8_t> bytes8;
    std::vector<uint8_t> bytes24;
    for (int i = 0; i < 4000; ++i) {
        bytes8.push_back(static_cast<uint8_t>(i * 7));
        const int32_t v = i == 0 ? -8388608 : i == 1 ? 8388607 : (i * 104729) % 8388608 - 4194304;
        for (int k = 0; k < 3; ++k)
            bytes24.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * k)));
    }
    const struct {
        uint16_t bits;
        const std::vector<uint8_t>& bytes;
        int shift; // libsndfile's scaling to 32 bits
    } cases[] = {{8, bytes8, 24}, {24, bytes24, 8}};
    for (const auto& c : cases) {
        const QString file = path("bits" + std::to_string(c.bits) + ".flac");
        const tWAVEFORMATEX format = pcmFormat(44100, c.bits);
        {
            TFLACwriter writer(file, format);
            writer.write(c.bytes.data(), static_cast<uint32_t>(c.bytes.size()));
        }
        const size_t n = c.bytes.size() / (c.bits / 8);
        std::vector<int32_t> expected(n);
        TFLACwriter::convertSamples(c.bytes.data(), n, c.bits, expected.data());
        SF_INFO info;
        const std::vector<int> decoded = decodeInts(file, info);
        EXPECT_EQ(info.format & SF_FORMAT_SUBMASK,
                  c.bits == 8 ? SF_FORMAT_PCM_S8 : SF_FORMAT_PCM_24);
        ASSERT_EQ(decoded.size(), n) << c.bits;
        for (size_t i = 0; i < n; ++i)
            ASSERT_EQ(decoded[i] >> c.shift, expected[i]) << c.bits << " bits, sample " << i;
    }

    // Any other sample size has no defined conversion and is refused.
    try {
        TFLACwriter writer(path("bits20.flac"), pcmFormat(44100, 20));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "FLAC output needs 8, 16 or 24-bit samples; this format has 20 bits.");
    }
}

TEST_F(FlacWriterTest, EmptyFileAndInitialisationFailure) {
    const QString file = path("empty.flac");
    FlacApi api = watchedApi();
    { TFLACwriter writer(file, pcm16Stereo(44100), &api); }
    EXPECT_EQ(finishCalls, 1);
    EXPECT_EQ(deleteCalls, 1);
    // libsndfile takes the sample count 0 of an empty stream for "unknown", so read to the end.
    const DecodedSound sound = decodeToEnd(file);
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    EXPECT_EQ(sound.sampleRate, 44100);
    EXPECT_TRUE(sound.samples.empty());

    // The file cannot be created, or its header not written: libFLAC's status in eight
    // hexadecimal digits and the system's reason, and the encoder is still finished and
    // deleted.
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), path("full.flac")));
    const struct {
        std::string name;
        std::string expected;
    } cases[] = {{"missing/x.flac", "Cannot create file \"%1\": No such file or directory"},
                 {"full.flac", "Cannot write file \"%1\": No space left on device"}};
    for (const auto& c : cases) {
        api = watchedApi();
        const QString name = path(c.name);
        try {
            TFLACwriter writer(name, pcm16Stereo(44100), &api);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), "Can not initialize FLAC encoder. Error code: 00000001. " +
                                    QString::fromStdString(c.expected).arg(name).toStdString());
        }
        EXPECT_EQ(finishCalls, 1);
        EXPECT_EQ(deleteCalls, 1);
    }
}

// The disk fills in the middle of a recording: write() says why in the system's words, and
// the file ends on a whole frame with STREAMINFO completed, so that it is whole without a
// repair.
TEST_F(FlacWriterTest, FullDiskLeavesAWholeFile) {
    const QString file = path("full.flac");
    const auto input = musicSignal(48000 * 4, 48000, 9);
    const uint64_t limit = 60000;

    const int rc = runWithFileSizeLimit(limit, [&]() {
        TFLACwriter writer(file, pcm16Stereo(48000));
        size_t done = 0;
        try {
            for (; done + 1440 <= input.size() / 2; done += 1440)
                writeFrames(writer, input, done, 1440);
            return 10;
        } catch (const std::runtime_error& e) {
            const std::string what = e.what();
            if (what.find("FLAC__STREAM_ENCODER_CLIENT_ERROR") == std::string::npos ||
                what.find(std::strerror(EFBIG)) == std::string::npos) {
                std::fprintf(stderr, "%s\n", e.what());
                return 11;
            }
        }
        try {
            writeFrames(writer, input, done, 1440);
            return 12;
        } catch (const std::runtime_error&) {
        }
        // write() reported the failure; finishing has nothing to add. The file is a recording,
        // not one to remove.
        if (!writer.close().isEmpty())
            return 13;
        return writer.holdsAudio() ? 0 : 14;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_LE(QFileInfo(file).size(), static_cast<qint64>(limit));

    const DecodedSound sound = decodeToEnd(file);
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    ASSERT_GT(sound.samples.size(), 2 * 4608u);
    ASSERT_LE(sound.samples.size(), input.size());
    EXPECT_TRUE(std::equal(sound.samples.begin(), sound.samples.end(), input.begin()));

    // STREAMINFO states exactly what the file holds: the count and the MD5 of its samples
    // (little-endian, as here).
    const QByteArray bytes = readFileBytes(file);
    ASSERT_GE(bytes.size(), 42);
    const auto* info = reinterpret_cast<const uint8_t*>(bytes.constData()) + 8;
    uint64_t total = info[13] & 0x0F;
    for (int i = 14; i < 18; ++i)
        total = total << 8 | info[i];
    EXPECT_EQ(total, sound.samples.size() / 2);
    const QByteArray md5 =
        QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char*>(sound.samples.data()),
                                                static_cast<qsizetype>(sound.samples.size() * 2)),
                                 QCryptographicHash::Md5);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(info + 18), 16).toHex().toStdString(),
              md5.toHex().toStdString());

    // The repair at the next start finds nothing to mend; the reference tool checks every
    // frame too.
    EXPECT_EQ(repairRecording(file), RepairOutcome::Unchanged);
    const QString flac = QStandardPaths::findExecutable(QStringLiteral("flac"));
    if (!flac.isEmpty()) {
        QProcess test;
        test.start(flac, {QStringLiteral("--test"), QStringLiteral("--silent"), file});
        ASSERT_TRUE(test.waitForFinished(120000));
        EXPECT_EQ(test.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(test.exitCode(), 0) << test.readAllStandardError().toStdString();
    }
}
