#include "writeframes.h"
#include "writers/mp3writer.h"

#include "codectestsupport.h"
#include "settings/config.h"
#include "support/filesizelimit.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <lame/lame.h>

#include <string>

namespace {

// MPEG Layer III: 1152 samples per frame at 32 kHz and up, 576 below; libmp3lame's encoder
// delay plus mpglib's decoder delay.
constexpr size_t EncoderDelay = 1105;

// Decodes with libmp3lame's own decoder, which also reads a file holding a single frame.
DecodedSound decodeMp3(const QString& path) {
    DecodedSound result;
    QByteArray bytes = readFileBytes(path);
    hip_t hip = hip_decode_init();
    if (!hip)
        return result;
    std::vector<short> left(1 << 16), right(1 << 16);
    mp3data_struct info{};
    for (qsizetype offset = 0; offset <= bytes.size(); offset += 128) {
        const size_t len = static_cast<size_t>(std::min<qsizetype>(128, bytes.size() - offset));
        auto* data = reinterpret_cast<unsigned char*>(bytes.data()) + offset;
        const int n = hip_decode_headers(hip, data, len, left.data(), right.data(), &info);
        if (n < 0)
            break;
        for (int i = 0; i < n; ++i) {
            result.samples.push_back(left[static_cast<size_t>(i)]);
            result.samples.push_back(right[static_cast<size_t>(i)]);
        }
    }
    hip_decode_exit(hip);
    result.ok = info.header_parsed == 1;
    result.sampleRate = info.samplerate;
    result.channels = info.stereo;
    return result;
}

// Records what the writer hands the encoder, and can make the encoder fail.
std::vector<uint32_t> chunkSamples;
bool failEncoding = false;

BE_ERR watchedEncode(HBE_STREAM stream, uint32_t n, const int16_t* samples, uint8_t* out,
                     uint32_t* produced) {
    chunkSamples.push_back(n);
    if (failEncoding)
        return BE_ERR_BUFFER_TOO_SMALL;
    return beEncodeChunk(stream, n, samples, out, produced);
}

Mp3EncoderApi watchedApi() {
    Mp3EncoderApi api;
    api.beEncodeChunk = watchedEncode;
    return api;
}

class Mp3WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        config.bitrate = 5;
        config.vbrmode = 0;
        chunkSamples.clear();
        failEncoding = false;
    }
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(Mp3WriterTest, ConfigurationRecord) {
    TBECONFIG c = TMP3writer::makeConfig(44100);
    const TLHV1& l = c.format.LHV1;
    EXPECT_EQ(c.dwConfig, 256u);
    EXPECT_EQ(l.dwStructVersion, 1u);
    EXPECT_EQ(l.dwStructSize, 331u);
    EXPECT_EQ(l.dwSampleRate, 44100u);
    EXPECT_EQ(l.dwReSampleRate, 0u);
    EXPECT_EQ(l.nMode, 2);
    EXPECT_EQ(l.dwBitrate, 128u);
    EXPECT_EQ(l.dwMaxBitrate, 320u);
    EXPECT_EQ(l.nPreset, 12);
    EXPECT_EQ(l.dwMpegVersion, 1u);
    EXPECT_EQ(l.bOriginal, -1);
    EXPECT_EQ(l.bCRC | l.bPrivate | l.bCopyright | l.bEnableVBR | l.bWriteVBRHeader, 0);
    EXPECT_EQ(l.nVbrMethod, -1);
    EXPECT_EQ(l.nQuality, 5);
    // The record's bytes after the LAME fields stay zero.
    for (uint8_t b : l.btReserved)
        ASSERT_EQ(b, 0);

    c = TMP3writer::makeConfig(22050);
    EXPECT_EQ(c.format.LHV1.dwBitrate, 80u);
    EXPECT_EQ(c.format.LHV1.dwMpegVersion, 0u);
    EXPECT_EQ(TMP3writer::makeConfig(96000).format.LHV1.dwBitrate, 128u);
    config.bitrate = 0;
    EXPECT_EQ(TMP3writer::makeConfig(11025).format.LHV1.dwBitrate, 128u);
    EXPECT_EQ(TMP3writer::makeConfig(48000).format.LHV1.dwBitrate, 320u);
    // An index no table holds (only an edited settings file has one) falls back to 128.
    config.bitrate = 14;
    EXPECT_EQ(TMP3writer::makeConfig(48000).format.LHV1.dwBitrate, 128u);

    config.vbrmode = 1;
    c = TMP3writer::makeConfig(44100);
    EXPECT_EQ(c.format.LHV1.nPreset, -1);
    EXPECT_EQ(c.format.LHV1.bEnableVBR, -1);
    EXPECT_EQ(c.format.LHV1.bWriteVBRHeader, -1);
    config.vbrmode = 2;
    EXPECT_EQ(TMP3writer::makeConfig(44100).format.LHV1.nPreset, 11);
    config.vbrmode = 7;
    EXPECT_EQ(TMP3writer::makeConfig(44100).format.LHV1.nPreset, 0);
}

