// The journal of recordings in progress: entries that live exactly as long as a file is
// open, and the repair of files whose owner died, with real second processes holding or
// dropping the locks.
#include "recorderfixture.h"

#include "common/recordinglock.h"
#include "wavcheck.h"

#include "recorder/journal.h"
#include "writers/wavwriter.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

/// Opens an entry in a child process, which then dies without finishing the recording, as
/// a crash or a kill leaves it.
void abandonEntry(const QString& folder, const QString& recording) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RecordingJournal journal(folder);
        const std::unique_ptr<JournalEntry> entry = journal.opened(recording, 2);
        if (!entry)
            ::_exit(1);
        ::raise(SIGKILL);
        ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
}

/// A second process that is recording `recording`: it holds its entry until end(), and
/// then exits without finishing the file.
class LiveOwner {
public:
    LiveOwner(const QString& folder, const QString& recording) {
        int up[2];
        int down[2];
        if (::pipe(up) != 0 || ::pipe(down) != 0)
            return;
        m_child = ::fork();
        if (m_child == 0) {
            ::close(up[0]);
            ::close(down[1]);
            RecordingJournal journal(folder);
            const std::unique_ptr<JournalEntry> entry = journal.opened(recording, 2);
            const char ready = entry ? 'y' : 'n';
            [[maybe_unused]] ssize_t n = ::write(up[1], &ready, 1);
            char go = 0;
            n = ::read(down[0], &go, 1);
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        m_go = down[1];
        char ready = 0;
        m_ready = m_child > 0 && ::read(up[0], &ready, 1) == 1 && ready == 'y';
        ::close(up[0]);
    }
    ~LiveOwner() { end(); }

    bool ready() const { return m_ready; }
    void end() {
        if (m_go >= 0) {
            ::close(m_go); // the child's read returns
            m_go = -1;
        }
        if (m_child > 0) {
            int status = 0;
            ::waitpid(m_child, &status, 0);
            m_child = -1;
        }
    }

private:
    pid_t m_child = -1;
    int m_go = -1;
    bool m_ready = false;
};

QJsonObject readEntry(const QString& path) {
    return QJsonDocument::fromJson(wavcheck::readFile(path)).object();
}

int g_earlierHandlerCalls = 0;
int g_entriesSeenByEarlierHandler = -1;
RecordingJournal* g_journal = nullptr;

class JournalTest : public RecorderFixture {
protected:
    void SetUp() override {
        RecorderFixture::SetUp();
        ASSERT_TRUE(m_state.isValid());
    }

    /// An unfinished WAV file of `seconds` of test signal in the output folder.
    std::vector<int16_t> makeUnfinished(const QString& file, double seconds, uint32_t seed = 3) {
        std::vector<int16_t> samples = testSignal(static_cast<size_t>(seconds * Rate), seed);
        EXPECT_TRUE(wavcheck::writeFile(file, wavcheck::unfinished(samples, Rate)));
        return samples;
    }

    QTemporaryDir m_state;
    RecordingJournal journal{m_state.filePath(QStringLiteral("recordings"))};
};

} // namespace

