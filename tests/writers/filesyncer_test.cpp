#include "writers/filesyncer.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// A sync function the test controls: it notes which file each sync was for, answers with
// `result`, and while the gate is closed holds the syncer's thread inside the sync.
struct FakeDisk {
    std::mutex mutex;
    std::condition_variable changed;
    bool gateOpen = true;
    bool inside = false;
    int result = 0;
    std::vector<ino_t> synced;
    std::vector<int> descriptors;

    FileSyncer::SyncFunction function() {
        return [this](int fd) {
            std::unique_lock lock(mutex);
            struct stat st {};
            ::fstat(fd, &st);
            synced.push_back(st.st_ino);
            descriptors.push_back(fd);
            inside = true;
            changed.notify_all();
            changed.wait(lock, [this] { return gateOpen; });
            inside = false;
            return result;
        };
    }
    void close() {
        std::lock_guard lock(mutex);
        gateOpen = false;
    }
    void open() {
        std::lock_guard lock(mutex);
        gateOpen = true;
        changed.notify_all();
    }
    void waitInside() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return inside; });
    }
};

class FileSyncerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    void TearDown() override {
        for (int fd : m_fds)
            ::close(fd);
    }

    // Opens a new file; its inode in `inode`.
    int openFile(const char* name, ino_t* inode = nullptr) {
        const QByteArray path = QFile::encodeName(m_dir.filePath(QString::fromLatin1(name)));
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        EXPECT_GE(fd, 0);
        struct stat st {};
        ::fstat(fd, &st);
        if (inode)
            *inode = st.st_ino;
        m_fds.push_back(fd);
        return fd;
    }

    QTemporaryDir m_dir;
    std::vector<int> m_fds;
};

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

} // namespace

TEST_F(FileSyncerTest, MergesRequestsAndTakesFilesInTurn) {
    FakeDisk disk;
    FileSyncer syncer(disk.function());
    ino_t a = 0, b = 0;
    const auto ta = syncer.attach(openFile("a", &a));
    const auto tb = syncer.attach(openFile("b", &b));
    ASSERT_NE(ta, 0u);
    ASSERT_NE(tb, 0u);

    // While a sync of A runs, more requests arrive: one more sync each, B first.
    disk.close();
    syncer.request(ta);
    disk.waitInside();
    for (int i = 0; i < 3; ++i)
        syncer.request(ta);
    syncer.request(tb);
    syncer.request(tb);
    disk.open();
    syncer.waitIdle();
    EXPECT_EQ(disk.synced, (std::vector<ino_t>{a, b, a}));
    EXPECT_EQ(syncer.completedSyncs(), 3u);
    EXPECT_EQ(syncer.error(ta), 0);

    syncer.detach(ta, FileSyncer::FinalSync::No);
    syncer.detach(tb, FileSyncer::FinalSync::No);
    syncer.waitIdle();
}

TEST_F(FileSyncerTest, DetachedFilesGetTheirLastSyncAndAreClosed) {
    FakeDisk disk;
    FileSyncer syncer(disk.function());
    ino_t a = 0;
    // The caller closes its own descriptor first, as a writer closing its file does.
    const int fd = openFile("a", &a);
    const auto ta = syncer.attach(fd);
    ::close(fd);
    m_fds.clear();
    syncer.detach(ta, FileSyncer::FinalSync::Yes);
    syncer.request(ta); // too late: ignored
    syncer.waitIdle();
    ASSERT_EQ(disk.synced, std::vector<ino_t>{a});
    EXPECT_FALSE(isOpen(disk.descriptors[0]));

    // Without a last sync, the duplicate is only closed.
    const auto tb = syncer.attach(openFile("b"));
    syncer.request(tb);
    syncer.waitIdle();
    const int duplicate = disk.descriptors.back();
    syncer.detach(tb, FileSyncer::FinalSync::No);
    syncer.waitIdle();
    EXPECT_EQ(disk.synced.size(), 2u);
    EXPECT_FALSE(isOpen(duplicate));
}

TEST_F(FileSyncerTest, FailuresAreKeptButUnsyncableFilesAreNoFailure) {
    FakeDisk disk;
    FileSyncer syncer(disk.function());
    const auto ta = syncer.attach(openFile("a"));
    disk.result = EIO;
    syncer.request(ta);
    syncer.waitIdle();
    EXPECT_EQ(syncer.error(ta), EIO);
    // The first failure stays, whatever later syncs say.
    disk.result = 0;
    syncer.request(ta);
    syncer.waitIdle();
    EXPECT_EQ(syncer.error(ta), EIO);

    // A pipe cannot be synced; the real fdatasync says so, which loses nothing.
    FileSyncer real;
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    m_fds.push_back(pipeEnds[0]);
    m_fds.push_back(pipeEnds[1]);
    const auto tp = real.attach(pipeEnds[1]);
    real.request(tp);
    real.waitIdle();
    EXPECT_EQ(real.completedSyncs(), 1u);
    EXPECT_EQ(real.error(tp), 0);
    EXPECT_EQ(syncer.attach(-1), 0u);
}

TEST_F(FileSyncerTest, DestructionRunsWhatWasAskedFor) {
    FakeDisk disk;
    ino_t a = 0, b = 0;
    {
        FileSyncer syncer(disk.function());
        syncer.request(syncer.attach(openFile("a", &a)));
        syncer.detach(syncer.attach(openFile("b", &b)), FileSyncer::FinalSync::Yes);
    }
    std::sort(disk.synced.begin(), disk.synced.end());
    std::vector<ino_t> expected{a, b};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(disk.synced, expected);
}

TEST_F(FileSyncerTest, ForkedChildSyncsOnItsOwn) {
    // The shared syncer's thread is running (and idle) when the process forks; the child
    // must neither hang on what it inherited nor go without syncs.
    FileSyncer& syncer = FileSyncer::instance();
    const auto ticket = syncer.attach(openFile("parent"));
    syncer.request(ticket);
    syncer.waitIdle();
    const int childFile = openFile("child");

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A hang would otherwise stall the whole test run.
        ::alarm(60);
        const uint64_t before = syncer.completedSyncs();
        const auto own = syncer.attach(childFile);
        syncer.request(own);
        syncer.waitIdle();
        syncer.detach(own, FileSyncer::FinalSync::Yes);
        syncer.waitIdle();
        ::_exit(syncer.completedSyncs() >= before + 2 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "child status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    syncer.detach(ticket, FileSyncer::FinalSync::No);
    syncer.waitIdle();
}
