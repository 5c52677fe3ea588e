#pragma once

#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

/// One connection to the sound server: a threaded main loop and its context, shared by every
/// object created from it, so that the context outlives all of them.
///
/// Threads and locks: connect() and the destructor may be called on any thread except the
/// main loop's own (the destructor stops that thread). Every other function, and every
/// libpulse call on the context or on its streams, must be made while holding a
/// MainloopLock, which is the main loop's own lock. Callbacks registered here run on the
/// main loop thread with that lock held; they only signal.
namespace audio::pulse {

struct MainloopDeleter {
    void operator()(pa_threaded_mainloop* mainloop) const { pa_threaded_mainloop_free(mainloop); }
};
struct ContextDeleter {
    void operator()(pa_context* context) const { pa_context_unref(context); }
};
struct StreamDeleter {
    void operator()(pa_stream* stream) const { pa_stream_unref(stream); }
};
struct OperationDeleter {
    void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};

using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

class PulseConnection;

/// Holds the main loop's lock for its lifetime. The lock is recursive, but a thread that
/// waits (PulseConnection::waitFor...) must hold it exactly once.
class [[nodiscard]] MainloopLock {
public:
    explicit MainloopLock(const PulseConnection& connection);
    ~MainloopLock();
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* m_mainloop;
};

class PulseConnection {
public:
    /// Connects to the default server (PULSE_SERVER and the client configuration apply),
    /// never starting one. Null when no server answers within `timeout`. Any thread; takes
    /// the new connection's lock while it waits.
    static std::shared_ptr<PulseConnection> connect(const QString& applicationName,
                                                    std::chrono::milliseconds timeout);

    /// Any thread but the main loop's; must not be called with the lock held.
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    /// Lock held.
    pa_context* context() const { return m_context.get(); }
    /// How much audio a record stream gathers before it wakes its reader. Set once, before
    /// streams are opened.
    std::chrono::milliseconds fragment() const { return m_fragment; }
    void setFragment(std::chrono::milliseconds fragment) { m_fragment = fragment; }
    /// Lock held: the connection still works (the server has not gone away).
    bool isAlive() const;
    /// Lock held exactly once. Waits until `operation` has finished or was cancelled (the
    /// context or its stream failed) and unrefs it; true when it finished. A null operation
    /// (the call was refused at once) gives false.
    bool waitFor(OperationPtr operation);
    /// Lock held exactly once. Waits until `stream` has left the creating state; true when
    /// it is ready.
    bool waitUntilReady(pa_stream* stream);
    /// Lock held: the callback to register wherever libpulse should wake a waiting thread.
    static void signalStream(pa_stream* stream, void* connection) noexcept;
    /// Lock held. `changed` runs on the main loop thread, lock held, whenever the server
    /// reports that its defaults changed, that a sink came or went or that an application
    /// stream came or went; it must only signal.
    /// Returns the token that removes it again.
    uint64_t addChangeListener(std::function<void()> changed);
    /// Lock held. Once it returns, the listener is not called any more.
    void removeChangeListener(uint64_t token);
    /// Lock held. `ended` runs on the main loop thread, lock held, with the index of each
    /// application stream (sink input) that ends, in order with the streams' data: what a
    /// stream of this connection received before is older. Removed like a change listener.
    uint64_t addStreamEndListener(std::function<void(uint32_t)> ended);

private:
    std::chrono::milliseconds m_fragment{100};
    PulseConnection() = default;
    friend class MainloopLock;

    static void onContextState(pa_context* context, void* connection) noexcept;
    static void onOperationState(pa_operation* operation, void* connection) noexcept;
    void signal() noexcept;
    static void onSubscription(pa_context* context, pa_subscription_event_type_t event,
                               uint32_t index, void* connection) noexcept;

    MainloopPtr m_mainloop;
    ContextPtr m_context;
    bool m_running = false;
    // Lock held.
    std::map<uint64_t, std::function<void()>> m_changeListeners;
    std::map<uint64_t, std::function<void(uint32_t)>> m_endListeners;
    void subscribe();
    uint64_t m_nextListener = 1;
    bool m_subscribed = false;
};

} // namespace audio::pulse
