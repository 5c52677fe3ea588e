#include "browser/tagaccess.h"
#include "browser/tagbinding.h"
#include "browser/tagworker.h"

#include "support/fakemessages.h"
#include "tagvessel/tagtestfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

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
