#include "browser/tagaccess.h"
#include "browser/tagbinding.h"
#include "browser/tagworker.h"
#include "browser/tracktagging.h"
#include "common/trackinfo.h"

#include "support/fakemessages.h"
#include "tagvessel/tagtestfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

TEST(TagFieldNumber, FollowsTheIntegerRule) {
    struct Case {
        const char* text;
        uint32_t expected;
    } cases[] = {{"7", 7},
                 {"  12", 12},
                 {"+5", 5},
                 {"0x10", 16},
                 {"$1F", 31},
                 {"x1f", 31},
                 {"0X10", 16},
                 {"3/12", 0},
                 {"-4", 0},
                 {"0", 0},
                 {"", 0},
                 {"   ", 0},
                 {"12 ", 0},
                 {"1e3", 0},
                 {"0x", 0},
                 {"$", 0},
                 {"2147483647", 2147483647u},
                 {"2147483648", 0},
                 {"$FFFFFFFF", 0},
                 {"$7FFFFFFF", 2147483647u},
                 {"$100000000", 0},
                 {"٣", 0}};
    for (const Case& c : cases)
        EXPECT_EQ(tagFieldNumber(QString::fromUtf8(c.text)), c.expected) << c.text;
    bool ok = true;
    EXPECT_EQ(tagTextToInt(QStringLiteral("-2147483648"), &ok), INT32_MIN);
    EXPECT_TRUE(ok);
    tagTextToInt(QStringLiteral("3/12"), &ok);
    EXPECT_FALSE(ok);
}

TEST(Cleartag, EmptiesTheTextFieldsAndDurationButKeepsBpmAndKey) {
    audiotag tag{"t", "a", "al", "1", "2000", "g", "c", "(c)", 42, "120", "Am"};
    cleartag(tag);
    EXPECT_TRUE(tag.title.isEmpty() && tag.artist.isEmpty() && tag.album.isEmpty() &&
                tag.track.isEmpty() && tag.year.isEmpty() && tag.genre.isEmpty() &&
                tag.comment.isEmpty() && tag.copyright.isEmpty());
    EXPECT_EQ(tag.duration, 0);
    EXPECT_EQ(tag.bpm, QStringLiteral("120"));
    EXPECT_EQ(tag.key, QStringLiteral("Am"));
}

class TagAccessTest : public ::testing::TestWithParam<TagFormat> {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_binding.loaded()) << m_binding.error().toStdString();
        ASSERT_TRUE(m_binding.canRead() && m_binding.canSave() && m_binding.canRemove());
        m_path = m_dir.path() + QStringLiteral("/Запись 曲.") +
                 QString::fromLatin1(GetParam().extension);
        ASSERT_TRUE(makeSoundFile(GetParam(), m_path, 2));
    }

    static audiotag fields() {
        audiotag f;
        f.title = QStringLiteral("Песня");
        f.artist = QStringLiteral("歌手");
        f.album = QStringLiteral("Альбом");
        f.track = QStringLiteral("0x10");
        f.year = QStringLiteral("1999");
        f.genre = QStringLiteral("Jazz");
        f.comment = QStringLiteral("コメント");
        f.copyright = QStringLiteral("© Владелец");
        return f;
    }

    QTemporaryDir m_dir;
    QString m_path;
    TagBinding m_binding; // found through the data-file lookup
    FakeMessages m_messages;
};

