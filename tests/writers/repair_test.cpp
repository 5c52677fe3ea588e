#include "writeframes.h"
#include "writers/flacwriter.h"
#include "writers/mp3writer.h"
#include "writers/oggwriter.h"
#include "writers/repair.h"
#include "writers/wavwriter.h"

#include "codectestsupport.h"
#include "settings/config.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <FLAC/stream_decoder.h>
#include <ogg/ogg.h>

#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t Rate = 44100;

uint32_t le32(const QByteArray& b, qsizetype at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// FLAC's STREAMINFO fields (the block follows "fLaC" and its 4-byte header).
int64_t flacTotal(const QByteArray& b) {
    int64_t total = static_cast<uint8_t>(b[8 + 13]) & 0x0F;
    for (int i = 14; i < 18; ++i)
        total = total << 8 | static_cast<uint8_t>(b[8 + i]);
    return total;
}

// Where the frames begin: after the metadata block marked last.
qsizetype flacAudioStart(const QByteArray& b) {
    qsizetype pos = 4;
    for (;;) {
        const auto flags = static_cast<uint8_t>(b[pos]);
        pos += 4 + (static_cast<uint8_t>(b[pos + 1]) << 16 | static_cast<uint8_t>(b[pos + 2]) << 8 |
                    static_cast<uint8_t>(b[pos + 3]));
        if (flags & 0x80)
            return pos;
    }
}

QByteArray flacMd5(const QByteArray& b) {
    return b.mid(8 + 18, 16);
}

// Bytes in complete pages, as libogg sees the file.
int64_t oggPageBytes(const QByteArray& bytes) {
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, bytes.size());
    std::memcpy(buffer, bytes.constData(), static_cast<size_t>(bytes.size()));
    ogg_sync_wrote(&sync, bytes.size());
    int64_t total = 0;
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1)
        total += page.header_len + page.body_len;
    ogg_sync_clear(&sync);
    return total;
}

// A minimal ID3v2.4 tag with one text frame, as taggers put before MP3 (and FLAC) audio.
QByteArray id3v2Tag() {
    QByteArray frame("TIT2");
    const QByteArray text = QByteArray(1, '\3') + "A title";
    frame += QByteArray::fromHex("00000008") + QByteArray(2, '\0') + text;
    QByteArray tag("ID3\4\0\0", 6);
    tag += QByteArray::fromHex("000000") + static_cast<char>(frame.size());
    return tag + frame;
}

QByteArray id3v1Tag() {
    QByteArray tag("TAG");
    tag += QByteArray("A title").leftJustified(30, '\0');
    return tag.leftJustified(128, '\0');
}

// What libFLAC's own decoder makes of a file, its MD5 check included where STREAMINFO has a
// checksum: each frame as exact (the input's samples), silent, or neither.
struct FlacCheck {
    int errors = 0;
    bool finished = false; ///< decoded to the end, and the MD5 matched where there is one
    uint64_t stated = 0;   ///< STREAMINFO's total
    uint64_t decoded = 0;
    std::vector<char> frames; ///< 'x' exact, 's' silent, '?' neither
};

FlacCheck checkWithLibFlac(const QString& path, const std::vector<int16_t>& input) {
    struct Context {
        FlacCheck check;
        const std::vector<int16_t>* input;
    } context{{}, &input};
    const auto write = [](const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                          const FLAC__int32* const buffer[], void* data) {
        auto* c = static_cast<Context*>(data);
        const uint64_t first = frame->header.number.sample_number;
        bool exact = frame->header.channels == 2;
        bool silent = true;
        for (uint32_t i = 0; i < frame->header.blocksize; ++i) {
            for (uint32_t ch = 0; ch < frame->header.channels; ++ch) {
                const size_t at = (first + i) * 2 + ch;
                silent = silent && buffer[ch][i] == 0;
                exact = exact && at < c->input->size() && buffer[ch][i] == (*c->input)[at];
            }
        }
        c->check.frames.push_back(exact ? 'x' : silent ? 's' : '?');
        c->check.decoded += frame->header.blocksize;
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    };
    const auto metadata = [](const FLAC__StreamDecoder*, const FLAC__StreamMetadata* m,
                             void* data) {
        if (m->type == FLAC__METADATA_TYPE_STREAMINFO)
            static_cast<Context*>(data)->check.stated = m->data.stream_info.total_samples;
    };
    const auto error = [](const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* data) {
        ++static_cast<Context*>(data)->check.errors;
    };
    FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
    FLAC__stream_decoder_set_md5_checking(decoder, true);
    if (FLAC__stream_decoder_init_file(decoder, QFile::encodeName(path).constData(), write,
                                       metadata, error,
                                       &context) == FLAC__STREAM_DECODER_INIT_STATUS_OK &&
        FLAC__stream_decoder_process_until_end_of_stream(decoder))
        context.check.finished = FLAC__stream_decoder_finish(decoder);
    FLAC__stream_decoder_delete(decoder);
    return context.check;
}

class RepairTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        config.bitrate = 5;
        config.vbrmode = 0;
        config.oggquality = 4;
        config.flaclevel = 5;
        m_input = musicSignal(Rate * 2, Rate, 5);
    }

    QString path(const std::string& name) const {
        return m_dir.filePath(QString::fromStdString(name));
    }

    // A finished recording of the test music with `Writer`.
    template <class Writer> QByteArray record(const std::string& name) {
        const QString file = path(name);
        {
            Writer writer(file, pcm16Stereo(Rate));
            for (size_t done = 0; done < m_input.size() / 2; done += Rate / 50)
                writeFrames(writer, m_input, done,
                            std::min<size_t>(Rate / 50, m_input.size() / 2 - done));
        }
        return readFileBytes(file);
    }

    // Writes `bytes` to a file, repairs it and returns the outcome; the file's new bytes in
    // `after`.
    RepairOutcome repair(const std::string& name, const QByteArray& bytes, QByteArray* after,
                         QString* detail = nullptr) {
        const QString file = path(name);
        EXPECT_TRUE(writeBytes(file, bytes));
        const RepairOutcome outcome = repairRecording(file, detail);
        *after = readFileBytes(file);
        return outcome;
    }

    QTemporaryDir m_dir;
    std::vector<int16_t> m_input;
};

} // namespace

TEST_F(RepairTest, Wav) {
    const QByteArray clean = record<TWAVWriter>("clean.wav");
    ASSERT_EQ(clean.size(), 44 + static_cast<qsizetype>(m_input.size()) * 2);
    QByteArray after;
    EXPECT_EQ(repair("clean.wav", clean, &after), RepairOutcome::Unchanged);
    EXPECT_EQ(after, clean);

    // As a crash leaves it: sizes from the last update (here none), all the audio after them.
    QByteArray stale = clean;
    stale.replace(4, 4, QByteArray::fromHex("24000000"));
    stale.replace(40, 4, QByteArray(4, '\0'));
    EXPECT_EQ(repair("stale.wav", stale, &after), RepairOutcome::Repaired);
    EXPECT_EQ(after, clean);

    // Cut anywhere, also inside a sample frame: the whole frames stay, the sizes fit exactly.
    for (qsizetype cut : {qsizetype{45}, qsizetype{44 + 4 * 1000 + 1}, qsizetype{44 + 4 * 1000 + 3},
                          qsizetype{44 + 4 * 30000 + 2}, clean.size() - 1}) {
        SCOPED_TRACE(cut);
        QString detail;
        EXPECT_EQ(repair("cut.wav", clean.left(cut), &after, &detail), RepairOutcome::Repaired);
        EXPECT_FALSE(detail.isEmpty());
        const qsizetype frames = (cut - 44) / 4;
        ASSERT_EQ(after.size(), 44 + 4 * frames);
        EXPECT_EQ(after.left(4) + after.mid(8, 32), clean.left(4) + clean.mid(8, 32));
        EXPECT_EQ(after.mid(44), clean.mid(44, after.size() - 44));
        EXPECT_EQ(le32(after, 4), static_cast<uint32_t>(after.size() - 8));
        EXPECT_EQ(le32(after, 40), static_cast<uint32_t>(4 * frames));
        const DecodedSound sound = decodeSound(path("cut.wav"));
        ASSERT_TRUE(sound.ok) << sound.error.toStdString();
        EXPECT_TRUE(std::equal(sound.samples.begin(), sound.samples.end(), m_input.begin()));
        EXPECT_EQ(sound.samples.size(), static_cast<size_t>(frames) * 2);
        EXPECT_EQ(repairRecording(path("cut.wav")), RepairOutcome::Unchanged);
    }

    // A chunk after the data (a tagger's) belongs there: nothing to repair.
    QByteArray tagged = clean + QByteArray("LIST\4\0\0\0INFO", 12);
    tagged.replace(4, 4, QByteArray::fromHex("00000000"));
    const uint32_t riff = static_cast<uint32_t>(tagged.size() - 8);
    for (int i = 0; i < 4; ++i)
        tagged[4 + i] = static_cast<char>(riff >> (8 * i));
    EXPECT_EQ(repair("tagged.wav", tagged, &after), RepairOutcome::Unchanged);
    EXPECT_EQ(after, tagged);

    // Ending inside the header, there is nothing to save; the file is left alone.
    QString detail;
    EXPECT_EQ(repair("header.wav", clean.left(30), &after, &detail), RepairOutcome::Failed);
    EXPECT_EQ(after, clean.left(30));
    EXPECT_TRUE(detail.contains(QStringLiteral("header"))) << detail.toStdString();
}

