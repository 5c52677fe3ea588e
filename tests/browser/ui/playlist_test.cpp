// The recordings browser window, offscreen, over the real tag library and real files.
#include "browser/ui/foldertree.h"
#include "browser/ui/playlist.h"
#include "browser/ui/recordingsmodel.h"
#include "support/eventloop.h"
#include "support/fakemessages.h"
#include "support/qtprint.h"
#include "tagvessel/tagtestfiles.h"

#include "browser/tagaccess.h"
#include "common/filename.h"
#include "common/recordinglock.h"
#include "settings/config.h"

#include <QAction>
#include <QDateTime>
#include <QDirIterator>
#include <QEventLoop>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/resource.h>

namespace {

class FakeHost final : public BrowserHost {
public:
    void playfile(const QString& file) override { played << file; }
    void StopClick() override { ++stopClicks; }
    bool playButtonEnabled() const override { return playEnabled; }
    void setLastfile(const QString& file) override { lastfile = file; }
    int workmode() const override { return mode; }
    QString activePlaybackFile() const override { return playing; }
    void stopPlayback() override {
        ++stops;
        playing.clear();
    }

    QStringList played;
    int stopClicks = 0;
    int stops = 0;
    bool playEnabled = true;
    QString lastfile;
    int mode = 1;
    QString playing;
};

class PlaylistTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_folder = m_dir.path() + QStringLiteral("/rec");
        ASSERT_TRUE(QDir().mkpath(m_folder));
        // Deleted files go to a trash of the test's own.
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/share")));
        ASSERT_TRUE(QDir().mkpath(m_dir.path() + QStringLiteral("/share")));
        config.archive = m_folder;
        m_browser = std::make_unique<Tplaylist>(
            m_host, std::make_unique<TagBinding>(QStringLiteral(TAGVESSEL_LIBRARY)));
    }

    void TearDown() override { m_browser.reset(); }

    QString path(const QString& name) const { return m_folder + QLatin1Char('/') + name; }

    void makeRecording(const QString& name, int format, const QString& title = {},
                       const QString& artist = {}, int seconds = 1) {
        ASSERT_TRUE(makeSoundFile(TagFormats[format], path(name), seconds));
        if (!title.isEmpty() || !artist.isEmpty()) {
            TagBinding binding{QStringLiteral(TAGVESSEL_LIBRARY)};
            audiotag tag;
            tag.title = title;
            tag.artist = artist;
            ASSERT_EQ(TagAccess(binding).saveTag(path(name), tag), SaveTagResult::Saved);
        }
    }

    // Lists `folder` (the output folder by default) and waits for the rows.
    void list(const QString& folder = {}) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(m_browser.get(), &Tplaylist::listingFinished, &loop, &QEventLoop::quit);
        limit.start(60000);
        if (folder.isEmpty())
            m_browser->FormShow();
        else
            m_browser->selectFolder(folder);
        if (m_browser->listing())
            loop.exec();
        // Whatever the first listing set off (a tree model settling) runs to its end too.
        QCoreApplication::processEvents();
        ASSERT_TRUE(processUntil([this] { return !m_browser->listing(); }));
    }

    QStringList names() const {
        QStringList result;
        for (const TMCRS& row : m_browser->rows())
            result << row.audiofile;
        return result;
    }

    int rowOf(const QString& name) const { return static_cast<int>(names().indexOf(name)); }

    QTemporaryDir m_dir;
    QString m_folder;
    FakeHost m_host;
    FakeMessages m_messages;
    std::unique_ptr<Tplaylist> m_browser;
};