TEST_F(Mp3WriterTest, EncodesMusicThatDecodesAlike) {
    for (uint32_t rate : {44100u, 48000u}) {
        const QString file = path(rate == 44100 ? "44k.mp3" : "48k.mp3");
        const size_t frames = rate * 2;
        const auto input = musicSignal(frames, rate);
        int64_t returned = 0;
        {
            TMP3writer writer(file, pcm16Stereo(rate));
            // 30 ms blocks, as the capture delivers them.
            const size_t block = rate * 3 / 100;
            for (size_t done = 0; done < frames; done += block) {
                const int32_t n = writeFrames(writer, input, done, std::min(block, frames - done));
                ASSERT_GE(n, 0);
                returned += n;
            }
            EXPECT_EQ(returned, QFileInfo(file).size());
        }
        EXPECT_GT(QFileInfo(file).size(), returned);

        const DecodedSound sound = decodeToEnd(file);
        ASSERT_TRUE(sound.ok) << sound.error.toStdString();
        EXPECT_EQ(sound.sampleRate, static_cast<int>(rate));
        EXPECT_EQ(sound.channels, 2);
        const size_t decodedFrames = sound.samples.size() / 2;
        EXPECT_LE(decodedFrames, frames + 2 * 1152 + EncoderDelay) << rate;
        EXPECT_GE(decodedFrames + 2 * 1152 + EncoderDelay, frames) << rate;

        size_t lag = 0;
        const double r = alignedCorrelation(input, sound.samples, 3000, frames, &lag);
        EXPECT_GE(r, 0.99) << rate << " Hz, lag " << lag;
        EXPECT_LE(lag, EncoderDelay + 1152) << rate;
    }
}

TEST_F(Mp3WriterTest, ChunksAndEmptyFiles) {
    const QString file = path("chunks.mp3");
    const auto input = musicSignal(44100, 44100);
    {
        TMP3writer writer(file, pcm16Stereo(44100), watchedApi());
        // Too little for a frame: nothing is written yet.
        EXPECT_EQ(writeFrames(writer, input, 0, 100), 0);
        EXPECT_EQ(QFileInfo(file).size(), 0);
        // Enough for the first frames: the call returns exactly what went into the file.
        const int32_t n = writeFrames(writer, input, 100, 1440);
        EXPECT_GT(n, 0);
        EXPECT_EQ(n, QFileInfo(file).size());
        ASSERT_EQ(chunkSamples.size(), 2u);
        EXPECT_EQ(chunkSamples[0], 200u);
        EXPECT_EQ(chunkSamples[1], 2880u);
    }

    // Destroyed without a write: the final flush still gives a decodable file.
    const QString empty = path("empty.mp3");
    { TMP3writer writer(empty, pcm16Stereo(48000)); }
    const DecodedSound sound = decodeMp3(empty);
    EXPECT_TRUE(sound.ok);
    EXPECT_EQ(sound.sampleRate, 48000);
    EXPECT_LE(sound.samples.size() / 2, 2 * 1152 + EncoderDelay);
    for (int16_t s : sound.samples)
        ASSERT_EQ(s, 0);

    // A block larger than the output buffer is encoded in pieces, none of which can overflow.
    chunkSamples.clear();
    const auto longInput = musicSignal(8000 * 20, 8000);
    {
        TMP3writer writer(path("long.mp3"), pcm16Stereo(8000), watchedApi());
        EXPECT_GT(writeFrames(writer, longInput, 0, longInput.size() / 2), 0);
    }
    EXPECT_GT(chunkSamples.size(), 1u);
    uint64_t total = 0;
    for (uint32_t n : chunkSamples) {
        EXPECT_LE(beMaxChunkOutput(n, 2), 8000u * 16);
        total += n;
    }
    EXPECT_EQ(total, longInput.size());
    const DecodedSound longSound = decodeMp3(path("long.mp3"));
    EXPECT_GE(alignedCorrelation(longInput, longSound.samples, 3000, 8000 * 19), 0.95);
}

