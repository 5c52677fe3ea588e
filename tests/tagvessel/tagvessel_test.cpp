#include "tagvessel.h"

#include "support/filesizelimit.h"
#include "tagvessel/tagtestfiles.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

struct FileCloser {
    void operator()(TagLib_File* file) const { taglib_file_free(file); }
};
using FilePtr = std::unique_ptr<TagLib_File, FileCloser>;

FilePtr openFile(const QString& path) {
    return FilePtr(taglib_file_newu(path.toStdWString().c_str()));
}

std::string text(char* value) {
    return value ? std::string(value) : std::string("<null>");
}

struct Fields {
    std::string title, artist, album, genre, comment, copyright;
    unsigned track = 0, year = 0;
};

Fields readFields(const QString& path) {
    Fields f;
    FilePtr file = openFile(path);
    if (!file)
        return f;
    if (TagLib_Tag* tag = taglib_file_tag(file.get())) {
        f.title = text(taglib_tag_title(tag));
        f.artist = text(taglib_tag_artist(tag));
        f.album = text(taglib_tag_album(tag));
        f.genre = text(taglib_tag_genre(tag));
        f.comment = text(taglib_tag_comment(tag));
        f.track = taglib_tag_track(tag);
        f.year = taglib_tag_year(tag);
    }
    f.copyright = text(taglib_tag_get_byname(file.get(), "COPYRIGHT"));
    taglib_tag_free_strings();
    return f;
}

int readLength(const QString& path) {
    FilePtr file = openFile(path);
    return file ? taglib_audioproperties_length(taglib_file_audioproperties(file.get())) : 0;
}

void writeFields(TagLib_File* file, const Fields& f) {
    TagLib_Tag* tag = taglib_file_tag(file);
    ASSERT_NE(tag, nullptr);
    taglib_tag_set_title(tag, f.title.c_str());
    taglib_tag_set_artist(tag, f.artist.c_str());
    taglib_tag_set_album(tag, f.album.c_str());
    taglib_tag_set_genre(tag, f.genre.c_str());
    taglib_tag_set_comment(tag, f.comment.c_str());
    taglib_tag_set_track(tag, f.track);
    taglib_tag_set_year(tag, f.year);
    taglib_tag_set_byname(file, "COPYRIGHT", f.copyright.c_str());
}

Fields sampleFields() {
    Fields f;
    f.title = "Ночная запись";
    f.artist = "夜の録音者";
    f.album = "Album «Зима» 冬";
    f.genre = "Ambient";
    f.comment = "Кириллица и 日本語のコメント";
    f.copyright = "© 2024 Тест 著作権";
    f.track = 7;
    f.year = 2024;
    return f;
}

void expectSame(const Fields& a, const Fields& b) {
    EXPECT_EQ(a.title, b.title);
    EXPECT_EQ(a.artist, b.artist);
    EXPECT_EQ(a.album, b.album);
    EXPECT_EQ(a.genre, b.genre);
    EXPECT_EQ(a.comment, b.comment);
    EXPECT_EQ(a.copyright, b.copyright);
    EXPECT_EQ(a.track, b.track);
    EXPECT_EQ(a.year, b.year);
}

class TagVesselFormat : public ::testing::TestWithParam<TagFormat> {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        // A folder and a file name outside ASCII, so that every test passes such a path.
        ASSERT_TRUE(QDir(m_dir.path()).mkpath(QStringLiteral("Записи 録音")));
        m_path = m_dir.path() + QStringLiteral("/Записи 録音/трек 曲.") +
                 QString::fromLatin1(GetParam().extension);
        ASSERT_TRUE(makeSoundFile(GetParam(), m_path, 3));
    }

    int countInFile(const std::string& needle) const {
        const QByteArray bytes = fileBytes(m_path);
        const QByteArray what = QByteArray::fromStdString(needle);
        int count = 0;
        for (qsizetype at = bytes.indexOf(what); at >= 0; at = bytes.indexOf(what, at + 1))
            ++count;
        return count;
    }

    QTemporaryDir m_dir;
    QString m_path;
};