TEST_P(TagAccessTest, SavedFieldsReadBack) {
    TagAccess access(m_binding);
    const audiotag empty = access.GetTag(m_path);
    EXPECT_EQ(empty.title, QString());
    EXPECT_EQ(empty.track, QStringLiteral("0"));
    EXPECT_EQ(empty.year, QStringLiteral("0"));
    EXPECT_EQ(empty.duration, 2);

    EXPECT_EQ(access.saveTag(m_path, fields()), SaveTagResult::Saved);
    const audiotag read = access.GetTag(m_path);
    EXPECT_EQ(read.title, fields().title);
    EXPECT_EQ(read.artist, fields().artist);
    EXPECT_EQ(read.album, fields().album);
    EXPECT_EQ(read.track, QStringLiteral("16"));
    EXPECT_EQ(read.year, QStringLiteral("1999"));
    EXPECT_EQ(read.genre, fields().genre);
    EXPECT_EQ(read.comment, fields().comment);
    EXPECT_EQ(read.copyright, fields().copyright);
    EXPECT_EQ(read.duration, 2);
    EXPECT_TRUE(m_messages.shown.empty());

    audiotag changed = read;
    changed.title.clear();
    changed.track = QStringLiteral("3/12");
    EXPECT_EQ(access.saveTag(m_path, changed), SaveTagResult::Saved);
    const audiotag again = access.GetTag(m_path);
    EXPECT_EQ(again.title, QString());
    EXPECT_EQ(again.track, QStringLiteral("0"));
    EXPECT_EQ(again.artist, fields().artist);

    EXPECT_EQ(access.removeTag(m_path), RemoveTagResult::Removed);
    const audiotag removed = access.GetTag(m_path);
    EXPECT_EQ(removed.artist, QString());
    EXPECT_EQ(removed.copyright, QString());
    EXPECT_EQ(removed.year, QStringLiteral("0"));
    EXPECT_EQ(removed.duration, 2);
    EXPECT_TRUE(m_messages.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, TagAccessTest, ::testing::ValuesIn(TagFormats),
                         [](const auto& info) { return std::string(info.param.extension); });

// The pictures of a file, read through the library's entry points that only tests call.
std::vector<QByteArray> coversOf(const TagBinding& binding, const QString& path) {
    const auto count =
        reinterpret_cast<int (*)(TagVesselFile*)>(binding.api().taglib_tag_get_cover_count);
    const auto data = reinterpret_cast<unsigned (*)(TagVesselFile*, int, void*, unsigned)>(
        binding.api().taglib_tag_get_cover_data);
    std::vector<QByteArray> covers;
    TagVesselFile* file = binding.api().taglib_file_new(QFile::encodeName(path).constData());
    for (int i = 0; file && count && data && i < count(file); ++i) {
        QByteArray bytes(static_cast<qsizetype>(data(file, i, nullptr, 0)), '\0');
        data(file, i, bytes.data(), static_cast<unsigned>(bytes.size()));
        covers.push_back(bytes);
    }
    binding.api().taglib_file_free(file);
    return covers;
}

TEST_P(TagAccessTest, TrackFileGetsThePlayersTagAndCover) {
    const QByteArray png = QByteArrayLiteral("\x89PNG\r\n\x1A\n\0\0\0\rIHDR cover");
    const QString coverPath = m_dir.path() + QStringLiteral("/обложка #1.png");
    ASSERT_TRUE(writeBytes(coverPath, png));
    TrackInfo track;
    track.title = QStringLiteral("Песня");
    track.artist = QStringLiteral("歌手, Other");
    track.album = QStringLiteral("Альбом");
    track.trackNumber = 5;
    track.year = 2019;
    track.genre = QStringLiteral("Jazz");
    track.artUrl = QUrl::fromLocalFile(coverPath).toString(QUrl::FullyEncoded);

    QString error;
    ASSERT_TRUE(tagTrackFile(m_binding, m_path, track, &error)) << error.toStdString();
    const audiotag read = TagAccess(m_binding).GetTag(m_path);
    EXPECT_EQ(read.title, track.title);
    EXPECT_EQ(read.artist, track.artist);
    EXPECT_EQ(read.album, track.album);
    EXPECT_EQ(read.track, QStringLiteral("5"));
    EXPECT_EQ(read.year, QStringLiteral("2019"));
    EXPECT_EQ(read.genre, track.genre);
    EXPECT_EQ(read.duration, 2);
    EXPECT_EQ(coversOf(m_binding, m_path), std::vector<QByteArray>{png});
}

TEST(TrackTagging, PassesOverAnyOtherCoverAndReportsAFileItCannotTag) {
    QTemporaryDir dir;
    TagBinding binding;
    const QString path = dir.path() + QStringLiteral("/t.flac");
    ASSERT_TRUE(makeSoundFile(TagFormats[3], path, 1));
    const QString gif = dir.path() + QStringLiteral("/c.gif");
    ASSERT_TRUE(writeBytes(gif, QByteArrayLiteral("GIF89a not a cover we take")));
    TrackInfo track;
    track.title = QStringLiteral("T");
    for (const QString& art :
         {QUrl::fromLocalFile(gif).toString(), QStringLiteral("https://example.org/c.png"),
          QStringLiteral("file:///dev/zero"), QStringLiteral("file://")}) {
        track.artUrl = art;
        QString error;
        EXPECT_TRUE(tagTrackFile(binding, path, track, &error)) << error.toStdString();
        EXPECT_TRUE(coversOf(binding, path).empty()) << art.toStdString();
    }
    EXPECT_EQ(TagAccess(binding).GetTag(path).title, QStringLiteral("T"));

    const QString text = dir.path() + QStringLiteral("/text.mp3");
    ASSERT_TRUE(writeBytes(text, QByteArray("no sound here\n").repeated(100)));
    QString error;
    EXPECT_FALSE(tagTrackFile(binding, text, track, &error));
    EXPECT_EQ(error, QStringLiteral("Can not open the file to tag it: ") + text);
    const TagBinding missing(dir.path() + QStringLiteral("/libtagvessel.so"));
    EXPECT_FALSE(tagTrackFile(missing, path, track, &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("The tag library"))) << error.toStdString();
}

TEST(TagAccess, AnUnreadableFileAfterATaggedOneReadsEmpty) {
    QTemporaryDir dir;
    TagBinding binding;
    TagAccess access(binding);
    FakeMessages messages;
    const QString tagged = dir.path() + QStringLiteral("/a.ogg");
    const QString broken = dir.path() + QStringLiteral("/b.ogg");
    ASSERT_TRUE(makeSoundFile(TagFormats[1], tagged, 1));
    ASSERT_TRUE(writeBytes(broken, QByteArray(5000, 'z')));
    audiotag f;
    f.title = QStringLiteral("First");
    f.artist = QStringLiteral("Someone");
    ASSERT_EQ(access.saveTag(tagged, f), SaveTagResult::Saved);
    EXPECT_EQ(access.GetTag(tagged).title, QStringLiteral("First"));
    const audiotag second = access.GetTag(broken);
    EXPECT_EQ(second.title, QString());
    EXPECT_EQ(second.artist, QString());
    EXPECT_EQ(second.duration, 0);
    EXPECT_EQ(access.GetTag(dir.path() + QStringLiteral("/missing.mp3")).duration, 0);
}

TEST(TagAccess, RefusedSaveAndMissingFileAreReported) {
    QTemporaryDir dir;
    TagBinding binding;
    TagAccess access(binding);
    FakeMessages messages;
    const QString notAudio = dir.path() + QStringLiteral("/text.mp3");
    ASSERT_TRUE(writeBytes(notAudio, QByteArray("no sound here\n").repeated(100)));
    const SaveTagResult result = access.saveTag(notAudio, audiotag{});
    reportSave(result, notAudio, binding);
    if (result == SaveTagResult::Refused) {
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].text,
                  QStringLiteral("Can not save tag to the file: ") + notAudio);
    } else {
        EXPECT_EQ(result, SaveTagResult::NotOpened);
        EXPECT_TRUE(messages.shown.empty());
    }
    messages.shown.clear();
    const QString missing = dir.path() + QStringLiteral("/gone.wav");
    EXPECT_EQ(access.removeTag(missing), RemoveTagResult::Missing);
    EXPECT_TRUE(messages.shown.empty()); // the window thread tells, not the tag thread
    reportRemove(RemoveTagResult::Missing, missing, binding);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text,
              QStringLiteral("Can not remove tag from the file: ") + missing);
}