TEST_F(PlaylistTest, ListsOnlyRecordingsAndCountsThem) {
    makeRecording(QStringLiteral("Take1.MP3"), 0, QStringLiteral("One"), QStringLiteral("Me"));
    ASSERT_TRUE(QFile::copy(path("Take1.MP3"), path("take1.mp3.bak")));
    ASSERT_TRUE(writeBytes(path("take2.wav"), QByteArray()));
    makeRecording(QStringLiteral(".take3.ogg"), 1);
    ASSERT_TRUE(QDir().mkpath(path("take4.flac")));
    const QString empty = m_dir.path() + QStringLiteral("/empty");
    ASSERT_TRUE(QDir().mkpath(empty));
    EXPECT_EQ(m_browser->statusText(), QStringLiteral("Total files found: 0"));
    list();
    EXPECT_EQ(names(), QStringList{QStringLiteral("Take1.MP3")});
    EXPECT_EQ(m_browser->statusText(), QStringLiteral("Total recordings found: 1"));
    const TMCRS& row = m_browser->rows().at(0);
    EXPECT_EQ(row.title, QStringLiteral("One"));
    EXPECT_EQ(row.artist, QStringLiteral("Me"));
    EXPECT_EQ(row.duration, 1);
    EXPECT_NEAR(row.modified, datetime::fromQDateTime(QFileInfo(path("Take1.MP3")).lastModified()),
                1e-6);
    EXPECT_EQ(m_browser->selectedRow(), -1);
    EXPECT_FALSE(m_browser->DeleteAction->isEnabled());
    EXPECT_TRUE(m_browser->RefreshAction->isEnabled());

    // A folder without recordings: count 0, every file action off.
    m_browser->selectRow(0);
    EXPECT_TRUE(m_browser->RenameAction->isEnabled());
    list(empty);
    EXPECT_TRUE(m_browser->rows().empty());
    EXPECT_EQ(m_browser->statusText(), QStringLiteral("Total recordings found: 0"));
    for (QAction* action :
         {m_browser->RenameAction, m_browser->SaveAsAction, m_browser->DeleteAction,
          m_browser->PlayAction, m_browser->StopAction, m_browser->SendAction,
          m_browser->SaveTagAction, m_browser->RemoveTagAction, m_browser->EditAction,
          m_browser->itunesAction})
        EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
    EXPECT_FALSE(m_browser->CopyButton->isEnabled());
    EXPECT_TRUE(m_browser->GetSelectedFile().isEmpty());
    EXPECT_TRUE(m_messages.shown.empty());
}

TEST_F(PlaylistTest, AnUnreadableFileShowsEmptyFieldsNotTheLastOnes) {
    makeRecording(QStringLiteral("a.ogg"), 1, QStringLiteral("First"), QStringLiteral("Someone"),
                  2);
    ASSERT_TRUE(writeBytes(path("b.ogg"), QByteArray(5000, 'z')));
    list();
    ASSERT_EQ(names(), (QStringList{"b.ogg", "a.ogg"})); // first shown: names descending
    EXPECT_EQ(m_browser->rows()[1].title, QStringLiteral("First"));
    EXPECT_EQ(m_browser->rows()[1].duration, 2);
    const TMCRS& broken = m_browser->rows()[0];
    EXPECT_TRUE(broken.title.isEmpty());
    EXPECT_TRUE(broken.artist.isEmpty());
    EXPECT_EQ(broken.duration, 0);
    const QModelIndex cell = m_browser->VST->model()->index(0, 3);
    EXPECT_EQ(cell.data().toString(), QStringLiteral("0:00:00"));
    // Selecting it shows empty fields too.
    m_browser->selectRow(0);
    EXPECT_TRUE(m_browser->tagFields[0]->text().isEmpty());
    m_browser->selectRow(1);
    EXPECT_EQ(m_browser->tagFields[0]->text(), QStringLiteral("First"));
}

TEST_F(PlaylistTest, HeaderClicksToggleEachColumnAndShowKeepsTheDirection) {
    makeRecording(QStringLiteral("abc.wav"), 2, QStringLiteral("apple"));
    makeRecording(QStringLiteral("ABD.wav"), 2, QStringLiteral("Zed"));
    makeRecording(QStringLiteral("abb.wav"), 2, QStringLiteral("mango"));
    list();
    // Shown for the first time: the next click on "Filename" would sort descending.
    EXPECT_EQ(names(), (QStringList{"ABD.wav", "abc.wav", "abb.wav"}));
    EXPECT_EQ(m_browser->VST->header()->sortIndicatorOrder(), Qt::DescendingOrder);
    m_browser->selectRow(rowOf(QStringLiteral("abc.wav")));

    m_browser->VSTHeaderClick(1); // first click: descending
    EXPECT_EQ(names(), (QStringList{"abb.wav", "abc.wav", "ABD.wav"}));
    EXPECT_EQ(m_browser->VST->header()->sortIndicatorSection(), 1);
    EXPECT_EQ(m_browser->VST->header()->sortIndicatorOrder(), Qt::DescendingOrder);
    m_browser->VSTHeaderClick(1); // second: ascending, "Zed" before "apple"
    EXPECT_EQ(names(), (QStringList{"ABD.wav", "abc.wav", "abb.wav"}));
    EXPECT_EQ(m_browser->VST->header()->sortIndicatorOrder(), Qt::AscendingOrder);
    // The selection stays on its recording.
    EXPECT_EQ(m_browser->selectedRow(), rowOf(QStringLiteral("abc.wav")));

    m_browser->VSTHeaderClick(0); // "Filename" keeps its own toggle: descending
    EXPECT_EQ(names(), (QStringList{"ABD.wav", "abc.wav", "abb.wav"}));
    m_browser->VSTHeaderClick(-1); // outside every column: nothing
    EXPECT_EQ(m_browser->sortcolumn(), 0);
    // Shown again: sorted the way the next click would, ascending now; a new listing of
    // the folder keeps it.
    list();
    EXPECT_EQ(names(), (QStringList{"abb.wav", "abc.wav", "ABD.wav"}));
    EXPECT_EQ(m_browser->VST->header()->sortIndicatorOrder(), Qt::AscendingOrder);
}

