#include "workerthread.h"

#include "handoff.h"
#include "messages.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>

WorkerThread::WorkerThread(WindowThreadHandoff& handoff) : m_handoff(handoff) {}

WorkerThread::~WorkerThread() {
    stopAndWait();
}

void WorkerThread::stopAndWait() {
    if (!m_thread.joinable())
        return;
    terminate();
    if (m_handoff.isWindowThread())
        waitFor();
    if (m_thread.joinable())
        m_thread.join();
}

void WorkerThread::start() {
    if (m_thread.joinable() || m_finished)
        return;
    m_thread = std::thread([this] { run(); });
}

void WorkerThread::terminate() {
    {
        std::lock_guard lock(m_sleepMutex);
        m_terminated = true;
    }
    m_sleepWake.notify_all();
}

void WorkerThread::wake() {
    {
        std::lock_guard lock(m_sleepMutex);
        m_woken = true;
    }
    m_sleepWake.notify_all();
}

bool WorkerThread::sleepFor(int ms) {
    std::unique_lock lock(m_sleepMutex);
    m_sleepWake.wait_for(lock, std::chrono::milliseconds(ms),
                         [this] { return m_terminated.load() || m_woken; });
    m_woken = false;
    return m_terminated.load();
}

int WorkerThread::waitFor() {
    if (!m_thread.joinable())
        return m_returnValue;
    m_handoff.waitUntil([this] { return m_finished.load(); });
    // A step served by waitUntil may itself have waited for this thread and joined it.
    if (m_thread.joinable())
        m_thread.join();
    return m_returnValue;
}

void WorkerThread::handleException(std::exception_ptr error) {
    m_returnValue = -1;
    QString text = QStringLiteral("Unknown error");
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        text = QString::fromUtf8(e.what());
    } catch (...) {
    }
    try {
        m_handoff.call([&] {
            messages().show(text, QStringLiteral("Error"), MessageIcon::Error, MessageButtons::Ok);
        });
    } catch (...) {
        // The window thread is gone; nobody is left to tell.
    }
}

void WorkerThread::run() {
    // A negative nice value needs privileges; without them the thread runs at normal priority.
    if (m_priority != ThreadPriority::Normal)
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()),
                    m_priority == ThreadPriority::Highest ? -10 : -5);
    try {
        execute();
    } catch (...) {
        handleException(std::current_exception());
    }
    if (onTerminate) {
        try {
            m_handoff.call([this] { onTerminate(*this); });
        } catch (...) {
            // Nothing may escape a thread; a failing notification has no one to report to.
        }
    }
    m_finished = true;
    m_handoff.wake();
}

void ManualResetEvent::set() {
    std::lock_guard lock(m_mutex);
    m_signalled = true;
    m_cv.notify_all();
}

void ManualResetEvent::reset() {
    std::lock_guard lock(m_mutex);
    m_signalled = false;
}

bool ManualResetEvent::isSet() const {
    std::lock_guard lock(m_mutex);
    return m_signalled;
}

bool ManualResetEvent::waitFor(int ms) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_signalled; });
}