TEST(TagAccess, WithoutTheLibraryReadsTheDurationAndRefusesToEdit) {
    QTemporaryDir dir;
    QStringList paths;
    for (const TagFormat& format : TagFormats) {
        paths << dir.path() + QStringLiteral("/a.") + QString::fromLatin1(format.extension);
        ASSERT_TRUE(makeSoundFile(format, paths.back(), 2));
    }
    const QString partial = qEnvironmentVariable("TAGVESSEL_PARTIAL");
    ASSERT_FALSE(partial.isEmpty());
    for (const QString& library : {dir.path() + QStringLiteral("/libtagvessel.so"), partial}) {
        auto binding = std::make_unique<TagBinding>(library);
        EXPECT_FALSE(binding->canRead());
        TagAccess access(*binding);
        FakeMessages messages;
        // The playing time still shows, read as the player reads the file.
        for (const QString& path : paths) {
            const audiotag tag = access.GetTag(path);
            EXPECT_EQ(tag.title, QString());
            EXPECT_EQ(tag.duration, 2) << path.toStdString();
        }
        const QString& path = paths.front();
        EXPECT_EQ(access.saveTag(path, audiotag{}), SaveTagResult::Unavailable);
        EXPECT_EQ(access.removeTag(path), RemoveTagResult::Unavailable);
        EXPECT_TRUE(messages.shown.empty());
        reportSave(SaveTagResult::Unavailable, path, *binding);
        reportRemove(RemoveTagResult::Unavailable, path, *binding);
        ASSERT_EQ(messages.shown.size(), 2u);
        EXPECT_TRUE(messages.shown[0].text.startsWith(QStringLiteral("Tags cannot be edited")));

        // Listing says once that the library is missing and where it was looked for.
        messages.shown.clear();
        TagWorker worker(std::move(binding));
        FolderLister lister(worker);
        for (int i = 0; i < 2; ++i) {
            lister.list(dir.path());
            QElapsedTimer guard;
            guard.start();
            while (lister.running() && guard.elapsed() < 10000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].icon, MessageIcon::Information);
        EXPECT_TRUE(messages.shown[0].text.contains(QStringLiteral("libtagvessel.so")));
        EXPECT_TRUE(messages.shown[0].text.contains(library));
    }
}

} // namespace