TEST_F(PlaylistTest, RenameKeepsOrAddsTheExtensionAndNeverReplacesAFile) {
    makeRecording(QStringLiteral("take1.mp3"), 0);
    makeRecording(QStringLiteral("other.mp3"), 0);
    list();
    const QByteArray otherBytes = fileBytes(path("other.mp3"));
    const int row = rowOf(QStringLiteral("take1.mp3"));
    QAbstractItemModel* model = m_browser->VST->model();
    EXPECT_FALSE(model->flags(model->index(row, 1)).testFlag(Qt::ItemIsEditable));

    // While the player has the file, its name cannot be edited; once it stopped, it can.
    m_host.playing = path("take1.mp3");
    EXPECT_FALSE(m_browser->VSTEditing(row));
    EXPECT_FALSE(model->setData(model->index(row, 0), QStringLiteral("final")));
    EXPECT_TRUE(QFile::exists(path("take1.mp3")));
    m_host.playing.clear();
    EXPECT_TRUE(m_browser->VSTEditing(row));

    EXPECT_TRUE(model->setData(model->index(row, 0), QStringLiteral("final")));
    EXPECT_TRUE(QFile::exists(path("final.mp3")));
    EXPECT_FALSE(QFile::exists(path("take1.mp3")));
    EXPECT_EQ(m_browser->rows()[static_cast<size_t>(row)].audiofile, QStringLiteral("final.mp3"));
    EXPECT_TRUE(m_browser->renameRow(row, QStringLiteral("final.wav")));
    EXPECT_TRUE(QFile::exists(path("final.wav")));

    // Onto an existing name: refused and told; both files stay as they were.
    EXPECT_FALSE(m_browser->renameRow(row, QStringLiteral("other.mp3")));
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_TRUE(m_messages.shown[0].text.contains(QStringLiteral("already exists")));
    EXPECT_EQ(m_browser->rows()[static_cast<size_t>(row)].audiofile, QStringLiteral("final.wav"));
    EXPECT_TRUE(QFile::exists(path("final.wav")));
    EXPECT_EQ(fileBytes(path("other.mp3")), otherBytes);
}

TEST_F(PlaylistTest, DeleteMovesToTheTrashAndSelectsANeighbour) {
    for (const char* name : {"a.wav", "b.wav", "c.wav"})
        makeRecording(QString::fromLatin1(name), 2);
    list();
    m_browser->VSTHeaderClick(0);
    m_browser->VSTHeaderClick(0); // ascending: a, b, c
    ASSERT_EQ(names(), (QStringList{"a.wav", "b.wav", "c.wav"}));
    m_browser->selectRow(2);
    m_browser->DeleteActionExecute();
    EXPECT_FALSE(QFile::exists(path("c.wav")));
    EXPECT_TRUE(m_messages.shown.empty());
    EXPECT_EQ(m_host.stops, 1);
    EXPECT_EQ(names(), (QStringList{"a.wav", "b.wav"}));
    EXPECT_EQ(m_browser->selectedRow(), 1); // the last row went: the one before it
    m_browser->selectRow(0);
    m_browser->DeleteActionExecute();
    EXPECT_EQ(m_browser->selectedRow(), 0); // the next one moved up
    EXPECT_EQ(names(), QStringList{QStringLiteral("b.wav")});
    m_browser->DeleteActionExecute();
    EXPECT_TRUE(m_browser->rows().empty());
    EXPECT_EQ(m_browser->selectedRow(), -1);
    EXPECT_FALSE(m_browser->DeleteAction->isEnabled());
    // The files are in the trash, not gone.
    int trashed = 0;
    QDirIterator it(m_dir.path() + QStringLiteral("/share/Trash/files"));
    while (it.hasNext()) {
        it.next();
        trashed += it.fileName().endsWith(QStringLiteral(".wav"));
    }
    EXPECT_EQ(trashed, 3) << m_dir.path().toStdString();
}