TEST_F(RepairTest, WavOddFramesKeepTheirPadByte) {
    // 24-bit mono: three bytes a frame, so the data chunk can have an odd length.
    tWAVEFORMATEX mono24 = pcm16Stereo(Rate);
    mono24.nChannels = 1;
    mono24.wBitsPerSample = 24;
    mono24.nBlockAlign = 3;
    mono24.nAvgBytesPerSec = Rate * 3;
    std::vector<uint8_t> samples(3 * 1001);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint8_t>(i * 37);
    const QString file = path("odd.wav");
    {
        TWAVWriter writer(file, mono24);
        writer.write(samples.data(), static_cast<uint32_t>(samples.size()));
    }
    const QByteArray clean = readFileBytes(file);
    ASSERT_EQ(clean.size(), 44 + 3003 + 1);
    QByteArray after;
    EXPECT_EQ(repair("odd.wav", clean, &after), RepairOutcome::Unchanged);
    EXPECT_EQ(after, clean);

    const struct {
        qsizetype cut;
        uint32_t data;
    } cases[] = {{44 + 1502, 1500}, {44 + 1503 + 2, 1503}, {44 + 1503, 1503}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cut);
        EXPECT_EQ(repair("cut.wav", clean.left(c.cut), &after), RepairOutcome::Repaired);
        ASSERT_EQ(after.size(), 44 + c.data + (c.data & 1));
        EXPECT_EQ(le32(after, 40), c.data);
        EXPECT_EQ(le32(after, 4), static_cast<uint32_t>(after.size() - 8));
        EXPECT_EQ(after.left(44 + c.data).mid(44), clean.mid(44, c.data));
        if (c.data & 1) {
            EXPECT_EQ(after.back(), '\0');
        }
        EXPECT_EQ(decodeSound(path("cut.wav")).samples.size(), c.data / 3);
        EXPECT_EQ(repairRecording(path("cut.wav")), RepairOutcome::Unchanged);
    }
}

