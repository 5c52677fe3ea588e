#include "handoff.h"

#include <QCoreApplication>
#include <QEvent>

#include <memory>

namespace {
QEvent::Type handoffEventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}
} // namespace

WindowThreadHandoff::WindowThreadHandoff() : m_windowThread(std::this_thread::get_id()) {}

WindowThreadHandoff::~WindowThreadHandoff() {
    std::unique_lock lock(m_mutex);
    m_closed = true;
    for (Pending* p : m_queue) {
        if (p->isPosted) {
            delete p;
            continue;
        }
        p->error = std::make_exception_ptr(Closed());
        p->done = true;
    }
    m_queue.clear();
    m_changed.notify_all();
    // Released workers still have to reacquire our mutex to see that they were released;
    // destroying it under them would be a use after free.
    m_changed.wait(lock, [this] { return m_callers == 0; });
}

void WindowThreadHandoff::call(const std::function<void()>& fn) {
    if (isWindowThread()) {
        fn();
        return;
    }
    Pending pending;
    pending.fn = &fn;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            throw Closed();
        m_queue.push_back(&pending);
        ++m_callers;
        ++m_generation;
        m_changed.notify_all();
    }
    // One event per step; an event that finds the queue already drained does nothing. The
    // destructor waits for m_callers, so the object is still alive here.
    QCoreApplication::postEvent(this, new QEvent(handoffEventType()));
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return pending.done; });
    --m_callers;
    if (m_closed)
        m_changed.notify_all();
    if (pending.error)
        std::rethrow_exception(pending.error);
}

void WindowThreadHandoff::post(const void* owner, std::function<void()> fn) {
    auto pending = std::make_unique<Pending>();
    pending->posted = std::move(fn);
    pending->fn = &pending->posted;
    pending->owner = owner;
    pending->isPosted = true;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return;
        m_queue.push_back(pending.release());
        ++m_generation;
        m_changed.notify_all();
        // Under the lock: the destructor, which takes it too, cannot run meanwhile.
        QCoreApplication::postEvent(this, new QEvent(handoffEventType()));
    }
}

void WindowThreadHandoff::cancel(const void* owner) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_queue.begin(); it != m_queue.end();) {
        if ((*it)->isPosted && (*it)->owner == owner) {
            delete *it;
            it = m_queue.erase(it);
        } else {
            ++it;
        }
    }
}

bool WindowThreadHandoff::runOne() {
    Pending* pending = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (m_queue.empty())
            return false;
        pending = m_queue.front();
        m_queue.pop_front();
    }
    std::exception_ptr error;
    ++m_stepsRunning;
    try {
        (*pending->fn)();
    } catch (...) {
        error = std::current_exception();
    }
    --m_stepsRunning;
    if (pending->isPosted) {
        delete pending;
        return true;
    }
    std::lock_guard lock(m_mutex);
    pending->error = error;
    pending->done = true;
    m_changed.notify_all();
    return true;
}

int WindowThreadHandoff::check() {
    int n = 0;
    while (runOne())
        ++n;
    return n;
}

void WindowThreadHandoff::waitUntil(const std::function<bool()>& done) {
    for (;;) {
        check();
        std::unique_lock lock(m_mutex);
        const uint64_t seen = m_generation;
        lock.unlock();
        if (done())
            return;
        lock.lock();
        m_changed.wait(lock, [&] { return m_generation != seen || !m_queue.empty(); });
    }
}

void WindowThreadHandoff::wake() {
    std::lock_guard lock(m_mutex);
    ++m_generation;
    m_changed.notify_all();
}

bool WindowThreadHandoff::event(QEvent* e) {
    if (e->type() != handoffEventType())
        return QObject::event(e);
    runOne();
    return true;
}