TEST_P(TagVesselFormat, FreshFileIsValidWithItsDurationAndNoTag) {
    FilePtr file = openFile(m_path);
    ASSERT_TRUE(file);
    EXPECT_TRUE(taglib_file_is_valid(file.get()));
    EXPECT_EQ(taglib_audioproperties_length(taglib_file_audioproperties(file.get())), 3);
    EXPECT_EQ(taglib_audioproperties_samplerate(taglib_file_audioproperties(file.get())), 44100);
    EXPECT_EQ(taglib_audioproperties_channels(taglib_file_audioproperties(file.get())), 2);
    const Fields f = readFields(m_path);
    EXPECT_EQ(f.title, "");
    EXPECT_EQ(f.copyright, "");
    EXPECT_EQ(f.track, 0u);
}

TEST_P(TagVesselFormat, AllFieldsRoundTripWithCyrillicAndJapanese) {
    const Fields written = sampleFields();
    {
        FilePtr file = openFile(m_path);
        ASSERT_TRUE(file);
        writeFields(file.get(), written);
        taglib_tag_set_bpm(file.get(), "128");
        taglib_tag_set_key(file.get(), "Am");
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
    }
    expectSame(readFields(m_path), written);
    EXPECT_EQ(readLength(m_path), 3) << "saving the tag must not damage the audio";
    FilePtr file = openFile(m_path);
    EXPECT_EQ(text(taglib_tag_get_bpm(file.get())), "128");
    EXPECT_EQ(text(taglib_tag_get_key(file.get())), "Am");
    taglib_tag_free_strings();
}

// Every picture of the file, as bytes.
std::vector<QByteArray> readCovers(const QString& path) {
    std::vector<QByteArray> covers;
    FilePtr file = openFile(path);
    const int count = file ? taglib_tag_get_cover_count(file.get()) : 0;
    for (int i = 0; i < count; ++i) {
        QByteArray bytes(
            static_cast<qsizetype>(taglib_tag_get_cover_data(file.get(), i, nullptr, 0)), '\0');
        taglib_tag_get_cover_data(file.get(), i, bytes.data(), static_cast<unsigned>(bytes.size()));
        covers.push_back(bytes);
    }
    return covers;
}

TEST_P(TagVesselFormat, CoverReplacesOneOfItsTypeAndReadsBack) {
    const QByteArray first("\xFF\xD8\xFF\xE0\0first", 11);
    const QByteArray front("\xFF\xD8\xFF\xE0\0front\0", 12);
    const QByteArray back("\x89PNG\r\n\x1A\n\0back", 13);
    {
        FilePtr file = openFile(m_path);
        ASSERT_TRUE(file);
        writeFields(file.get(), sampleFields());
        ASSERT_NE(taglib_tag_set_cover(file.get(), "image/jpeg", first.data(), 11, 3), 0);
        ASSERT_NE(taglib_file_save(file.get()), 0);
    }
    {
        FilePtr file = openFile(m_path);
        ASSERT_TRUE(file);
        EXPECT_EQ(taglib_tag_set_cover(file.get(), "image/png", back.data(), 13, 21), 0);
        ASSERT_NE(taglib_tag_set_cover(file.get(), "image/png", back.data(), 13, 4), 0);
        ASSERT_NE(taglib_tag_set_cover(file.get(), "image/jpeg", front.data(), 12, 3), 0);
        ASSERT_NE(taglib_file_save(file.get()), 0);
    }
    std::vector<QByteArray> covers = readCovers(m_path);
    std::sort(covers.begin(), covers.end());
    EXPECT_EQ(covers, (std::vector<QByteArray>{back, front}));
    expectSame(readFields(m_path), sampleFields());
    EXPECT_EQ(readLength(m_path), 3);
}

TEST_P(TagVesselFormat, CopyrightAloneIsKept) {
    {
        FilePtr file = openFile(m_path);
        taglib_tag_set_byname(file.get(), "copyright", "Only this");
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
    }
    EXPECT_EQ(readFields(m_path).copyright, "Only this");
}