TEST_F(RepairTest, Flac) {
    ASSERT_TRUE(flacBinding().loaded) << flacBinding().error.toStdString();
    const QByteArray clean = record<TFLACwriter>("clean.flac");
    ASSERT_EQ(flacTotal(clean), static_cast<int64_t>(m_input.size() / 2));
    QByteArray after;
    EXPECT_EQ(repair("clean.flac", clean, &after), RepairOutcome::Unchanged);
    EXPECT_EQ(after, clean);

    // As a kill leaves it: every frame there, STREAMINFO as libFLAC first wrote it. The
    // repair counts the same samples and frame sizes as the encoder did.
    QByteArray killed = clean;
    killed.replace(8 + 4, 6, QByteArray(6, '\0'));
    killed[8 + 13] = static_cast<char>(killed[8 + 13] & 0xF0);
    killed.replace(8 + 14, 20, QByteArray(20, '\0'));
    EXPECT_EQ(repair("killed.flac", killed, &after), RepairOutcome::Repaired);
    EXPECT_EQ(after.mid(8, 18), clean.mid(8, 18));
    EXPECT_EQ(after.mid(42), clean.mid(42));
    EXPECT_EQ(flacMd5(after), QByteArray(16, '\0'));
    EXPECT_EQ(repairRecording(path("killed.flac")), RepairOutcome::Unchanged);

    // Cut anywhere in the audio: the torn frame goes, the count matches what decodes.
    const qsizetype audio = flacAudioStart(clean);
    for (qsizetype cut : {audio + 1, audio + 5000, clean.size() / 3, clean.size() / 2 + 7,
                          clean.size() - 3, clean.size() - 1}) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(repair("cut.flac", clean.left(cut), &after), RepairOutcome::Repaired);
        EXPECT_LT(after.size(), cut);
        EXPECT_GE(after.size(), audio);
        EXPECT_EQ(after.mid(42), clean.mid(42, after.size() - 42));
        // The checksum was of the whole recording.
        EXPECT_EQ(flacMd5(after), QByteArray(16, '\0'));
        // libsndfile takes a count of 0 for "unknown" and would not trust it.
        const DecodedSound sound =
            flacTotal(after) == 0 ? decodeToEnd(path("cut.flac")) : decodeSound(path("cut.flac"));
        ASSERT_TRUE(sound.ok) << sound.error.toStdString();
        EXPECT_EQ(flacTotal(after), static_cast<int64_t>(sound.samples.size() / 2));
        EXPECT_TRUE(std::equal(sound.samples.begin(), sound.samples.end(), m_input.begin()));
        // Less than one block is lost (libFLAC's blocks here: 4096 samples).
        EXPECT_GT(sound.samples.size() / 2 + 4096, m_input.size() / 2 *
                                                       static_cast<size_t>(cut - audio) /
                                                       static_cast<size_t>(clean.size() - audio));
        EXPECT_EQ(repairRecording(path("cut.flac")), RepairOutcome::Unchanged);
    }

    // Tags of other programs: an ID3v2 tag before "fLaC" makes it no MP3, an ID3v1 tag at
    // the end is no torn frame.
    const QByteArray tag = id3v2Tag();
    const qsizetype cut = clean.size() / 2 + 7;
    EXPECT_EQ(repair("plain.flac", clean.left(cut), &after), RepairOutcome::Repaired);
    const QByteArray plainRepaired = after;
    EXPECT_EQ(repair("id3.flac", tag + clean.left(cut), &after), RepairOutcome::Repaired);
    EXPECT_EQ(after, tag + plainRepaired);
    EXPECT_EQ(repair("id3v1.flac", clean + id3v1Tag(), &after), RepairOutcome::Unchanged);

    // Ending inside the metadata, there is no audio to save.
    EXPECT_EQ(repair("header.flac", clean.left(30), &after), RepairOutcome::Failed);
    EXPECT_EQ(after, clean.left(30));
}