TEST_F(PlaylistTest, SaveAsCopiesWithItsDateAndNeverOntoItself) {
    makeRecording(QStringLiteral("show.flac"), 3);
    const QDateTime old = QDateTime::currentDateTime().addDays(-3);
    {
        QFile f(path("show.flac"));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(old, QFileDevice::FileModificationTime));
    }
    list();
    const QByteArray bytes = fileBytes(path("show.flac"));
    const QString other = m_dir.path() + QStringLiteral("/copies");
    ASSERT_TRUE(QDir().mkpath(other));
    ASSERT_TRUE(writeBytes(other + QStringLiteral("/show.flac"), "an older copy"));
    QString asked;
    m_browser->chooseFolder = [&](const QString& start) {
        asked = start;
        return other;
    };
    m_browser->selectRow(0);
    m_browser->SaveAsActionExecute();
    EXPECT_EQ(asked, m_folder);
    EXPECT_EQ(fileBytes(other + QStringLiteral("/show.flac")), bytes); // replaced
    EXPECT_EQ(QFileInfo(other + QStringLiteral("/show.flac")).lastModified().toSecsSinceEpoch(),
              old.toSecsSinceEpoch());
    EXPECT_EQ(m_host.stops, 1);
    // Into its own folder (spelt differently): the file stays whole.
    m_browser->saveCopyTo(m_folder + QStringLiteral("/../rec/"));
    EXPECT_EQ(fileBytes(path("show.flac")), bytes);
    EXPECT_TRUE(m_messages.shown.empty());
    // A folder that is not there: told, nothing written.
    m_browser->saveCopyTo(m_dir.path() + QStringLiteral("/missing"));
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_TRUE(
        m_messages.shown[0].text.startsWith(QStringLiteral("Could not copy \"show.flac\"")));
    // Cancelling the picker does nothing.
    m_browser->chooseFolder = [](const QString&) { return QString(); };
    m_browser->SaveAsActionExecute();
    EXPECT_EQ(m_host.stops, 3);
}

TEST_F(PlaylistTest, TagPanelCopiesPastesSavesAndRemoves) {
    makeRecording(QStringLiteral("a.mp3"), 0, QStringLiteral("Song A"), QStringLiteral("Band"));
    makeRecording(QStringLiteral("b.ogg"), 1, QStringLiteral("Song B"));
    list();
    TagBinding binding{QStringLiteral(TAGVESSEL_LIBRARY)};
    const TagAccess tags(binding);
    m_browser->selectRow(rowOf(QStringLiteral("a.mp3")));
    EXPECT_EQ(m_browser->tagFields[0]->text(), QStringLiteral("Song A"));
    EXPECT_EQ(m_browser->tagFields[3]->text(), QStringLiteral("0")); // no track number
    m_browser->CopyButtonClick();
    m_browser->selectRow(rowOf(QStringLiteral("b.ogg")));
    EXPECT_EQ(m_browser->tagFields[0]->text(), QStringLiteral("Song B"));
    m_browser->PasteButtonClick();
    EXPECT_EQ(m_browser->tagFields[0]->text(), QStringLiteral("Song A"));
    EXPECT_EQ(m_browser->tagFields[1]->text(), QStringLiteral("Band"));
    // Pasting wrote nothing.
    EXPECT_EQ(tags.GetTag(path("b.ogg")).title, QStringLiteral("Song B"));

    m_browser->tagFields[0]->setText(QStringLiteral("Новая"));
    m_browser->tagFields[3]->setText(QStringLiteral("3/12")); // not a number: 0
    m_browser->SaveTagActionExecute();
    const audiotag saved = tags.GetTag(path("b.ogg"));
    EXPECT_EQ(saved.title, QStringLiteral("Новая"));
    EXPECT_EQ(saved.artist, QStringLiteral("Band"));
    EXPECT_EQ(saved.track, QStringLiteral("0"));
    const int row = rowOf(QStringLiteral("b.ogg"));
    EXPECT_EQ(m_browser->rows()[static_cast<size_t>(row)].title, QStringLiteral("Новая"));
    EXPECT_EQ(m_browser->tagFields[3]->text(), QStringLiteral("0")); // what the file holds

    m_browser->RemoveTagActionExecute();
    EXPECT_TRUE(tags.GetTag(path("b.ogg")).title.isEmpty());
    EXPECT_TRUE(m_browser->rows()[static_cast<size_t>(row)].title.isEmpty());
    EXPECT_TRUE(m_browser->tagFields[0]->text().isEmpty());
    // The copy buffer survives.
    EXPECT_EQ(m_browser->clipboardTag().title, QStringLiteral("Song A"));
    EXPECT_TRUE(m_messages.shown.empty());
}

// Runs `body` while this process cannot write a byte to any file: as root, permission bits
// would not stop the tag library, but a file size limit of 0 fails every write with EFBIG
// before anything is changed.
void withoutFileWrites(const std::function<void()>& body) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
    body();
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, oldHandler);
}

