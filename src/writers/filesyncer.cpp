#include "filesyncer.h"

#include <cerrno>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

int dataSync(int fd) {
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// fdatasync refuses descriptors that have nothing to make durable (pipes, /dev/null); that is
// no loss of data.
bool isDataLoss(int error) {
    return error != 0 && error != EINVAL && error != EROFS;
}

} // namespace

FileSyncer::FileSyncer(SyncFunction sync) : m_sync(sync ? std::move(sync) : dataSync) {}

FileSyncer::~FileSyncer() {
    std::unique_lock lock(m_mutex);
    m_stopping = true;
    // After a fork the child may hold requests without a thread to serve them.
    bool pending = false;
    for (const auto& [ticket, entry] : m_files)
        pending = pending || entry.pending;
    if (pending)
        ensureThreadLocked();
    m_wake->notify_all();
    lock.unlock();
    if (m_thread && m_thread->joinable())
        m_thread->join();
    lock.lock();
    for (auto& [ticket, entry] : m_files)
        ::close(entry.fd);
    m_files.clear();
}

FileSyncer& FileSyncer::instance() {
    static FileSyncer syncer;
    static const bool forkHandlers = [] {
        // A fork while the syncer's mutex is held by another thread would leave the child
        // with a mutex nobody can unlock; taking it around fork() prevents that.
        ::pthread_atfork([] { instance().forkPrepare(); }, [] { instance().forkParent(); },
                         [] { instance().forkChild(); });
        return true;
    }();
    (void)forkHandlers;
    return syncer;
}

void FileSyncer::forkPrepare() {
    m_mutex.lock();
}

void FileSyncer::forkParent() {
    m_mutex.unlock();
}

void FileSyncer::forkChild() {
    // Only the forking thread exists in the child: the syncer's thread and any sync it was
    // running stayed behind in the parent.
    if (m_thread) {
        m_abandonedThread = m_thread.release();
        m_abandonedWake = m_wake.release();
        m_abandonedIdle = m_idle.release();
        // Allocating here is safe: the C library prepares its allocator for fork().
        m_wake = std::make_unique<std::condition_variable>();
        m_idle = std::make_unique<std::condition_variable>();
    }
    for (auto& [ticket, entry] : m_files)
        entry.running = false;
    m_mutex.unlock();
}

void FileSyncer::ensureThreadLocked() {
    if (m_thread)
        return;
    try {
        m_thread = std::make_unique<std::thread>(&FileSyncer::run, this);
    } catch (const std::system_error&) {
        // No thread to be had: requests stay queued for a later attempt; nothing is lost
        // that the kernel's own write-back would not save anyway.
    }
}

FileSyncer::Ticket FileSyncer::attach(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return 0;
    std::lock_guard lock(m_mutex);
    ensureThreadLocked();
    if (!m_thread) {
        ::close(copy);
        return 0;
    }
    const Ticket ticket = m_nextTicket++;
    m_files[ticket].fd = copy;
    return ticket;
}

void FileSyncer::request(Ticket ticket) {
    std::lock_guard lock(m_mutex);
    const auto it = m_files.find(ticket);
    if (it == m_files.end() || it->second.detached)
        return;
    it->second.pending = true;
    ensureThreadLocked();
    m_wake->notify_one();
}

void FileSyncer::detach(Ticket ticket, FinalSync final) {
    std::lock_guard lock(m_mutex);
    const auto it = m_files.find(ticket);
    if (it == m_files.end() || it->second.detached)
        return;
    it->second.detached = true;
    if (final == FinalSync::Yes)
        it->second.pending = true;
    // The duplicate is closed on the syncer's thread: on some file systems (NFS) close()
    // itself writes back and can take as long as a sync.
    ensureThreadLocked();
    m_wake->notify_one();
}

int FileSyncer::detachAndWait(Ticket ticket, std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    const auto it = m_files.find(ticket);
    if (it == m_files.end() || it->second.detached)
        return 0;
    it->second.detached = true;
    it->second.pending = true;
    it->second.awaited = true;
    ensureThreadLocked();
    m_wake->notify_one();
    const bool done = m_idle->wait_for(lock, limit, [&] { return m_results.count(ticket) > 0; });
    if (!done) {
        // The disk is slow to answer; the sync goes on without anyone waiting for it.
        const auto waiting = m_files.find(ticket);
        if (waiting != m_files.end())
            waiting->second.awaited = false;
        return 0;
    }
    const int error = m_results[ticket];
    m_results.erase(ticket);
    return error;
}

int FileSyncer::error(Ticket ticket) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_files.find(ticket);
    return it == m_files.end() ? 0 : it->second.error;
}

void FileSyncer::waitIdle() {
    std::unique_lock lock(m_mutex);
    bool busy = false;
    for (const auto& [ticket, entry] : m_files)
        busy = busy || entry.pending || entry.detached;
    if (busy)
        ensureThreadLocked();
    m_idle->wait(lock, [this] {
        for (const auto& [ticket, entry] : m_files) {
            if (entry.pending || entry.running || entry.detached)
                return false;
        }
        return true;
    });
}

uint64_t FileSyncer::completedSyncs() const {
    std::lock_guard lock(m_mutex);
    return m_completed;
}

void FileSyncer::run() {
    std::unique_lock lock(m_mutex);
    Ticket last = 0;
    for (;;) {
        // Round robin from the file synced last, so that a file asked for again and again
        // cannot starve the others.
        auto next = m_files.end();
        for (auto it = m_files.upper_bound(last); it != m_files.end(); ++it) {
            if (it->second.pending) {
                next = it;
                break;
            }
        }
        for (auto it = m_files.begin(); next == m_files.end() && it != m_files.end(); ++it) {
            if (it->second.pending)
                next = it;
        }

        if (next != m_files.end()) {
            const Ticket ticket = next->first;
            Entry& entry = next->second;
            entry.pending = false;
            entry.running = true;
            const int fd = entry.fd;
            lock.unlock();
            const int result = m_sync(fd);
            lock.lock();
            // The entry cannot have gone: only this thread erases entries.
            Entry& done = m_files.at(ticket);
            done.running = false;
            ++m_completed;
            if (isDataLoss(result) && done.error == 0)
                done.error = result;
            last = ticket;
            continue;
        }

        std::vector<int> toClose;
        for (auto it = m_files.begin(); it != m_files.end();) {
            if (it->second.detached && !it->second.pending && !it->second.running) {
                toClose.push_back(it->second.fd);
                if (it->second.awaited)
                    m_results[it->first] = it->second.error;
                it = m_files.erase(it);
            } else {
                ++it;
            }
        }
        if (!toClose.empty()) {
            lock.unlock();
            for (const int fd : toClose)
                ::close(fd);
            lock.lock();
            // Wakes detachAndWait(), which waits on the same condition as waitIdle().
            m_idle->notify_all();
            continue;
        }

        m_idle->notify_all();
        if (m_stopping)
            return;
        m_wake->wait(lock);
    }
}