TEST_P(TagVesselFormat, EmptyTitleReplacesTheOldOne) {
    Fields f = sampleFields();
    {
        FilePtr file = openFile(m_path);
        writeFields(file.get(), f);
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
    }
    f.title.clear();
    f.track = 0;
    {
        FilePtr file = openFile(m_path);
        writeFields(file.get(), f);
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
    }
    expectSame(readFields(m_path), f);
}

TEST_P(TagVesselFormat, RemoveClearsEveryField) {
    {
        FilePtr file = openFile(m_path);
        writeFields(file.get(), sampleFields());
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
    }
    {
        FilePtr file = openFile(m_path);
        taglib_tag_remove(file.get());
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
    }
    expectSame(readFields(m_path), Fields{});
    EXPECT_EQ(readLength(m_path), 3);
    EXPECT_EQ(countInFile("Ночная запись"), 0);
    if (QString::fromLatin1(GetParam().extension) == QLatin1String("mp3")) {
        EXPECT_FALSE(fileBytes(m_path).startsWith("ID3")) << "an empty ID3v2 tag was left";
    }
}

TEST_P(TagVesselFormat, SavingAgainDoesNotDuplicateTheTag) {
    Fields f = sampleFields();
    int once = 0;
    {
        FilePtr file = openFile(m_path);
        writeFields(file.get(), f);
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
        once = countInFile(f.title);
        ASSERT_GT(once, 0);
        // The same handle again, with a longer text that needs more room.
        f.comment = std::string(3000, 'c');
        writeFields(file.get(), f);
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
    }
    {
        FilePtr file = openFile(m_path);
        writeFields(file.get(), f);
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
    }
    EXPECT_EQ(countInFile(f.title), once);
    expectSame(readFields(m_path), f);
    EXPECT_EQ(readLength(m_path), 3);
}

TEST_P(TagVesselFormat, SaveThatCannotWriteReturnsZeroAndKeepsTheFile) {
    {
        FilePtr file = openFile(m_path);
        writeFields(file.get(), sampleFields());
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
    }
    const QByteArray before = fileBytes(m_path);
    // The new comment cannot fit into any padding, so the file must grow past the limit.
    const int result = runWithFileSizeLimit(static_cast<uint64_t>(before.size()), [&] {
        FilePtr file = openFile(m_path);
        if (!file)
            return 2;
        Fields f = sampleFields();
        f.comment = std::string(200000, 'x');
        writeFields(file.get(), f);
        return taglib_file_save_ex(file.get(), 3) == 0 ? 0 : 1;
    });
    EXPECT_EQ(result, 0) << "a failed write must not be reported as success";
    // TagLib rewrites a WAV file's tag chunks by removing the old ones first, so there only
    // the audio is sure to survive; elsewhere the old tag is untouched too.
    if (QString::fromLatin1(GetParam().extension) != QLatin1String("wav")) {
        expectSame(readFields(m_path), sampleFields());
    }
    EXPECT_EQ(readLength(m_path), 3);
}