TEST_F(PlaylistTest, AFailedTagWriteShowsWhatTheFileHoldsAndKeepsTheFields) {
    makeRecording(QStringLiteral("song.mp3"), 0, QStringLiteral("Old"), QStringLiteral("Band"));
    list();
    m_browser->selectRow(0);
    const QString file = path("song.mp3");
    const QByteArray before = fileBytes(file);
    const QString failure = QStringLiteral("Can not save tag to the file: ") + file;

    m_browser->tagFields[0]->setText(QStringLiteral("New"));
    m_browser->tagFields[1]->setText(QStringLiteral("Someone"));
    withoutFileWrites([&] { m_browser->SaveTagAction->trigger(); });
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_EQ(m_messages.shown[0].text, failure);
    // The row and the fields show what the file still holds, not what was typed.
    EXPECT_EQ(m_browser->rows()[0].title, QStringLiteral("Old"));
    EXPECT_EQ(m_browser->rows()[0].artist, QStringLiteral("Band"));
    EXPECT_EQ(m_browser->tagFields[0]->text(), QStringLiteral("Old"));

    m_browser->tagFields[0]->setText(QStringLiteral("Typed"));
    withoutFileWrites([&] { m_browser->RemoveTagAction->trigger(); });
    ASSERT_EQ(m_messages.shown.size(), 2u);
    EXPECT_EQ(m_messages.shown[1].text, failure);
    EXPECT_EQ(m_browser->tagFields[0]->text(), QStringLiteral("Typed"));
    EXPECT_EQ(m_browser->tagFields[1]->text(), QStringLiteral("Band"));
    EXPECT_EQ(m_browser->rows()[0].title, QStringLiteral("Old"));
    EXPECT_EQ(fileBytes(file), before);
}

TEST_F(PlaylistTest, ARecordingInProgressIsNeitherChangedNorMovedNorDeleted) {
    makeRecording(QStringLiteral("live.mp3"), 0, QStringLiteral("Live"), QStringLiteral("Band"));
    list();
    m_browser->selectRow(0);
    const QString file = path("live.mp3");
    const QByteArray before = fileBytes(file);
    // "Save as..." onto a file of that name that another recorder is writing.
    const QString other = m_dir.path() + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkpath(other));
    const QString otherFile = other + QStringLiteral("/live.mp3");
    ASSERT_TRUE(writeBytes(otherFile, "growing"));
    m_browser->chooseFolder = [&](const QString&) { return other; };
    QTemporaryDir settings; // no audio editor installed, no download page
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    qputenv("ORVANTA_EDITOR_DOWNLOAD_PAGE", "");

    RecordingLock recording;
    RecordingLock otherRecording;
    ASSERT_EQ(recording.acquire(file), RecordingLock::Result::Locked);
    ASSERT_EQ(otherRecording.acquire(otherFile), RecordingLock::Result::Locked);
    QAbstractItemModel* model = m_browser->VST->model();
    m_browser->tagFields[0]->setText(QStringLiteral("Changed"));
    const std::pair<const char*, std::function<void()>> commands[] = {
        {"save tag", [&] { m_browser->SaveTagAction->trigger(); }},
        {"remove tag", [&] { m_browser->RemoveTagAction->trigger(); }},
        {"rename", [&] { m_browser->RenameAction->trigger(); }},
        {"in-place rename", [&] { model->setData(model->index(0, 0), QStringLiteral("x")); }},
        {"delete", [&] { m_browser->DeleteAction->trigger(); }},
        {"edit", [&] { m_browser->EditAction->trigger(); }},
        {"save as", [&] { m_browser->SaveAsAction->trigger(); }},
    };
    for (const auto& [name, run] : commands) {
        m_messages.shown.clear();
        run();
        ASSERT_EQ(m_messages.shown.size(), 1u) << name;
        EXPECT_EQ(m_messages.shown[0].text,
                  QStringLiteral("The file \"live.mp3\" is being recorded.\nThis command can be "
                                 "used once the recording has stopped."))
            << name;
        EXPECT_EQ(m_messages.shown[0].icon, MessageIcon::Information) << name;
        EXPECT_EQ(m_messages.shown[0].buttons, MessageButtons::Ok) << name;
        EXPECT_EQ(m_messages.shown[0].caption, QStringLiteral("Orvanta")) << name;
        EXPECT_EQ(fileBytes(file), before) << name;
        EXPECT_EQ(names(), QStringList{QStringLiteral("live.mp3")}) << name;
    }
    qunsetenv("ORVANTA_EDITOR_DOWNLOAD_PAGE");
    EXPECT_FALSE(m_browser->VST->editing());
    EXPECT_EQ(fileBytes(otherFile), QByteArray("growing"));
    EXPECT_EQ(m_browser->rows()[0].title, QStringLiteral("Live"));
    EXPECT_EQ(m_host.stops, 0); // not even the player was stopped

    // Playing it and copying its tag stay allowed.
    m_messages.shown.clear();
    m_browser->PlayAction->trigger();
    EXPECT_EQ(m_host.played, QStringList{file});
    m_browser->CopyButton->click();
    EXPECT_EQ(m_browser->clipboardTag().title, QStringLiteral("Changed"));
    EXPECT_TRUE(m_messages.shown.empty());

    // Once the recording has stopped, the commands work again.
    recording.release();
    m_browser->SaveTagAction->trigger();
    EXPECT_TRUE(m_messages.shown.empty());
    TagBinding binding{QStringLiteral(TAGVESSEL_LIBRARY)};
    EXPECT_EQ(TagAccess(binding).GetTag(file).title, QStringLiteral("Changed"));
    EXPECT_EQ(m_browser->rows()[0].title, QStringLiteral("Changed"));
}