TEST_F(RepairTest, FlacDamageAcrossFramesIsSilencedAndTheFramesAfterItKept) {
    ASSERT_TRUE(flacBinding().loaded) << flacBinding().error.toStdString();
    const QByteArray clean = record<TFLACwriter>("clean.flac");
    const FlacCheck whole = checkWithLibFlac(path("clean.flac"), m_input);
    ASSERT_TRUE(whole.finished);
    ASSERT_EQ(std::count(whole.frames.begin(), whole.frames.end(), 'x'),
              static_cast<std::ptrdiff_t>(whole.frames.size()));

    // Rubbish (0xFF bytes and all) over more than three frames' bytes in the middle, as a disk
    // or a crash leaves it.
    const qsizetype audio = flacAudioStart(clean);
    const qsizetype from = audio + (clean.size() - audio) * 3 / 10;
    const qsizetype length = (clean.size() - audio) / 6;
    QByteArray damaged = clean;
    std::mt19937 rng(7);
    for (qsizetype i = from; i < from + length; ++i)
        damaged[i] = static_cast<char>(rng());
    QByteArray after;
    QString detail;
    EXPECT_EQ(repair("damaged.flac", damaged, &after, &detail), RepairOutcome::Repaired);
    EXPECT_TRUE(detail.contains(QStringLiteral("silence"))) << detail.toStdString();
    // Only the frames the damage touches change (and STREAMINFO: the checksum no longer holds).
    ASSERT_EQ(after.size(), clean.size());
    qsizetype first = 42;
    while (first < after.size() && after[first] == clean[first])
        ++first;
    qsizetype last = after.size() - 1;
    while (last > first && after[last] == clean[last])
        --last;
    const int64_t maxFrame = static_cast<uint8_t>(clean[8 + 7]) << 16 |
                             static_cast<uint8_t>(clean[8 + 8]) << 8 |
                             static_cast<uint8_t>(clean[8 + 9]);
    EXPECT_LE(first, from);
    EXPECT_GT(first, from - maxFrame);
    EXPECT_GE(last, from + length - 1);
    EXPECT_LT(last, from + length + maxFrame);
    EXPECT_EQ(flacMd5(after), QByteArray(16, '\0'));

    // libFLAC decodes it to the end without a complaint; every sample is at its time, the
    // damaged frames are silent and all the others exact.
    const FlacCheck check = checkWithLibFlac(path("damaged.flac"), m_input);
    EXPECT_TRUE(check.finished);
    EXPECT_EQ(check.errors, 0);
    EXPECT_EQ(check.decoded, m_input.size() / 2);
    EXPECT_EQ(check.stated, check.decoded);
    const std::string frames(check.frames.begin(), check.frames.end());
    const size_t silent = frames.find('s');
    ASSERT_NE(silent, std::string::npos) << frames;
    EXPECT_EQ(frames.find_first_not_of('x'), silent) << frames;
    EXPECT_EQ(frames.find_first_not_of('s', silent), frames.find_last_of('s') + 1) << frames;
    EXPECT_GE(frames.find_last_of('s') + 1 - silent, 4u) << frames;
    EXPECT_LE(frames.find_last_of('s') + 1 - silent, 6u) << frames;
    EXPECT_GT(frames.size(), frames.find_last_of('s') + 5) << frames;
    EXPECT_EQ(repairRecording(path("damaged.flac")), RepairOutcome::Unchanged);
}

TEST_F(RepairTest, Ogg) {
    ASSERT_TRUE(oggVorbisBinding().loaded) << oggVorbisBinding().error.toStdString();
    const QByteArray clean = record<TOGGwriter>("clean.ogg");
    QByteArray after;
    EXPECT_EQ(repair("clean.ogg", clean, &after), RepairOutcome::Unchanged);
    EXPECT_EQ(after, clean);

    // Rubbish after the last page (the end of a disk block after a power cut) goes.
    EXPECT_EQ(repair("zeros.ogg", clean + QByteArray(3000, '\0'), &after), RepairOutcome::Repaired);
    EXPECT_EQ(after, clean);

    for (qsizetype cut : {clean.size() / 3, clean.size() / 2 + 7, clean.size() - 1}) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(repair("cut.ogg", clean.left(cut), &after), RepairOutcome::Repaired);
        ASSERT_LT(after.size(), cut);
        EXPECT_EQ(after, clean.left(after.size()));
        EXPECT_EQ(oggPageBytes(after), after.size());
        const DecodedSound sound = decodeToEnd(path("cut.ogg"));
        ASSERT_TRUE(sound.ok) << sound.error.toStdString();
        const size_t frames = sound.samples.size() / 2;
        // A page holds well under a second here.
        EXPECT_GT(frames + Rate / 2, m_input.size() / 2 * static_cast<size_t>(cut) /
                                         static_cast<size_t>(clean.size()));
        EXPECT_GE(alignedCorrelation(m_input, sound.samples, 3000, frames - 4096), 0.98);
        EXPECT_EQ(repairRecording(path("cut.ogg")), RepairOutcome::Unchanged);
    }

    // Not even the first page complete: nothing to save, the file stays.
    EXPECT_EQ(repair("first.ogg", clean.left(20), &after), RepairOutcome::Failed);
    EXPECT_EQ(after, clean.left(20));
}

