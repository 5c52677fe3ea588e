#include "writeframes.h"
#include "writers/oggwriter.h"

#include "codectestsupport.h"
#include "settings/config.h"
#include "support/filesizelimit.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <string>

namespace {

// Vorbis at 44.1 and 48 kHz uses blocks of up to 2048 samples and no encoder delay that the
// decoder does not remove.
constexpr size_t VorbisFrame = 2048;

// The Ogg structure of a file, read with libogg and libvorbis.
struct OggLayout {
    int pages = 0;
    int64_t pageBytes = 0; ///< bytes in complete pages
    bool sameSerial = true;
    long serial = -1;
    bool firstIsBos = false;
    bool lastIsEos = false;
    bool headersEndTheirPage = false; ///< the audio starts on a fresh page
    bool headersOk = false;
    int comments = -1;
    std::string comment;
};

OggLayout readLayout(const QString& path) {
    OggLayout layout;
    QByteArray bytes = readFileBytes(path);
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, bytes.size());
    std::copy(bytes.begin(), bytes.end(), buffer);
    ogg_sync_wrote(&sync, bytes.size());

    ogg_stream_state stream;
    vorbis_info vi;
    vorbis_comment vc;
    vorbis_info_init(&vi);
    vorbis_comment_init(&vc);
    int packets = 0;
    int headerErrors = 0;
    bool headerPageSeen = false;
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1) {
        if (layout.pages == 0) {
            layout.serial = ogg_page_serialno(&page);
            layout.firstIsBos = ogg_page_bos(&page) != 0;
            ogg_stream_init(&stream, static_cast<int>(layout.serial));
        }
        if (headerPageSeen) {
            layout.headersEndTheirPage = ogg_page_continued(&page) == 0;
            headerPageSeen = false;
        }
        layout.sameSerial = layout.sameSerial && ogg_page_serialno(&page) == layout.serial;
        layout.lastIsEos = ogg_page_eos(&page) != 0;
        layout.pageBytes += page.header_len + page.body_len;
        ++layout.pages;
        ogg_stream_pagein(&stream, &page);
        ogg_packet packet;
        const int before = packets;
        while (ogg_stream_packetout(&stream, &packet) == 1) {
            if (packets < 3 && vorbis_synthesis_headerin(&vi, &vc, &packet) != 0)
                ++headerErrors;
            ++packets;
        }
        // The page that completes the third header must complete nothing else.
        if (before < 3 && packets >= 3)
            headerPageSeen = packets == 3;
    }
    if (layout.pages > 0)
        ogg_stream_clear(&stream);
    layout.headersOk = packets >= 3 && headerErrors == 0;
    layout.comments = vc.comments;
    if (vc.comments > 0)
        layout.comment = vc.user_comments[0];
    vorbis_comment_clear(&vc);
    vorbis_info_clear(&vi);
    ogg_sync_clear(&sync);
    return layout;
}

class OggWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        config.oggquality = 4;
    }
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(OggWriterTest, EncodesMusicThatDecodesAlike) {
    for (uint32_t rate : {44100u, 48000u}) {
        const QString file = path(rate == 44100 ? "44k.ogg" : "48k.ogg");
        const size_t frames = rate * 2;
        const auto input = musicSignal(frames, rate, 3);
        int64_t returned = 0;
        int64_t headerBytes = 0;
        {
            TOGGwriter writer(file, pcm16Stereo(rate));
            headerBytes = QFileInfo(file).size();
            EXPECT_GT(headerBytes, 0);
            const size_t block = rate * 3 / 100;
            for (size_t done = 0; done < frames; done += block) {
                const int32_t n = writeFrames(writer, input, done, std::min(block, frames - done));
                ASSERT_GE(n, 0);
                returned += n;
            }
            EXPECT_EQ(headerBytes + returned, QFileInfo(file).size());
        }

        const DecodedSound sound = decodeToEnd(file);
        ASSERT_TRUE(sound.ok) << sound.error.toStdString();
        EXPECT_EQ(sound.sampleRate, static_cast<int>(rate));
        EXPECT_EQ(sound.channels, 2);
        const size_t decodedFrames = sound.samples.size() / 2;
        EXPECT_LE(decodedFrames, frames + 2 * VorbisFrame) << rate;
        EXPECT_GE(decodedFrames + 2 * VorbisFrame, frames) << rate;
        size_t lag = 0;
        EXPECT_GE(alignedCorrelation(input, sound.samples, 3000, frames, &lag), 0.99) << rate;
        EXPECT_LE(lag, VorbisFrame) << rate;

        const OggLayout layout = readLayout(file);
        EXPECT_TRUE(layout.headersOk);
        EXPECT_TRUE(layout.firstIsBos);
        EXPECT_TRUE(layout.lastIsEos);
        EXPECT_TRUE(layout.sameSerial);
        EXPECT_TRUE(layout.headersEndTheirPage);
        EXPECT_GE(layout.serial, 0);
        EXPECT_LE(layout.serial, 2147483646);
        EXPECT_EQ(layout.pageBytes, QFileInfo(file).size());
    }
}

