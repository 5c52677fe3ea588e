#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

class WindowThreadHandoff;

enum class ThreadPriority { Normal, AboveNormal, Highest };

/// A worker thread in the manner the capture threads need: created idle, started once,
/// asked to terminate, waited for by the window thread (which keeps serving hand-offs
/// while it waits), with a termination notification that runs on the window thread after
/// the body has ended. Nothing here frees the object by itself.
class WorkerThread {
public:
    explicit WorkerThread(WindowThreadHandoff& handoff);
    /// Window thread. Asks a running body to end and waits for it (serving hand-offs).
    /// By then a subclass's own members are already destroyed: a subclass whose body uses
    /// them calls stopAndWait() in its own destructor.
    virtual ~WorkerThread();

    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    /// Window thread. Set before start(); applied where the system permits.
    void setPriority(ThreadPriority priority) { m_priority = priority; }
    /// Window thread. Starts the body once; later calls do nothing.
    void start();
    /// Any thread. Requests termination and wakes sleepFor().
    void terminate();
    bool terminated() const { return m_terminated.load(); }
    /// Any thread. Ends the body's current sleepFor() early (or its next one, when it is not
    /// sleeping), without asking it to terminate.
    void wake();
    /// Window thread. Waits until the body and the termination notification have run,
    /// serving hand-offs meanwhile; returns the return value. Returns at once when the
    /// thread was never started.
    int waitFor();
    /// True once the body and its termination notification have run.
    bool finished() const { return m_finished.load(); }
    int returnValue() const { return m_returnValue.load(); }

    /// Runs on the window thread after the body has ended (also after a failure).
    std::function<void(WorkerThread&)> onTerminate;

protected:
    /// The body, on the worker thread.
    virtual void execute() = 0;
    /// Worker thread: an exception escaped execute(). By default the return value becomes
    /// -1 and the message is shown on the window thread.
    virtual void handleException(std::exception_ptr error);

    void setReturnValue(int value) { m_returnValue.store(value); }
    /// Asks a running body to end and waits for it: on the window thread through waitFor()
    /// (serving hand-offs), elsewhere by joining. Does nothing when the thread never ran.
    void stopAndWait();
    /// Worker thread: sleeps up to ms milliseconds; returns early on wake() (false) and on
    /// terminate() (true).
    bool sleepFor(int ms);
    WindowThreadHandoff& handoff() { return m_handoff; }

private:
    void run();

    WindowThreadHandoff& m_handoff;
    std::thread m_thread;
    ThreadPriority m_priority = ThreadPriority::Normal;
    std::atomic<bool> m_terminated{false};
    bool m_woken = false; ///< guarded by m_sleepMutex
    std::atomic<bool> m_finished{false};
    std::atomic<int> m_returnValue{0};
    std::mutex m_sleepMutex;
    std::condition_variable m_sleepWake;
};

/// A manual-reset event: stays signalled until reset. Any thread.
class ManualResetEvent {
public:
    void set();
    void reset();
    bool isSet() const;
    /// Waits up to ms milliseconds; true when the event was (or became) signalled.
    bool waitFor(int ms);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_signalled = false;
};
