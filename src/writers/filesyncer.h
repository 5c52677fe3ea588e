#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

/// Makes what the writers put into their files durable (fdatasync) on a background thread of
/// its own, so that a slow or stalled disk never blocks the thread that records.
///
/// Files are handed in as descriptors, which are duplicated: the caller may close its own
/// descriptor whenever it likes, and the syncer closes its duplicate on its own thread once
/// the last sync asked for has run. Repeated requests for one file before its sync starts
/// are merged into one.
///
/// Locking: one mutex guards the table of files. Every public function takes it briefly and
/// never while a sync runs, so none of them waits for the disk, except waitIdle() and the
/// destructor, which wait on purpose. Callbacks: none. The process-wide instance survives
/// fork(): the child gets a consistent table and starts a thread of its own when asked.
class FileSyncer {
public:
    /// Makes one descriptor's data durable; returns 0 or an errno value.
    using SyncFunction = std::function<int(int fd)>;
    /// Identifies a file handed in by attach(); 0 stands for none.
    using Ticket = uint64_t;
    enum class FinalSync { No, Yes };

    /// `sync` replaces fdatasync (for tests). The thread starts with the first file.
    explicit FileSyncer(SyncFunction sync = {});
    /// Any thread but the syncer's own. Runs the syncs still asked for, then ends the
    /// thread and closes every duplicate.
    ~FileSyncer();

    FileSyncer(const FileSyncer&) = delete;
    FileSyncer& operator=(const FileSyncer&) = delete;

    /// The instance the writers share. Any thread.
    static FileSyncer& instance();

    /// Any thread. Duplicates `fd` and returns its ticket, or 0 when the descriptor cannot
    /// be duplicated (then requests for it do nothing).
    Ticket attach(int fd);
    /// Any thread. Asks for a sync of the file; never waits for the disk.
    void request(Ticket ticket);
    /// Any thread. Gives the file up, with one more sync first when `final` says so; the
    /// ticket is invalid afterwards.
    void detach(Ticket ticket, FinalSync final);
    /// Any thread but the syncer's own. Gives the file up after one more sync and waits at
    /// most `limit` for it. Returns the errno of the first sync of the file that failed, this
    /// last one included; 0 when none did or the last one did not end in time (it then still
    /// runs, as after detach()). The ticket is invalid afterwards.
    int detachAndWait(Ticket ticket, std::chrono::milliseconds limit);
    /// Any thread. The errno of the first sync of the file that failed, 0 when none did.
    /// Descriptors that cannot be synced at all (pipes, character devices) do not count.
    int error(Ticket ticket) const;

    /// Any thread but the syncer's own. Waits until no sync is asked for or running.
    void waitIdle();
    /// Any thread. How many syncs have run since the syncer was made.
    uint64_t completedSyncs() const;

private:
    struct Entry {
        int fd = -1;
        bool pending = false;
        bool running = false;
        bool detached = false;
        bool awaited = false; ///< detachAndWait() wants its result when it is given up
        int error = 0;
    };

    void ensureThreadLocked();
    void run();
    void forkPrepare();
    void forkParent();
    void forkChild();

    SyncFunction m_sync;
    mutable std::mutex m_mutex;
    // Held by pointer so that a forked child can replace them (see forkChild()).
    std::unique_ptr<std::condition_variable> m_wake = std::make_unique<std::condition_variable>();
    std::unique_ptr<std::condition_variable> m_idle = std::make_unique<std::condition_variable>();
    std::map<Ticket, Entry> m_files;
    /// The errors of awaited files the syncer has given up, until detachAndWait() takes them.
    std::map<Ticket, int> m_results;
    Ticket m_nextTicket = 1;
    uint64_t m_completed = 0;
    bool m_stopping = false;
    std::unique_ptr<std::thread> m_thread;
    /// What a forked child inherits of the parent's thread: the thread object, whose thread
    /// does not exist in the child, and condition variables that count the parent's thread
    /// as a waiter. Joining or destroying them would wait forever, so they are kept here and
    /// deliberately never released.
    std::thread* m_abandonedThread = nullptr;
    std::condition_variable* m_abandonedWake = nullptr;
    std::condition_variable* m_abandonedIdle = nullptr;
};