TEST_F(PlaylistTest, PlaysThroughTheMainWindowAndSetsItsLastFile) {
    makeRecording(QStringLiteral("x.wav"), 2);
    makeRecording(QStringLiteral("y.wav"), 2);
    // A player with nothing playing takes the first listed file as its Play file.
    m_host.mode = 2;
    list();
    EXPECT_EQ(m_host.lastfile, path(names().at(0)));
    EXPECT_EQ(m_browser->selectedRow(), 0);
    m_browser->selectRow(1);
    m_browser->VSTDblClick();
    EXPECT_EQ(m_host.played, QStringList{path(names().at(1))});
    EXPECT_EQ(m_host.lastfile, path(names().at(1)));
    m_host.playEnabled = false; // recording: Play does nothing
    m_browser->VSTDblClick();
    EXPECT_EQ(m_host.played.size(), 1);
    m_browser->StopActionExecute();
    EXPECT_EQ(m_host.stopClicks, 1);
    // While something plays, a new listing leaves the Play file alone.
    m_host.lastfile.clear();
    m_host.playing = path("y.wav");
    list();
    EXPECT_TRUE(m_host.lastfile.isEmpty());
}

TEST_F(PlaylistTest, SharingCommandsReportTheirFailures) {
    makeRecording(QStringLiteral("my show.wav"), 2);
    list();
    // Programs of the test's own: a mail tool that fails, and no media player at all.
    const QString bin = m_dir.path() + QStringLiteral("/bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    const QString mailer = bin + QStringLiteral("/xdg-email");
    ASSERT_TRUE(writeBytes(mailer, "#!/bin/sh\nexit 1\n"));
    ASSERT_TRUE(QFile::setPermissions(mailer, QFile::ReadOwner | QFile::ExeOwner));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin));
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    qputenv("ORVANTA_EDITOR_DOWNLOAD_PAGE", "");

    m_browser->selectRow(0);
    m_browser->SendActionExecute();
    EXPECT_TRUE(m_browser->mailRunning());
    EXPECT_TRUE(processUntil([&] { return !m_browser->mailRunning(); }));
    m_browser->itunesActionExecute();
    EXPECT_TRUE(processUntil([&] { return m_messages.shown.size() >= 2; }));
    m_browser->EditActionExecute();
    qputenv("PATH", oldPath);
    qunsetenv("ORVANTA_EDITOR_DOWNLOAD_PAGE");

    ASSERT_EQ(m_messages.shown.size(), 3u);
    EXPECT_EQ(m_messages.shown[0].text, QStringLiteral("Mapi Error #2, Mapi error"));
    EXPECT_EQ(m_messages.shown[0].caption, QStringLiteral("Mail Error"));
    EXPECT_EQ(m_messages.shown[1].text, QStringLiteral("Could not connect to iTunes"));
    EXPECT_EQ(m_messages.shown[2].text,
              QStringLiteral("Component not found\nPlease download and install it from our site."));
}