TEST_F(JournalTest, AnEntryListsEachFileExactlyWhileItIsOpen) {
    // A writer whose creator set its own end handler: it must still run, and run while the
    // entry is still there (the entry goes last, once the file is finished).
    g_journal = &journal;
    setWriterFactoryForTesting(2, [](const QString& name, const tWAVEFORMATEX& pcm) {
        std::unique_ptr<TAudioWriter> writer = TWAVWriter::create(name, pcm);
        writer->onFinished = [](TAudioWriter&, QString) {
            ++g_earlierHandlerCalls;
            g_entriesSeenByEarlierHandler = static_cast<int>(g_journal->entries().size());
        };
        return writer;
    });
    recorder.setJournal(&journal);
    EXPECT_TRUE(journal.entries().isEmpty());

    recorder.StartClick();
    ASSERT_TRUE(recorder.rec);
    const QStringList entries = journal.entries();
    ASSERT_EQ(entries.size(), 1);
    const QJsonObject entry = readEntry(journal.folder() + QLatin1Char('/') + entries.front());
    EXPECT_EQ(entry.value(QStringLiteral("recording")).toString(), recorder.outputfile);
    EXPECT_EQ(entry.value(QStringLiteral("codec")).toInt(), 2);
    EXPECT_EQ(entry.value(QStringLiteral("pid")).toInteger(), ::getpid());
    EXPECT_FALSE(entry.value(QStringLiteral("bootId")).toString().isEmpty());
    EXPECT_FALSE(entry.value(QStringLiteral("started")).toString().isEmpty());
    // Only the owner may read where the user records.
    struct stat info {};
    ASSERT_EQ(
        ::stat(QFile::encodeName(journal.folder() + QLatin1Char('/') + entries.front()), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Our own open entry is locked, so a repair started meanwhile leaves it alone.
    EXPECT_TRUE(journal.repairAbandoned().empty());
    EXPECT_EQ(journal.entries(), entries);

    std::vector<int16_t> first = feed(300, 9000);
    const QString firstFile = recorder.outputfile;
    recorder.StopClick();
    // Stop takes effect after the next block, which is still written.
    const std::vector<int16_t> last = feed(BlockMs, 9000);
    first.insert(first.end(), last.begin(), last.end());
    ASSERT_FALSE(recorder.rec);
    EXPECT_TRUE(journal.entries().isEmpty());
    EXPECT_EQ(g_earlierHandlerCalls, 1);
    EXPECT_EQ(g_entriesSeenByEarlierHandler, 1);

    // The next file gets an entry of its own.
    recorder.StartClick();
    ASSERT_TRUE(recorder.rec);
    EXPECT_EQ(journal.entries().size(), 1);
    EXPECT_NE(journal.entries(), entries);
    recorder.fullstop();
    EXPECT_TRUE(journal.entries().isEmpty());
    EXPECT_EQ(g_earlierHandlerCalls, 2);

    const DecodedSound sound = decodeSound(firstFile);
    ASSERT_TRUE(sound.ok) << qPrintable(sound.error);
    EXPECT_TRUE(sound.samples == first);
    g_journal = nullptr;
}

TEST_F(JournalTest, AnAbandonedRecordingIsRepairedOnceAndNothingElseIsTouched) {
    const QString crashed = path(QStringLiteral("crashed.wav"));
    const std::vector<int16_t> samples = makeUnfinished(crashed, 1.0);
    // Another program's unfinished file in the same folder has no entry: not ours to touch.
    const QString other = path(QStringLiteral("other.wav"));
    makeUnfinished(other, 0.5, 4);
    const QByteArray otherBytes = wavcheck::readFile(other);
    abandonEntry(journal.folder(), crashed);
    ASSERT_EQ(journal.entries().size(), 1);
    // A temporary entry of a process that died before renaming it is cleared away once it
    // is old; a fresh one may be a live process's, a moment before its lock.
    const QString oldTemp = journal.folder() + QStringLiteral("/.old.tmp");
    const QString freshTemp = journal.folder() + QStringLiteral("/.fresh.tmp");
    ASSERT_TRUE(wavcheck::writeFile(oldTemp, "{}"));
    ASSERT_TRUE(wavcheck::writeFile(freshTemp, "{}"));
    const struct timeval hourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimes(QFile::encodeName(oldTemp).constData(), hourAgo), 0);

    const std::vector<RecordingJournal::Abandoned> repaired = journal.repairAbandoned();
    ASSERT_EQ(repaired.size(), 1u);
    EXPECT_EQ(repaired[0].recording, crashed);
    EXPECT_EQ(repaired[0].outcome, RepairOutcome::Repaired) << qPrintable(repaired[0].detail);
    EXPECT_FALSE(repaired[0].kept);
    EXPECT_EQ(wavcheck::sizeProblem(crashed), QString());
    const DecodedSound sound = decodeSound(crashed);
    ASSERT_TRUE(sound.ok) << qPrintable(sound.error);
    EXPECT_TRUE(sound.samples == samples);

    EXPECT_EQ(wavcheck::readFile(other), otherBytes);
    EXPECT_TRUE(journal.entries().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(oldTemp));
    EXPECT_TRUE(QFileInfo::exists(freshTemp));
    EXPECT_EQ(filesInFolder(),
              (QStringList{QStringLiteral("crashed.wav"), QStringLiteral("other.wav")}));

    // Once only: the next start finds nothing to do.
    const QByteArray after = wavcheck::readFile(crashed);
    EXPECT_TRUE(journal.repairAbandoned().empty());
    EXPECT_EQ(wavcheck::readFile(crashed), after);
}

TEST_F(JournalTest, AFileWithALiveOwnerIsLeftAloneUntilItsOwnerDies) {
    const QString file = path(QStringLiteral("live.wav"));
    makeUnfinished(file, 0.5);
    const QByteArray before = wavcheck::readFile(file);
    LiveOwner owner(journal.folder(), file);
    ASSERT_TRUE(owner.ready());
    // An earlier run's entry for the same path: its file was deleted and the name used again
    // by the live recording. The stale entry must not lead to the live file.
    abandonEntry(journal.folder(), file);
    ASSERT_EQ(journal.entries().size(), 2);

    const std::vector<RecordingJournal::Abandoned> first = journal.repairAbandoned();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NE(first[0].outcome, RepairOutcome::Repaired);
    EXPECT_NE(first[0].outcome, RepairOutcome::Failed);
    EXPECT_EQ(wavcheck::readFile(file), before);
    EXPECT_EQ(journal.entries().size(), 1);

    // The owner dies without finishing the file: now it is repaired.
    owner.end();
    const std::vector<RecordingJournal::Abandoned> second = journal.repairAbandoned();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].recording, file);
    EXPECT_EQ(second[0].outcome, RepairOutcome::Repaired) << qPrintable(second[0].detail);
    EXPECT_EQ(wavcheck::sizeProblem(file), QString());
    EXPECT_TRUE(journal.entries().isEmpty());

    // A file whose recording lock is held (a writer opened it again and its entry is not
    // written yet) is not touched either.
    makeUnfinished(file, 0.5);
    const QByteArray again = wavcheck::readFile(file);
    abandonEntry(journal.folder(), file);
    RecordingLock writer;
    ASSERT_EQ(writer.acquire(file), RecordingLock::Result::Locked);
    const std::vector<RecordingJournal::Abandoned> third = journal.repairAbandoned();
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].outcome, RepairOutcome::Unchanged);
    EXPECT_EQ(wavcheck::readFile(file), again);
}

