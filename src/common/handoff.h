#pragma once

#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

/// Runs steps of worker threads on the window thread and lets the worker wait for them.
///
/// A worker calls call(); the step is queued and a posted event drains the queue from
/// whatever event loop the window thread is in, modal dialogs and message boxes included.
/// When the window thread itself waits for a worker (see WorkerThread::waitFor), it serves
/// the queue through waitUntil(), so the two never wait for each other. Qt's
/// BlockingQueuedConnection would deadlock in that case.
///
/// A step that opens a nested event loop (a message box) keeps its worker waiting; steps of
/// other workers that arrive meanwhile are run by the nested loop.
///
/// Create one instance on the window thread before any worker starts; destroy it after
/// every worker has ended.
class WindowThreadHandoff final : public QObject {
public:
    /// Thrown to a waiting worker when the hand-off is destroyed before its step ran.
    struct Closed : std::runtime_error {
        Closed() : std::runtime_error("the window thread no longer accepts work") {}
    };

    WindowThreadHandoff();
    ~WindowThreadHandoff() override;

    /// Any thread. Runs fn on the window thread and returns when it has run; an exception
    /// thrown by fn is rethrown here. On the window thread itself fn runs at once.
    void call(const std::function<void()>& fn);

    /// Any thread. Queues fn to run on the window thread, in order with every other step,
    /// and returns at once: nobody waits for it, so an exception it throws is dropped (fn
    /// handles its own failures). cancel(owner) drops the owner's posts that have not run.
    void post(const void* owner, std::function<void()> fn);
    /// Any thread. Drops the steps posted for `owner` that have not run yet.
    void cancel(const void* owner);

    /// Window thread. Runs the steps that are pending now, and those that arrive while
    /// they run. Returns the number of steps run.
    int check();

    /// Window thread. Serves pending steps until done() returns true. Workers call wake()
    /// when something that done() tests has changed.
    void waitUntil(const std::function<bool()>& done);

    /// Any thread. Makes waitUntil() test its condition again.
    void wake();

    bool isWindowThread() const { return std::this_thread::get_id() == m_windowThread; }

    /// Window thread. True while a worker's step runs, also while the step waits in a nested
    /// event loop (a message box) and the caller is above it on the stack. That worker cannot
    /// end before the stack has unwound below the step: waiting for it there never returns.
    bool inWorkerStep() const { return m_stepsRunning > 0; }

protected:
    bool event(QEvent* e) override;

private:
    struct Pending {
        const std::function<void()>* fn = nullptr;
        std::exception_ptr error;
        bool done = false;
        /// A posted step owns its function and itself; nobody waits for it.
        std::function<void()> posted;
        const void* owner = nullptr;
        bool isPosted = false;
    };

    bool runOne();

    const std::thread::id m_windowThread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Pending*> m_queue;
    uint64_t m_generation = 0;
    int m_callers = 0;      ///< workers inside call(); the destructor waits until they have left
    int m_stepsRunning = 0; ///< window thread only: steps on its stack, nested ones included
    bool m_closed = false;
};