TEST_P(TagVesselFormat, DamagedFilesDoNotCrash) {
    {
        FilePtr file = openFile(m_path);
        writeFields(file.get(), sampleFields());
        ASSERT_EQ(taglib_file_save_ex(file.get(), 3), 1);
    }
    const QByteArray good = fileBytes(m_path);
    QByteArray flipped = good;
    for (qsizetype i = 0; i < flipped.size(); i += 97)
        flipped[i] = static_cast<char>(~flipped[i]);
    QByteArray headerFlipped = good;
    for (qsizetype i = 4; i < std::min<qsizetype>(200, headerFlipped.size()); ++i)
        headerFlipped[i] = static_cast<char>(headerFlipped[i] ^ 0x5A);
    for (const QByteArray& damaged : {good.left(good.size() / 2), good.left(40), good.left(3),
                                      flipped, headerFlipped, QByteArray()}) {
        ASSERT_TRUE(writeBytes(m_path, damaged));
        FilePtr file = openFile(m_path);
        if (!file)
            continue;
        taglib_file_is_valid(file.get());
        EXPECT_GE(taglib_audioproperties_length(taglib_file_audioproperties(file.get())), 0);
        readFields(m_path);
        taglib_tag_get_bpm(file.get());
        taglib_tag_free_strings();
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, TagVesselFormat, ::testing::ValuesIn(TagFormats),
                         [](const auto& info) { return std::string(info.param.extension); });

TEST(TagVessel, FilesThatAreNotAudioReadAsInvalid) {
    QTemporaryDir dir;
    for (const char* extension : {"mp3", "ogg", "wav", "flac", "txt"}) {
        const QString path = dir.path() + QStringLiteral("/notes.") + QLatin1String(extension);
        ASSERT_TRUE(
            writeBytes(path, QByteArray("This is a text, not a recording.\n").repeated(50)));
        FilePtr file = openFile(path);
        if (file) {
            EXPECT_FALSE(taglib_file_is_valid(file.get())) << extension;
            EXPECT_EQ(taglib_audioproperties_length(taglib_file_audioproperties(file.get())), 0);
            EXPECT_EQ(taglib_file_save_ex(file.get(), 3), 0);
        }
    }
    EXPECT_EQ(openFile(dir.path() + QStringLiteral("/missing.mp3")), nullptr);
}

TEST(TagVessel, NullHandlesAndArgumentsAreSafe) {
    EXPECT_EQ(taglib_file_newu(nullptr), nullptr);
    EXPECT_EQ(taglib_file_new(nullptr), nullptr);
    const wchar_t badPath[] = {L'/', static_cast<wchar_t>(0xD800), 0};
    EXPECT_EQ(taglib_file_newu(badPath), nullptr);
    taglib_file_free(nullptr);
    EXPECT_EQ(taglib_file_is_valid(nullptr), 0);
    EXPECT_EQ(taglib_file_tag(nullptr), nullptr);
    EXPECT_EQ(taglib_audioproperties_length(nullptr), 0);
    EXPECT_EQ(text(taglib_tag_title(nullptr)), "");
    EXPECT_EQ(text(taglib_tag_get_byname(nullptr, "COPYRIGHT")), "");
    taglib_tag_set_title(nullptr, "x");
    taglib_tag_set_byname(nullptr, nullptr, nullptr);
    taglib_tag_remove(nullptr);
    EXPECT_EQ(taglib_file_save_ex(nullptr, 3), 0);
    EXPECT_EQ(taglib_tag_copy(nullptr, nullptr), 0);
    EXPECT_EQ(taglib_tag_get_cover_count(nullptr), 0);
    EXPECT_EQ(taglib_tag_get_cover(nullptr, 0), nullptr);
    EXPECT_EQ(taglib_tag_set_cover(nullptr, "image/png", "x", 1, 3), 0);
    EXPECT_EQ(taglib_tag_get_cover_type_name(taglib_tag_get_cover_types_count()), nullptr);
    EXPECT_EQ(taglib_tag_get_cover_type_index(taglib_tag_get_cover_type_name(3)), 3);
    EXPECT_EQ(taglib_tag_get_cover_type_index(nullptr), -1);
    taglib_tag_free_strings();
}

TEST(TagVessel, Latin1ModeAndUnmanagedStrings) {
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/a.wav");
    ASSERT_TRUE(makeSoundFile(TagFormats[2], path, 1));
    FilePtr file = openFile(path);
    taglib_set_strings_unicode(0);
    taglib_tag_set_title(taglib_file_tag(file.get()), "caf\xe9");
    taglib_set_strings_unicode(1);
    taglib_set_string_management_enabled(0);
    char* title = taglib_tag_title(taglib_file_tag(file.get()));
    taglib_set_string_management_enabled(1);
    EXPECT_EQ(text(title), "caf\xc3\xa9");
    taglib_free(title);
}

} // namespace