TEST_F(JournalTest, ADeletedEmptiedOrReplacedRecordingIsHarmless) {
    const QString deleted = path(QStringLiteral("deleted.wav"));
    const QString emptied = path(QStringLiteral("emptied.wav"));
    const QString replaced = path(QStringLiteral("replaced.wav"));
    for (const QString& file : {deleted, emptied, replaced}) {
        makeUnfinished(file, 0.2);
        abandonEntry(journal.folder(), file);
    }
    ASSERT_TRUE(QFile::remove(deleted));
    ASSERT_TRUE(QFile::resize(emptied, 0));
    // Replaced by a new file under the same name (another inode): the user's now.
    const QString newer = path(QStringLiteral("newer.wav"));
    makeUnfinished(newer, 0.3, 8);
    const QByteArray newerBytes = wavcheck::readFile(newer);
    ASSERT_EQ(
        ::rename(QFile::encodeName(newer).constData(), QFile::encodeName(replaced).constData()), 0);

    const std::vector<RecordingJournal::Abandoned> result = journal.repairAbandoned();
    ASSERT_EQ(result.size(), 3u);
    for (const RecordingJournal::Abandoned& item : result) {
        SCOPED_TRACE(item.recording.toStdString());
        EXPECT_EQ(item.outcome, RepairOutcome::Missing) << qPrintable(item.detail);
        EXPECT_FALSE(item.kept);
    }
    EXPECT_TRUE(journal.entries().isEmpty());
    EXPECT_EQ(filesInFolder(),
              (QStringList{QStringLiteral("emptied.wav"), QStringLiteral("replaced.wav")}));
    EXPECT_EQ(QFileInfo(emptied).size(), 0);
    EXPECT_EQ(wavcheck::readFile(replaced), newerBytes);
}