TEST_F(Mp3WriterTest, Failures) {
    // A rate MP3 cannot carry: refused before any file exists.
    const QString odd = path("odd.mp3");
    try {
        TMP3writer writer(odd, pcm16Stereo(96000));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "MP3 encoding parameters incompatible with this samplerate: 96000Hz");
    }
    EXPECT_FALSE(QFileInfo::exists(odd));

    try {
        TMP3writer writer(path("missing/x.mp3"), pcm16Stereo(44100));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Can not create output file: " + path("missing/x.mp3").toStdString() +
                      ": No such file or directory");
    }

    // An encoder failure closes the writer: -1 now and on every later call, and the file
    // keeps what was written before.
    const QString file = path("encoder-error.mp3");
    const auto input = musicSignal(44100, 44100);
    {
        TMP3writer writer(file, pcm16Stereo(44100), watchedApi());
        EXPECT_GE(writeFrames(writer, input, 0, 22050), 0);
        const qint64 before = QFileInfo(file).size();
        failEncoding = true;
        EXPECT_EQ(writeFrames(writer, input, 22050, 1440), -1);
        const size_t calls = chunkSamples.size();
        EXPECT_EQ(writeFrames(writer, input, 23490, 1440), -1);
        EXPECT_EQ(chunkSamples.size(), calls);
        EXPECT_EQ(QFileInfo(file).size(), before);
    }
    EXPECT_TRUE(decodeMp3(file).ok);
}

TEST_F(Mp3WriterTest, FullDiskRaisesAndKeepsWhatWasWritten) {
    const QString file = path("full.mp3");
    const auto input = musicSignal(48000 * 4, 48000);
    const uint64_t limit = 20000;

    const int rc = runWithFileSizeLimit(limit, [&]() {
        TMP3writer writer(file, pcm16Stereo(48000));
        size_t done = 0;
        try {
            for (; done + 1440 <= input.size() / 2; done += 1440)
                writeFrames(writer, input, done, 1440);
            return 10;
        } catch (const std::runtime_error& e) {
            if (std::string(e.what()) != "MP3 ebncoder data write error! 0: File too large")
                return 11;
        }
        // Nothing is appended after the gap, also not when asked again.
        try {
            writeFrames(writer, input, done, 1440);
            return 12;
        } catch (const std::runtime_error&) {
        }
        return 0;
    });
    ASSERT_EQ(rc, 0);
    const qint64 size = QFileInfo(file).size();
    EXPECT_LE(size, static_cast<qint64>(limit));
    // At 128 kbit/s and 48 kHz every frame has 384 bytes.
    EXPECT_GT(size, 384 * 40);

    const DecodedSound sound = decodeMp3(file);
    ASSERT_TRUE(sound.ok);
    const size_t frames = sound.samples.size() / 2;
    EXPECT_GE(frames, static_cast<size_t>(size / 384 - 2) * 1152);
    EXPECT_GE(alignedCorrelation(input, sound.samples, 3000, frames - 2 * 1152 - EncoderDelay),
              0.99);
}
