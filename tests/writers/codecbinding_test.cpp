#include "writers/audiowriter.h"
#include "writers/codecbinding.h"
#include "writers/codectable.h"

#include "codectestsupport.h"
#include "settings/config.h"
#include "support/qtprint.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

const char* const Variables[] = {"ORVANTA_LIBOGG", "ORVANTA_LIBVORBIS", "ORVANTA_LIBVORBISENC",
                                 "ORVANTA_LIBFLAC"};

class CodecBindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        config.bitrate = 5;
        config.vbrmode = 0;
        config.oggquality = 4;
        config.flaclevel = 4;
    }
    void TearDown() override {
        for (const char* v : Variables)
            ::unsetenv(v);
        unloadCodecLibraries();
    }
    QString path(const std::string& name) const {
        return m_dir.filePath(QString::fromStdString(name));
    }

    // Records half a second through the codec table and decodes it again; an empty string
    // when that worked, else what went wrong.
    std::string record(int codec) {
        const QString file = path("rec." + codecExtension(codec).toStdString());
        const auto input = musicSignal(24000, 48000);
        try {
            auto writer = createWriter(codec, file, pcm16Stereo(48000));
            for (size_t done = 0; done < 24000; done += 1500)
                if (writer->write(input.data() + done * 2, 1500 * 4) < 0)
                    return "write failed";
        } catch (const std::exception& e) {
            return e.what();
        }
        const DecodedSound sound = decodeToEnd(file);
        if (!sound.ok)
            return "does not decode: " + sound.error.toStdString();
        if (alignedCorrelation(input, sound.samples, 3000, 20000) < 0.99)
            return "decodes to something else";
        return {};
    }

    std::string creationError(int codec) {
        try {
            createWriter(codec, path("x"), pcm16Stereo(48000));
        } catch (const std::exception& e) {
            return e.what();
        }
        return {};
    }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(CodecBindingTest, LoadsLazilyAndExplicitly) {
    // Without loadCodecLibraries(), the first writer loads what it needs.
    unloadCodecLibraries();
    EXPECT_EQ(record(1), "");
    EXPECT_EQ(record(3), "");
    EXPECT_TRUE(oggVorbisBinding().loaded);
    EXPECT_TRUE(flacBinding().loaded);
    EXPECT_TRUE(flacBinding().error.isEmpty());

    EXPECT_TRUE(loadCodecLibraries());
    EXPECT_NE(oggVorbisBinding().api.vorbis_encode_init_vbr, nullptr);
    EXPECT_NE(flacBinding().api.FLAC__stream_encoder_process_interleaved, nullptr);
    for (int codec = 0; codec < CodecCount; ++codec)
        EXPECT_EQ(record(codec), "") << codec;
}

TEST_F(CodecBindingTest, MissingLibraryDisablesOnlyItsWriter) {
    ::setenv("ORVANTA_LIBFLAC", "/nonexistent/libFLAC.so.12", 1);
    EXPECT_FALSE(loadCodecLibraries());
    EXPECT_FALSE(flacBinding().loaded);
    EXPECT_EQ(flacBinding().api.FLAC__stream_encoder_new, nullptr);
    EXPECT_TRUE(oggVorbisBinding().loaded);

    const std::string message = creationError(3);
    EXPECT_EQ(message, flacBinding().error.toStdString());
    EXPECT_EQ(message.rfind("FLAC output is not available: the library /nonexistent/libFLAC.so.12 "
                            "could not be loaded (",
                            0),
              0u)
        << message;
    EXPECT_NE(message.find("choose another output format in the settings."), std::string::npos);
    EXPECT_FALSE(QFileInfo::exists(path("x")));

    EXPECT_EQ(record(0), "");
    EXPECT_EQ(record(1), "");
    EXPECT_EQ(record(2), "");

    // libogg missing: the Ogg Vorbis writer fails after creating its (empty) file, FLAC is back.
    ::unsetenv("ORVANTA_LIBFLAC");
    ::setenv("ORVANTA_LIBOGG", "/nonexistent/libogg.so.0", 1);
    EXPECT_FALSE(loadCodecLibraries());
    EXPECT_TRUE(flacBinding().loaded);
    EXPECT_NE(creationError(1).find("the library /nonexistent/libogg.so.0 could not be loaded"),
              std::string::npos)
        << creationError(1);
    EXPECT_EQ(QFileInfo(path("x.ogg")).size(), 0);
    EXPECT_EQ(record(3), "");
    EXPECT_EQ(record(0), "");
    EXPECT_EQ(record(2), "");
}

TEST_F(CodecBindingTest, MissingEntryPointIsNamed) {
    // A library that loads but is not libvorbisenc.
    ::setenv("ORVANTA_LIBVORBISENC", "libogg.so.0", 1);
    EXPECT_FALSE(loadCodecLibraries());
    EXPECT_FALSE(oggVorbisBinding().loaded);
    EXPECT_EQ(oggVorbisBinding().api.ogg_stream_init, nullptr);
    EXPECT_EQ(creationError(1), "Ogg Vorbis output is not available: the library libogg.so.0 has "
                                "no function vorbis_encode_init_vbr. Please install a matching "
                                "version of it or choose another output format in the settings.");
    EXPECT_EQ(record(3), "");
    EXPECT_EQ(record(0), "");

    // Loading again with the right libraries brings the writer back.
    ::unsetenv("ORVANTA_LIBVORBISENC");
    EXPECT_TRUE(loadCodecLibraries());
    EXPECT_EQ(record(1), "");
}