TEST_F(OggWriterTest, CommentHeaderAndEmptyFile) {
    const QString file = path("empty.ogg");
    { TOGGwriter writer(file, pcm16Stereo(48000)); }
    const OggLayout layout = readLayout(file);
    EXPECT_TRUE(layout.headersOk);
    EXPECT_EQ(layout.comments, 1);
    EXPECT_EQ(layout.comment, "ENCODER=Orvanta");
    EXPECT_TRUE(layout.lastIsEos);
    EXPECT_EQ(layout.pageBytes, QFileInfo(file).size());

    const DecodedSound sound = decodeToEnd(file);
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    EXPECT_EQ(sound.sampleRate, 48000);
    EXPECT_EQ(sound.samples.size(), 0u);
}

TEST_F(OggWriterTest, FileNameGetsOggExtension) {
    const struct {
        const char* given;
        const char* written;
    } cases[] = {{"a.wav", "a.ogg"},
                 {"b", "b.ogg"},
                 {"c.tar.gz", "c.tar.ogg"},
                 {"d.ogg", "d.ogg"},
                 {"dir.v2/e", "dir.v2/e.ogg"}};
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("dir.v2")));
    for (const auto& c : cases) {
        const QString given = path(c.given);
        {
            TOGGwriter writer(given, pcm16Stereo(44100));
            EXPECT_EQ(writer.filename(), given);
            EXPECT_EQ(writer.outputName(), path(c.written));
        }
        EXPECT_TRUE(QFileInfo::exists(path(c.written))) << c.given;
    }
    EXPECT_FALSE(QFileInfo::exists(path("a.wav")));
}

TEST_F(OggWriterTest, CreationFailures) {
    // A quality libvorbis refuses (an edited settings file): the message carries its code; the
    // empty file stays.
    config.oggquality = -5;
    try {
        TOGGwriter writer(path("q.ogg"), pcm16Stereo(44100));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Vorbis_encode_init_vbr failed: " + std::to_string(OV_EIMPL));
    }
    EXPECT_EQ(QFileInfo(path("q.ogg")).size(), 0);

    config.oggquality = 4;
    try {
        TOGGwriter writer(path("missing/x.ogg"), pcm16Stereo(44100));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path("missing/x.ogg").toStdString()),
                  std::string::npos)
            << e.what();
    }
}

TEST_F(OggWriterTest, FullDiskRaisesAndKeepsWholePages) {
    const QString file = path("full.ogg");
    const auto input = musicSignal(48000 * 6, 48000, 5);
    const uint64_t limit = 30000;

    const int rc = runWithFileSizeLimit(limit, [&]() {
        TOGGwriter writer(file, pcm16Stereo(48000));
        size_t done = 0;
        try {
            for (; done + 1440 <= input.size() / 2; done += 1440)
                writeFrames(writer, input, done, 1440);
            return 10;
        } catch (const std::runtime_error& e) {
            if (std::string(e.what()).rfind("Failed to write Ogg Vorbis data to file", 0) != 0)
                return 11;
        }
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
    const OggLayout layout = readLayout(file);
    EXPECT_TRUE(layout.headersOk);
    EXPECT_EQ(layout.pageBytes, size);
    EXPECT_GT(layout.pages, 3);

    const DecodedSound sound = decodeToEnd(file);
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    const size_t frames = sound.samples.size() / 2;
    EXPECT_GT(frames, 48000u);
    EXPECT_GE(alignedCorrelation(input, sound.samples, 3000, frames - VorbisFrame), 0.99);
}

TEST_F(OggWriterTest, AtMostASecondWaitsForItsPage) {
    // Silence at a low quality makes tiny packets: libogg alone would hold over five seconds
    // of them back until a page fills, and a crash would lose them.
    const uint32_t rate = 48000;
    config.oggquality = 0;
    const std::vector<int16_t> quiet(static_cast<size_t>(rate) * 8 * 2, 0);
    const QString file = path("quiet.ogg");
    TOGGwriter writer(file, pcm16Stereo(rate));
    const size_t block = rate / 50;
    for (size_t done = 0; done < quiet.size() / 2; done += block) {
        writeFrames(writer, quiet, done, block);
        // The last granule position the file's whole pages reach, as a player would see it.
        const QByteArray bytes = readFileBytes(file);
        ogg_sync_state sync;
        ogg_sync_init(&sync);
        char* buffer = ogg_sync_buffer(&sync, bytes.size());
        std::copy(bytes.begin(), bytes.end(), buffer);
        ogg_sync_wrote(&sync, bytes.size());
        int64_t granule = 0;
        ogg_page page;
        while (ogg_sync_pageout(&sync, &page) == 1)
            granule = std::max<int64_t>(granule, ogg_page_granulepos(&page));
        ogg_sync_clear(&sync);
        // A second, plus what the encoder still analyses (two long blocks).
        const auto written = static_cast<int64_t>(done + block);
        ASSERT_GE(granule + rate + 2 * VorbisFrame, written) << "after " << written << " frames";
    }
}