TEST_F(JournalTest, AnUnreachableFileIsToldOnceRetriedAndFinallyGivenUp) {
    // The recording's disk is not mounted at the next start: its folder is missing.
    const QString disk = path(QStringLiteral("disk"));
    const QString away = path(QStringLiteral("away"));
    ASSERT_TRUE(QDir().mkpath(disk));
    const QString file = disk + QStringLiteral("/take.wav");
    makeUnfinished(file, 0.2);
    abandonEntry(journal.folder(), file);
    ASSERT_TRUE(QDir().rename(disk, away));

    for (int attempt = 1; attempt <= 2; ++attempt) {
        const std::vector<RecordingJournal::Abandoned> result = journal.repairAbandoned();
        ASSERT_EQ(result.size(), 1u);
        EXPECT_EQ(result[0].outcome, RepairOutcome::Failed);
        EXPECT_TRUE(result[0].detail.contains(disk)) << qPrintable(result[0].detail);
        EXPECT_EQ(result[0].failedAttempts, attempt);
        EXPECT_EQ(result[0].firstFailure(), attempt == 1);
        EXPECT_TRUE(result[0].kept);
        EXPECT_EQ(journal.entries().size(), 1);
        EXPECT_FALSE(QFileInfo::exists(disk)) << "nothing is created where the disk was";
    }
    // Mounted again: repaired at last.
    ASSERT_TRUE(QDir().rename(away, disk));
    const std::vector<RecordingJournal::Abandoned> back = journal.repairAbandoned();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].outcome, RepairOutcome::Repaired) << qPrintable(back[0].detail);
    EXPECT_EQ(wavcheck::sizeProblem(file), QString());
    EXPECT_TRUE(journal.entries().isEmpty());

    // Never back: the attempts end, and the user hears of it only the first time.
    abandonEntry(journal.folder(), file);
    ASSERT_TRUE(QDir().rename(disk, away));
    int told = 0;
    for (int attempt = 1; attempt <= RecordingJournal::MaxAttempts; ++attempt) {
        const std::vector<RecordingJournal::Abandoned> result = journal.repairAbandoned();
        ASSERT_EQ(result.size(), 1u);
        told += result[0].firstFailure();
        EXPECT_EQ(result[0].kept, attempt < RecordingJournal::MaxAttempts);
    }
    EXPECT_EQ(told, 1);
    EXPECT_TRUE(journal.entries().isEmpty());
    EXPECT_TRUE(journal.repairAbandoned().empty());
}

TEST_F(JournalTest, AJournalThatCannotBeWrittenNeverStopsARecording) {
    // Root writes everywhere, so the folder is made impossible: it would lie under a file.
    const QString blocker = m_state.filePath(QStringLiteral("file"));
    ASSERT_TRUE(wavcheck::writeFile(blocker, "not a folder"));
    qputenv("XDG_STATE_HOME", QFile::encodeName(blocker + QStringLiteral("/x")));
    RecordingJournal broken;
    qputenv("XDG_STATE_HOME", "relative/state");
    const QString ignoringRelative = RecordingJournal::defaultFolder();
    qunsetenv("XDG_STATE_HOME");
    EXPECT_EQ(broken.folder(), blocker + QStringLiteral("/x/Velmora/Orvanta/recordings"));
    EXPECT_EQ(ignoringRelative,
              QDir::homePath() + QStringLiteral("/.local/state/Velmora/Orvanta/recordings"));
    EXPECT_EQ(RecordingJournal::defaultFolder(), ignoringRelative);

    // Standard error is caught in a file to count the warnings.
    const QString errFile = m_state.filePath(QStringLiteral("stderr.txt"));
    std::fflush(stderr);
    const int savedErr = ::dup(STDERR_FILENO);
    const int errFd = ::open(QFile::encodeName(errFile).constData(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(errFd, 0);
    ::dup2(errFd, STDERR_FILENO);
    ::close(errFd);

    recorder.setJournal(&broken);
    std::vector<std::vector<int16_t>> recorded;
    QStringList files;
    for (int take = 0; take < 2; ++take) {
        recorder.StartClick();
        const bool started = recorder.writing && recorder.rec;
        recorded.push_back(feed(240, 7000));
        files << recorder.outputfile;
        recorder.StopClick();
        const std::vector<int16_t> last = feed(BlockMs, 7000);
        recorded.back().insert(recorded.back().end(), last.begin(), last.end());
        if (!started)
            break;
    }
    std::fflush(stderr);
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedErr);

    ASSERT_EQ(files.size(), 2);
    EXPECT_TRUE(view.boxes.empty());
    for (size_t i = 0; i < 2; ++i) {
        const DecodedSound sound = decodeSound(files[int(i)]);
        ASSERT_TRUE(sound.ok) << qPrintable(sound.error);
        EXPECT_TRUE(sound.samples == recorded[i]);
    }
    const QString errors = QString::fromUtf8(wavcheck::readFile(errFile));
    EXPECT_EQ(errors.count(QStringLiteral("Recording goes on")), 1) << qPrintable(errors);
    EXPECT_TRUE(errors.contains(broken.folder())) << qPrintable(errors);
    EXPECT_TRUE(broken.repairAbandoned().empty());
    EXPECT_TRUE(broken.entries().isEmpty());
}