TEST_F(RepairTest, Mp3) {
    const QByteArray clean = record<TMP3writer>("clean.mp3");
    QByteArray after;
    EXPECT_EQ(repair("clean.mp3", clean, &after), RepairOutcome::Unchanged);
    EXPECT_EQ(after, clean);

    // Cuts inside frames (a cut between two frames leaves a whole file).
    for (qsizetype cut :
         {qsizetype{1000}, clean.size() / 3 + 5, clean.size() / 2 + 7, clean.size() - 1}) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(repair("cut.mp3", clean.left(cut), &after), RepairOutcome::Repaired);
        ASSERT_LT(after.size(), cut);
        EXPECT_EQ(after, clean.left(after.size()));
        // The cut falls where the next frame of the whole file begins, less than a frame back.
        EXPECT_EQ(static_cast<uint8_t>(clean[after.size()]), 0xFF);
        EXPECT_EQ(static_cast<uint8_t>(clean[after.size() + 1]) & 0xE0, 0xE0);
        EXPECT_LT(cut - after.size(), 1500);
        const DecodedSound sound = decodeToEnd(path("cut.mp3"));
        ASSERT_TRUE(sound.ok) << sound.error.toStdString();
        EXPECT_EQ(repairRecording(path("cut.mp3")), RepairOutcome::Unchanged);
    }

    // Tags before and after the frames are kept whole.
    const QByteArray tag = id3v2Tag();
    EXPECT_EQ(repair("tagged.mp3", tag + clean + id3v1Tag(), &after), RepairOutcome::Unchanged);
    EXPECT_EQ(after, tag + clean + id3v1Tag());
    const qsizetype cut = clean.size() / 2 + 7;
    EXPECT_EQ(repair("plain.mp3", clean.left(cut), &after), RepairOutcome::Repaired);
    const QByteArray plainRepaired = after;
    EXPECT_EQ(repair("id3.mp3", tag + clean.left(cut), &after), RepairOutcome::Repaired);
    EXPECT_EQ(after, tag + plainRepaired);
}

TEST_F(RepairTest, MissingEmptyUnknownAndUnusable) {
    QString detail;
    EXPECT_EQ(repairRecording(path("none.wav"), &detail), RepairOutcome::Missing);
    EXPECT_EQ(repairRecording(path("no-folder/none.wav")), RepairOutcome::Missing);
    QByteArray after;
    EXPECT_EQ(repair("empty.flac", {}, &after), RepairOutcome::Missing);
    EXPECT_TRUE(QFileInfo::exists(path("empty.flac")));

    // Whatever is not a recording is left exactly as it is, whatever its name.
    const QByteArray text("This is a text file, not a recording.\n");
    EXPECT_EQ(repair("text.mp3", text, &after), RepairOutcome::Unchanged);
    EXPECT_EQ(after, text);
    QByteArray binary(5000, '\0');
    for (qsizetype i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>(i * 7919 % 251);
    EXPECT_EQ(repair("binary.ogg", binary, &after), RepairOutcome::Unchanged);
    EXPECT_EQ(after, binary);

    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("folder.wav")));
    EXPECT_EQ(repairRecording(path("folder.wav"), &detail), RepairOutcome::Failed);
    EXPECT_FALSE(detail.isEmpty());

    // Permissions do not bind the superuser; the rest of the test needs them to.
    if (::geteuid() == 0)
        return;
    const QByteArray clean = record<TWAVWriter>("clean.wav");
    const QByteArray torn = clean.left(clean.size() - 3);
    const QString readOnly = path("read-only.wav");
    ASSERT_TRUE(writeBytes(readOnly, torn));
    ASSERT_EQ(::chmod(QFile::encodeName(readOnly).constData(), 0444), 0);
    EXPECT_EQ(repairRecording(readOnly, &detail), RepairOutcome::Failed);
    EXPECT_TRUE(detail.contains(QStringLiteral("writing"))) << detail.toStdString();
    EXPECT_EQ(readFileBytes(readOnly), torn);
    // A whole file needs no writing, so it is not refused.
    const QString wholeReadOnly = path("whole-read-only.wav");
    ASSERT_TRUE(writeBytes(wholeReadOnly, clean));
    ASSERT_EQ(::chmod(QFile::encodeName(wholeReadOnly).constData(), 0444), 0);
    EXPECT_EQ(repairRecording(wholeReadOnly), RepairOutcome::Unchanged);

    const QString unreadable = path("unreadable.wav");
    ASSERT_TRUE(writeBytes(unreadable, torn));
    ASSERT_EQ(::chmod(QFile::encodeName(unreadable).constData(), 0), 0);
    EXPECT_EQ(repairRecording(unreadable, &detail), RepairOutcome::Failed);
    EXPECT_TRUE(detail.contains(QStringLiteral("could not be read"))) << detail.toStdString();
}
