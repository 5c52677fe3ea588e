#include "writeframes.h"
#include "writers/filesyncer.h"
#include "writers/wavwriter.h"

#include "support/filesizelimit.h"
#include "support/soundfile.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <random>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

uint32_t le32(const QByteArray& bytes, int offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(bytes[offset + i]);
    return v;
}

// Checks that the header's sizes describe the file as it is on disk and returns the data size.
uint32_t checkedDataSize(const QString& path) {
    const QByteArray bytes = readAll(path);
    EXPECT_GE(bytes.size(), 44);
    if (bytes.size() < 44)
        return 0;
    EXPECT_EQ(le32(bytes, 4), static_cast<uint32_t>(bytes.size() - 8));
    EXPECT_EQ(le32(bytes, 40), static_cast<uint32_t>(bytes.size() - 44));
    return le32(bytes, 40);
}

// The file decodes as 16-bit stereo at `rate` and holds exactly the first `frames` frames
// of `input`.
void expectDecodesTo(const QString& path, uint32_t rate, const std::vector<int16_t>& input,
                     size_t frames) {
    const DecodedSound sound = decodeSound(path);
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    EXPECT_EQ(sound.sampleRate, static_cast<int>(rate));
    EXPECT_EQ(sound.channels, 2);
    EXPECT_EQ(sound.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_LE(frames * 2, input.size());
    ASSERT_EQ(sound.samples.size(), frames * 2);
    for (size_t i = 0; i < frames * 2; ++i)
        ASSERT_EQ(sound.samples[i], input[i]) << "sample " << i;
}

// Like runWithFileSizeLimit, but lowers only the soft limit, so that the body can give the
// space back (raise it again) without privileges.
int runWithSoftFileSizeLimit(uint64_t limitBytes, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        if (getrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(100);
        limit.rlim_cur = limitBytes;
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(101);
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class WavWriterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(WavWriterTest, EmptyFileIsTheClassicHeader) {
    // clang-format off
    const unsigned char header48k[44] = {
        'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E',
        'f', 'm', 't', ' ', 16, 0, 0, 0,
        1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0x00, 0xEE, 0x02, 0, 4, 0, 16, 0,
        'd', 'a', 't', 'a', 0, 0, 0, 0};
    const unsigned char header44k[44] = {
        'R', 'I', 'F', 'F', 36, 0, 0, 0, 'W', 'A', 'V', 'E',
        'f', 'm', 't', ' ', 16, 0, 0, 0,
        1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0, 4, 0, 16, 0,
        'd', 'a', 't', 'a', 0, 0, 0, 0};
    // clang-format on

    const struct {
        uint32_t rate;
        const unsigned char* header;
    } cases[] = {{48000, header48k}, {44100, header44k}};
    for (const auto& c : cases) {
        const QString file = path(c.rate == 48000 ? "48k.wav" : "44k.wav");
        {
            TWAVWriter writer(file, pcm16Stereo(c.rate));
            EXPECT_EQ(writer.pendingBytes(), 0u);
            EXPECT_EQ(readAll(file).size(), 44);
        }
        EXPECT_EQ(readAll(file), QByteArray(reinterpret_cast<const char*>(c.header), 44)) << c.rate;
        expectDecodesTo(file, c.rate, {}, 0);
    }
}

TEST_F(WavWriterTest, SourceBufferAndLimits) {
    const QString file = path("sizes.wav");
    // 100 ms rounded to the nearest frame, at least one frame.
    const struct {
        uint32_t rate;
        uint32_t bytes;
    } cases[] = {{48000, 19200}, {44100, 17640}, {11025, 4412}, {22050, 8820}, {4, 4}, {1, 4}};
    for (const auto& c : cases) {
        TWAVWriter writer(file, pcm16Stereo(c.rate));
        EXPECT_EQ(writer.sourceBufferSize(), c.bytes) << c.rate;
        // RIFF size = 36 + data size must fit 32 bits, in whole 4-byte frames.
        EXPECT_EQ(writer.maxDataBytes(), 4294967256u);
    }
}

TEST_F(WavWriterTest, SmallWriteIsBufferedAndWrittenAtClose) {
    const QString file = path("small.wav");
    const auto input = testSignal(1000);
    {
        TWAVWriter writer(file, pcm16Stereo(48000));
        EXPECT_EQ(writeFrames(writer, input, 0, 1000), 0);
        EXPECT_EQ(writer.pendingBytes(), 4000u);
        EXPECT_EQ(readAll(file).size(), 44);
    }
    EXPECT_EQ(checkedDataSize(file), 4000u);
    expectDecodesTo(file, 48000, input, 1000);
}

TEST_F(WavWriterTest, TwoAndAHalfBuffersConvertTwice) {
    const QString file = path("two-half.wav");
    uint32_t bufferBytes = 0;
    std::vector<int16_t> input;
    {
        TWAVWriter writer(file, pcm16Stereo(44100));
        bufferBytes = writer.sourceBufferSize();
        const size_t frames = bufferBytes * 5 / 2 / 4;
        input = testSignal(frames);
        EXPECT_EQ(writeFrames(writer, input, 0, frames), static_cast<int32_t>(2 * bufferBytes));
        EXPECT_EQ(writer.pendingBytes(), bufferBytes / 2);
        EXPECT_EQ(readAll(file).size(), 44 + 2 * static_cast<qsizetype>(bufferBytes));
    }
    EXPECT_EQ(checkedDataSize(file), bufferBytes * 5 / 2);
    expectDecodesTo(file, 44100, input, input.size() / 2);
}

TEST_F(WavWriterTest, RandomBlocksMakingTwoBuffers) {
    std::mt19937 rng(7);
    int finished = 0;
    for (int round = 0; round < 5; ++round) {
        const QString file = path("random.wav");
        // Declared before the writer: the finish handler below still reads it.
        const size_t totalFrames = 2 * 19200 / 4;
        const auto input = testSignal(totalFrames, static_cast<uint32_t>(round + 1));
        TWAVWriter writer(file, pcm16Stereo(48000));
        ASSERT_EQ(writer.sourceBufferSize(), 19200u);
        std::uniform_int_distribution<size_t> blockFrames(1, 3000);

        int64_t returned = 0;
        size_t done = 0;
        while (done < totalFrames) {
            const size_t n = std::min(blockFrames(rng), totalFrames - done);
            const int32_t result = writeFrames(writer, input, done, n);
            EXPECT_GE(result, 0);
            returned += result;
            done += n;
        }
        EXPECT_EQ(returned, 2 * static_cast<int64_t>(writer.sourceBufferSize()));
        EXPECT_EQ(writer.pendingBytes(), 0u);
        EXPECT_EQ(readAll(file).size(), 44 + returned);

        writer.onFinished = [&](TAudioWriter& sender, QString name) {
            // The file is complete by the time the handler runs.
            ++finished;
            EXPECT_EQ(&sender, &writer);
            EXPECT_EQ(name, file);
            EXPECT_EQ(checkedDataSize(name), static_cast<uint32_t>(returned));
            expectDecodesTo(name, 48000, input, totalFrames);
        };
    }
    EXPECT_EQ(finished, 5);
}

TEST_F(WavWriterTest, CreationFailures) {
    // A folder that does not exist.
    try {
        TWAVWriter writer(path("missing/x.wav"), pcm16Stereo(48000));
        ADD_FAILURE() << "no exception";
    } catch (const EMakerError& e) {
        EXPECT_STREQ(e.what(), "Can not open file: No such file or directory");
        EXPECT_EQ(e.ErrorCode(), -1);
    }

    // A file that can be opened but takes no bytes.
    const QString full = path("full.wav");
    ASSERT_EQ(::symlink("/dev/full", QFile::encodeName(full).constData()), 0);
    try {
        TWAVWriter writer(full, pcm16Stereo(48000));
        ADD_FAILURE() << "no exception";
    } catch (const EMakerError& e) {
        EXPECT_STREQ(e.what(), "Can not create file header: No space left on device");
        EXPECT_EQ(e.ErrorCode(), -1);
    }

    // A format the pass-through stream cannot carry: refused before any file is made.
    tWAVEFORMATEX broken = pcm16Stereo(48000);
    broken.nBlockAlign = 0;
    const QString unused = path("unused.wav");
    try {
        TWAVWriter writer(unused, broken);
        ADD_FAILURE() << "no exception";
    } catch (const EMakerError& e) {
        EXPECT_STREQ(e.what(), "Can not open conversion stream");
        EXPECT_EQ(e.ErrorCode(), -1);
    }
    EXPECT_FALSE(QFileInfo::exists(unused));
}

TEST_F(WavWriterTest, FullDiskWhileWriting) {
    const QString file = path("disk-full.wav");
    constexpr uint32_t bufferBytes = 19200; // 100 ms at 48000 Hz
    const auto input = testSignal(4 * bufferBytes / 4);
    // Room for one buffer, half of the next and a stray half frame.
    const uint64_t limit = 44 + bufferBytes + bufferBytes / 2 + 2;

    const int rc = runWithFileSizeLimit(limit, [&]() {
        TWAVWriter writer(file, pcm16Stereo(48000));
        if (writer.sourceBufferSize() != bufferBytes)
            return 10;
        size_t done = 0;
        try {
            for (; done < input.size() / 2; done += 1200)
                writeFrames(writer, input, done, 1200);
            return 11;
        } catch (const EMakerError& e) {
            if (std::string(e.what()) != "Failed to write data to file: File too large" ||
                e.ErrorCode() != -1)
                return 12;
        }
        // Later blocks are refused too.
        try {
            writeFrames(writer, input, done, 1200);
            return 13;
        } catch (const EMakerError&) {
        }
        return 0;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(checkedDataSize(file), bufferBytes + bufferBytes / 2);
    expectDecodesTo(file, 48000, input, (bufferBytes + bufferBytes / 2) / 4);
}

TEST_F(WavWriterTest, FullDiskAtClose) {
    const QString file = path("close-full.wav");
    const auto input = testSignal(19200 * 3 / 2 / 4);
    const uint64_t limit = 44 + 19200 + 101;

    const int rc = runWithFileSizeLimit(limit, [&]() {
        TWAVWriter writer(file, pcm16Stereo(48000));
        return writeFrames(writer, input, 0, input.size() / 2) == 19200 ? 0 : 10;
        // The destructor meets the full disk with the buffered tail and must not throw.
    });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(checkedDataSize(file), 19200u + 100u);
    expectDecodesTo(file, 48000, input, (19200 + 100) / 4);
}

TEST_F(WavWriterTest, NothingIsAppendedAfterAFailedWrite) {
    const QString file = path("space-back.wav");
    const auto input = testSignal(3 * 19200 / 4);
    const uint64_t limit = 44 + 19200 + 1000;

    const int rc = runWithSoftFileSizeLimit(limit, [&]() {
        TWAVWriter writer(file, pcm16Stereo(48000));
        try {
            writeFrames(writer, input, 0, 2 * 19200 / 4);
            return 10;
        } catch (const EMakerError&) {
        }
        // Space comes back. Retrying the failed buffer now would put the first 1000 bytes of
        // it in the file twice; the writer must refuse instead, also at close.
        rlimit limits{};
        getrlimit(RLIMIT_FSIZE, &limits);
        limits.rlim_cur = limits.rlim_max;
        if (setrlimit(RLIMIT_FSIZE, &limits) != 0)
            return 11;
        try {
            writeFrames(writer, input, 2 * 19200 / 4, 19200 / 4);
            return 12;
        } catch (const EMakerError& e) {
            if (std::string(e.what()) != "Failed to write data to file: File too large")
                return 13;
        }
        return 0;
    });
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(checkedDataSize(file), 19200u + 1000u);
    expectDecodesTo(file, 48000, input, (19200 + 1000) / 4);
}

TEST_F(WavWriterTest, HeaderAndDiskFollowTheRecordingEverySecond) {
    // While recording, the sizes describe every whole second written so far, so that a file
    // left by a crash plays up to about its last second; each second is synced as well.
    const QString file = path("live.wav");
    const uint32_t second = 44100 * 4;
    const auto input = testSignal(44100 * 5 / 2);
    const uint64_t syncsBefore = FileSyncer::instance().completedSyncs();
    {
        TWAVWriter writer(file, pcm16Stereo(44100));
        for (size_t done = 0; done < input.size() / 2; done += 882) {
            writeFrames(writer, input, done, 882);
            const QByteArray bytes = readAll(file);
            const auto inFile = static_cast<uint32_t>(bytes.size() - 44);
            ASSERT_EQ(le32(bytes, 40), inFile / second * second) << done;
            // Until the first second, the RIFF size is the 0 the header was created with.
            if (inFile >= second) {
                ASSERT_EQ(le32(bytes, 4), le32(bytes, 40) + 36) << done;
            }
        }
        FileSyncer::instance().waitIdle();
        EXPECT_GE(FileSyncer::instance().completedSyncs(), syncsBefore + 2);
    }
    // Closing syncs the finished file once more.
    FileSyncer::instance().waitIdle();
    EXPECT_GE(FileSyncer::instance().completedSyncs(), syncsBefore + 3);
    EXPECT_EQ(checkedDataSize(file), 44100u * 5 / 2 * 4);
    expectDecodesTo(file, 44100, input, 44100 * 5 / 2);
}