// The names in `folder` as the file system has them, sorted.
std::vector<QByteArray> entryBytes(const QByteArray& folder) {
    std::vector<QByteArray> names;
    if (DIR* dir = ::opendir(folder.constData())) {
        while (const dirent* entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

QByteArray contentOf(const QByteArray& path) {
    std::ifstream in(path.constData(), std::ios::binary);
    return QByteArray::fromStdString(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

TEST_F(PlaylistTest, ANameThatIsNotUtf8KeepsItsBytesThroughEveryCommand) {
    // "café.mp3" in Latin-1, as an old disk or an archive may bring it.
    const QByteArray folder = QFile::encodeName(m_folder);
    // QTemporaryDir cannot remove such names: Qt's listings leave them out.
    const struct RemoveTree {
        QByteArray path;
        ~RemoveTree() {
            ::nftw(
                path.constData(),
                [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); }, 16,
                FTW_DEPTH | FTW_PHYS);
        }
    } removeTree{QFile::encodeName(m_dir.path())};
    const QByteArray name("caf\xE9.mp3");
    makeRecording(QStringLiteral("made.mp3"), 0, QStringLiteral("Old"), QStringLiteral("Me"));
    ASSERT_EQ(::rename((folder + "/made.mp3").constData(), (folder + '/' + name).constData()), 0);
    list();
    ASSERT_EQ(m_browser->rows().size(), 1u);
    EXPECT_EQ(fileNameBytes(m_browser->rows()[0].audiofile), name);
    EXPECT_EQ(m_browser->rows()[0].title, QStringLiteral("Old"));
    EXPECT_EQ(m_browser->rows()[0].duration, 1);
    EXPECT_EQ(m_browser->VST->model()->index(0, 0).data().toString(),
              QStringLiteral("caf\uFFFD.mp3"));

    // Tags.
    m_browser->selectRow(0);
    EXPECT_EQ(m_browser->tagFields[0]->text(), QStringLiteral("Old"));
    m_browser->tagFields[0]->setText(QStringLiteral("New"));
    m_browser->SaveTagAction->trigger();
    EXPECT_EQ(m_browser->tagFields[0]->text(), QStringLiteral("New")); // read back from the file
    EXPECT_EQ(m_browser->rows()[0].title, QStringLiteral("New"));

    // Play and the mail hand-off get the path's bytes.
    m_browser->PlayAction->trigger();
    ASSERT_EQ(m_host.played.size(), 1);
    EXPECT_EQ(fileNameBytes(m_host.played[0]), folder + '/' + name);
    const QString bin = m_dir.path() + QStringLiteral("/bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    const QByteArray attached = QFile::encodeName(bin) + "/attached";
    ASSERT_TRUE(writeBytes(bin + QStringLiteral("/xdg-email"),
                           "#!/bin/sh\nprintf %s \"$2\" > '" + attached + "'\n"));
    ASSERT_TRUE(QFile::setPermissions(bin + QStringLiteral("/xdg-email"),
                                      QFile::ReadOwner | QFile::ExeOwner));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin));
    m_browser->SendAction->trigger();
    EXPECT_TRUE(processUntil([&] { return !m_browser->mailRunning(); }));
    qputenv("PATH", oldPath);
    EXPECT_EQ(contentOf(attached), folder + '/' + name);

    // Save as.
    const QString other = m_dir.path() + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkpath(other));
    m_browser->saveCopyTo(other);
    EXPECT_EQ(entryBytes(QFile::encodeName(other)), std::vector<QByteArray>{name});
    const QByteArray copy = contentOf(QFile::encodeName(other) + '/' + name);
    EXPECT_FALSE(copy.isEmpty());
    EXPECT_EQ(copy, contentOf(folder + '/' + name));

    // Rename: the byte the new name keeps stays a byte.
    const QByteArray renamed("caf\xE9 live.mp3");
    EXPECT_TRUE(m_browser->renameRow(0, fileNameFromBytes("caf\xE9 live")));
    EXPECT_EQ(entryBytes(folder), std::vector<QByteArray>{renamed});

    // Delete: into the trash under its own name, its path percent-encoded from the bytes.
    m_browser->DeleteAction->trigger();
    EXPECT_TRUE(m_browser->rows().empty());
    EXPECT_TRUE(entryBytes(folder).empty());
    const QByteArray trash = QFile::encodeName(m_dir.path()) + "/share/Trash";
    EXPECT_EQ(entryBytes(trash + "/files"), std::vector<QByteArray>{renamed});
    EXPECT_EQ(contentOf(trash + "/files/" + renamed), copy);
    EXPECT_TRUE(contentOf(trash + "/info/" + renamed + ".trashinfo")
                    .contains("\nPath=" + (folder + '/' + renamed).toPercentEncoding("/") + "\n"));
    EXPECT_TRUE(m_messages.shown.empty());
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QString& value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        qputenv(name, QFile::encodeName(value));
    }
    ~ScopedEnv() {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

QModelIndex childNamed(const QAbstractItemModel* model, const QModelIndex& parent,
                       const QString& name) {
    for (int row = 0; row < model->rowCount(parent); ++row) {
        if (model->index(row, 0, parent).data().toString() == name)
            return model->index(row, 0, parent);
    }
    return {};
}

QStringList childNames(QAbstractItemModel* model, const QModelIndex& parent, int role) {
    if (model->canFetchMore(parent))
        model->fetchMore(parent);
    QStringList names;
    for (int row = 0; row < model->rowCount(parent); ++row)
        names << model->index(row, 0, parent).data(role).toString();
    return names;
}

TEST_F(PlaylistTest, TheTreeStartsFromTheUsersPlacesAndShowsTheOutputFolder) {
    const QString home = m_dir.path() + QStringLiteral("/home");
    for (const char* folder :
         {"Music", "Documents", ".hidden", "alpha", "Zeta", "Take 9", "Take 10"})
        ASSERT_TRUE(QDir(home).mkpath(QString::fromLatin1(folder)));
    QFile notes(home + QStringLiteral("/notes.txt"));
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
    const QString configHome = m_dir.path() + QStringLiteral("/config");
    ASSERT_TRUE(QDir().mkpath(configHome));
    QFile userDirs(configHome + QStringLiteral("/user-dirs.dirs"));
    ASSERT_TRUE(userDirs.open(QIODevice::WriteOnly));
    // No desktop folder; the downloads go to the home folder itself.
    userDirs.write("XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOCUMENTS_DIR=\"$HOME/Documents\"\n"
                   "XDG_DOWNLOAD_DIR=\"$HOME/\"\nXDG_MUSIC_DIR=\"$HOME/Music\"\n");
    userDirs.close();
    const ScopedEnv homeEnv("HOME", home);
    const ScopedEnv configEnv("XDG_CONFIG_HOME", configHome);
    // The output folder is the music folder too: it is shown once, as the output folder.
    m_folder = home + QStringLiteral("/Music");
    config.archive = m_folder;
    makeRecording(QStringLiteral("a.wav"), 2);
    list();

    QAbstractItemModel* model = m_browser->folderTree->model();
    const QStringList labels = childNames(model, {}, Qt::DisplayRole);
    const QStringList paths = childNames(model, {}, FolderTreeModel::PathRole);
    ASSERT_GE(labels.size(), 4) << labels.join(QLatin1Char(',')).toStdString();
    EXPECT_EQ(labels.mid(0, 3), QStringList({"Home", "Music", "Documents"}));
    EXPECT_EQ(paths.mid(0, 3), QStringList({home, m_folder, home + QStringLiteral("/Documents")}));
    for (const QString& volume : paths.mid(3, paths.size() - 4))
        EXPECT_TRUE(volume.startsWith(QStringLiteral("/media/")) ||
                    volume.startsWith(QStringLiteral("/run/media/")) ||
                    volume.startsWith(QStringLiteral("/mnt")))
            << volume;
    EXPECT_EQ(labels.last(), QStringLiteral("File System"));
    EXPECT_EQ(paths.last(), QStringLiteral("/"));
    EXPECT_EQ(m_browser->folderTree->currentIndex(), model->index(1, 0));
    EXPECT_EQ(m_browser->selectedFolder(), m_folder);
    EXPECT_EQ(names(), QStringList{QStringLiteral("a.wav")});

    // A place opens as a tree of its folders, hidden ones left out, in a file chooser's order.
    EXPECT_EQ(childNames(model, model->index(0, 0), Qt::DisplayRole),
              QStringList({"alpha", "Documents", "Music", "Take 9", "Take 10", "Zeta"}));
}

TEST_F(PlaylistTest, TheTreeFindsNewFoldersAndRefreshReadsItAgain) {
    makeRecording(QStringLiteral("a.wav"), 2);
    list();
    // A folder made after the tree read its parent is found when the tree is moved to it.
    const QString fresh = m_dir.path() + QStringLiteral("/fresh");
    ASSERT_TRUE(QDir().mkpath(fresh));
    list(fresh);
    ASSERT_EQ(m_browser->selectedFolder(), fresh);
    EXPECT_TRUE(m_browser->rows().empty());
    EXPECT_EQ(m_browser->statusText(), QStringLiteral("Total recordings found: 0"));
    // The user's choice in the tree lists that folder.
    QTreeView* tree = m_browser->folderTree;
    const QAbstractItemModel* model = tree->model();
    const QModelIndex parent = tree->currentIndex().parent();
    tree->setCurrentIndex(childNamed(model, parent, QStringLiteral("rec")));
    ASSERT_TRUE(processUntil([this] { return !m_browser->listing(); }));
    EXPECT_EQ(m_browser->selectedFolder(), m_folder);
    EXPECT_EQ(names(), QStringList{QStringLiteral("a.wav")});

    // Nothing watches the folders; Refresh reads them again. A new folder appears, and the
    // selected folder that vanished gives way to its parent, which is listed.
    tree->setCurrentIndex(childNamed(model, parent, QStringLiteral("fresh")));
    ASSERT_TRUE(processUntil([this] { return !m_browser->listing(); }));
    ASSERT_TRUE(QDir().mkpath(m_dir.path() + QStringLiteral("/later")));
    ASSERT_TRUE(QDir(fresh).removeRecursively());
    m_browser->RefreshAction->trigger();
    ASSERT_TRUE(processUntil([this] { return !m_browser->listing(); }));
    EXPECT_EQ(m_browser->selectedFolder(), m_dir.path());
    EXPECT_TRUE(childNamed(model, parent, QStringLiteral("later")).isValid());
    EXPECT_FALSE(childNamed(model, parent, QStringLiteral("fresh")).isValid());
    EXPECT_TRUE(m_browser->rows().empty());
}

} // namespace
