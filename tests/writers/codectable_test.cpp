#include "common/recordinglock.h"
#include "settings/config.h"
#include "support/soundfile.h"
#include "writers/codectable.h"
#include "writers/flacwriter.h"
#include "writers/mp3writer.h"
#include "writers/oggwriter.h"
#include "writers/wavwriter.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

class FakeWriter final : public TAudioWriter {
public:
    using TAudioWriter::TAudioWriter;
    int32_t write(const void*, uint32_t) override { return 0; }
};

std::unique_ptr<TAudioWriter> createFake(const QString& filename, const tWAVEFORMATEX&) {
    return std::make_unique<FakeWriter>(filename);
}

std::string creationError(int codec, const QString& path) {
    try {
        createWriter(codec, path, pcm16Stereo(48000));
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return {};
}

} // namespace

TEST(CodecTable, RowsGiveFilterAndExtension) {
    const char* filters[] = {"MP3 files (*.mp3)|*.mp3", "OGG Vorbis files (*.ogg)|*.ogg",
                             "WAV files (*.wav)|*.wav", "FLAC Audio files (*.flac)|*.flac"};
    const char* extensions[] = {"mp3", "ogg", "wav", "flac"};
    for (int i = 0; i < CodecCount; ++i) {
        ASSERT_NE(codecRow(i), nullptr);
        EXPECT_EQ(codecFilter(i), QString::fromLatin1(filters[i]));
        EXPECT_EQ(codecExtension(i), QString::fromLatin1(extensions[i]));
    }
    for (int bad : {-1, 4, 1000}) {
        EXPECT_EQ(codecRow(bad), nullptr);
        EXPECT_TRUE(codecExtension(bad).isEmpty());
        EXPECT_TRUE(codecFilter(bad).isEmpty());
    }
}

TEST(CodecTable, UnknownFormatsThrowClearMessages) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("x"));
    for (int bad : {-1, 4}) {
        const std::string message = creationError(bad, path);
        EXPECT_NE(message.find("output format number " + std::to_string(bad)), std::string::npos)
            << message;
    }
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST(CodecTable, RowsCreateTheirWriters) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    config.bitrate = 5;
    config.oggquality = 4;
    config.flaclevel = 4;
    const QString base = dir.filePath(QStringLiteral("rec."));

    auto mp3 = createWriter(0, base + codecExtension(0), pcm16Stereo(44100));
    EXPECT_NE(dynamic_cast<TMP3writer*>(mp3.get()), nullptr);
    auto ogg = createWriter(1, base + codecExtension(1), pcm16Stereo(44100));
    EXPECT_NE(dynamic_cast<TOGGwriter*>(ogg.get()), nullptr);
    auto flac = createWriter(3, base + codecExtension(3), pcm16Stereo(44100));
    EXPECT_NE(dynamic_cast<TFLACwriter*>(flac.get()), nullptr);
    mp3.reset();
    ogg.reset();
    flac.reset();
    for (int codec : {0, 1, 3})
        EXPECT_TRUE(QFileInfo::exists(base + codecExtension(codec))) << codec;
}

TEST(CodecTable, WavRowCreatesWavWriter) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("a.") + codecExtension(2));
    auto writer = createWriter(2, path, pcm16Stereo(44100));
    EXPECT_NE(dynamic_cast<TWAVWriter*>(writer.get()), nullptr);
    EXPECT_EQ(writer->filename(), path);
    writer.reset();
    EXPECT_EQ(QFileInfo(path).size(), 44);
}

TEST(CodecTable, TestFactoryReplacesAndRestoresRow) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("b.mp3"));

    setWriterFactoryForTesting(0, createFake);
    auto writer = createWriter(0, path, pcm16Stereo(48000));
    EXPECT_NE(dynamic_cast<FakeWriter*>(writer.get()), nullptr);
    EXPECT_EQ(codecRow(0)->create, createFake);
    EXPECT_EQ(codecExtension(0), QStringLiteral("mp3"));

    setWriterFactoryForTesting(0, nullptr);
    EXPECT_EQ(codecRow(0)->create, TMP3writer::create);

    setWriterFactoryForTesting(2, createFake);
    EXPECT_NE(dynamic_cast<FakeWriter*>(createWriter(2, path, pcm16Stereo(48000)).get()), nullptr);
    setWriterFactoryForTesting(2, nullptr);
    EXPECT_EQ(codecRow(2)->create, TWAVWriter::create);

    // Out-of-range rows are ignored rather than written past the table.
    setWriterFactoryForTesting(4, createFake);
    setWriterFactoryForTesting(-1, createFake);
    EXPECT_FALSE(creationError(4, path).empty());
}

TEST(AudioWriter, OnFinishedGetsWriterAndName) {
    int calls = 0;
    QString seen;
    {
        FakeWriter writer(QStringLiteral("/tmp/some name.wav"));
        writer.onFinished = [&](TAudioWriter& sender, QString filename) {
            ++calls;
            seen = filename;
            EXPECT_EQ(sender.filename(), filename);
        };
        EXPECT_EQ(calls, 0);
    }
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, QStringLiteral("/tmp/some name.wav"));

    // A handler that throws must not escape the destructor.
    {
        FakeWriter writer(QStringLiteral("x"));
        writer.onFinished = [](TAudioWriter&, QString) { throw std::runtime_error("boom"); };
    }
}

// Every writer marks its file as being recorded until the file is finished, so that no other
// program of ours changes it meanwhile; a second recording of that file is refused.
TEST(CodecTable, EveryWriterLocksItsFileUntilItIsFinished) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const tWAVEFORMATEX pcm = pcm16Stereo(48000);
    const std::vector<int16_t> block(4800 * 2, 3000);
    for (int codec = 0; codec < CodecCount; ++codec) {
        SCOPED_TRACE(codec);
        const QString file = dir.filePath(QStringLiteral("take.") + codecExtension(codec));
        std::unique_ptr<TAudioWriter> writer = createWriter(codec, file, pcm);
        EXPECT_TRUE(RecordingLock::isBeingRecorded(file));
        writer->write(block.data(), static_cast<uint32_t>(block.size() * 2));
        const std::string refusal = creationError(codec, file);
        EXPECT_NE(refusal.find("is being recorded"), std::string::npos) << refusal;
        EXPECT_EQ(writer->close(), QString());
        EXPECT_FALSE(RecordingLock::isBeingRecorded(file));
        writer.reset();
        const DecodedSound sound = decodeSound(file);
        ASSERT_TRUE(sound.ok) << qPrintable(sound.error);
        EXPECT_GE(sound.samples.size(), block.size() / 2);
    }
}
