#include "pulseconnection.h"

#include <pulse/mainloop-api.h>
#include <pulse/rtclock.h>

#include <QByteArray>

namespace audio::pulse {

namespace {

struct ConnectTimeout {
    pa_threaded_mainloop* mainloop = nullptr;
    bool expired = false;
};

void onConnectTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                      void* userdata) noexcept {
    auto* timeout = static_cast<ConnectTimeout*>(userdata);
    timeout->expired = true;
    pa_threaded_mainloop_signal(timeout->mainloop, 0);
}

} // namespace

MainloopLock::MainloopLock(const PulseConnection& connection)
    : m_mainloop(connection.m_mainloop.get()) {
    pa_threaded_mainloop_lock(m_mainloop);
}

MainloopLock::~MainloopLock() {
    pa_threaded_mainloop_unlock(m_mainloop);
}

std::shared_ptr<PulseConnection> PulseConnection::connect(const QString& applicationName,
                                                          std::chrono::milliseconds timeout) {
    std::shared_ptr<PulseConnection> connection(new PulseConnection);
    connection->m_mainloop.reset(pa_threaded_mainloop_new());
    if (!connection->m_mainloop) {
        return nullptr;
    }
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection->m_mainloop.get());
    connection->m_context.reset(pa_context_new(api, applicationName.toUtf8().constData()));
    if (!connection->m_context) {
        return nullptr;
    }
    pa_context* context = connection->m_context.get();
    pa_context_set_state_callback(context, &PulseConnection::onContextState, connection.get());

    // A refused connection fails at once; the timer guards against a socket that accepts but
    // whose server never answers.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        return nullptr;
    }
    if (pa_threaded_mainloop_start(connection->m_mainloop.get()) < 0) {
        return nullptr;
    }
    connection->m_running = true;

    MainloopLock lock(*connection);
    ConnectTimeout expiry{connection->m_mainloop.get(), false};
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    pa_time_event* timer = pa_context_rttime_new(
        context, pa_rtclock_now() + static_cast<pa_usec_t>(micros), &onConnectTimeout, &expiry);
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state) || expiry.expired) {
            break;
        }
        pa_threaded_mainloop_wait(connection->m_mainloop.get());
    }
    if (timer) {
        api->time_free(timer);
    }
    if (pa_context_get_state(context) != PA_CONTEXT_READY) {
        return nullptr; // the destructor runs after the lock guard has been released
    }
    return connection;
}

PulseConnection::~PulseConnection() {
    if (m_context && m_running) {
        MainloopLock lock(*this);
        pa_context_set_state_callback(m_context.get(), nullptr, nullptr);
        pa_context_disconnect(m_context.get());
    } else if (m_context) {
        pa_context_set_state_callback(m_context.get(), nullptr, nullptr);
        pa_context_disconnect(m_context.get());
    }
    if (m_running) {
        pa_threaded_mainloop_stop(m_mainloop.get());
    }
    m_context.reset();
    m_mainloop.reset();
}

bool PulseConnection::isAlive() const {
    return pa_context_get_state(m_context.get()) == PA_CONTEXT_READY;
}

bool PulseConnection::waitFor(OperationPtr operation) {
    if (!operation) {
        return false;
    }
    pa_operation_set_state_callback(operation.get(), &PulseConnection::onOperationState, this);
    while (pa_operation_get_state(operation.get()) == PA_OPERATION_RUNNING) {
        pa_threaded_mainloop_wait(m_mainloop.get());
    }
    pa_operation_set_state_callback(operation.get(), nullptr, nullptr);
    return pa_operation_get_state(operation.get()) == PA_OPERATION_DONE;
}

bool PulseConnection::waitUntilReady(pa_stream* stream) {
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY) {
            return true;
        }
        if (!PA_STREAM_IS_GOOD(state)) {
            return false;
        }
        pa_threaded_mainloop_wait(m_mainloop.get());
    }
}

void PulseConnection::signalStream(pa_stream*, void* connection) noexcept {
    static_cast<PulseConnection*>(connection)->signal();
}

void PulseConnection::onContextState(pa_context*, void* connection) noexcept {
    static_cast<PulseConnection*>(connection)->signal();
}

void PulseConnection::onOperationState(pa_operation*, void* connection) noexcept {
    static_cast<PulseConnection*>(connection)->signal();
}

void PulseConnection::subscribe() {
    if (!m_subscribed && isAlive()) {
        // Only the events a recorder acts on: the server's own (a new default), sinks
        // coming or going, and application streams coming or going (a recorded
        // application's). Asked for once; the answer is not waited for, as the events simply begin.
        pa_context_set_subscribe_callback(m_context.get(), &PulseConnection::onSubscription, this);
        OperationPtr(pa_context_subscribe(
            m_context.get(),
            static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                PA_SUBSCRIPTION_MASK_SINK |
                                                PA_SUBSCRIPTION_MASK_SINK_INPUT),
            nullptr, nullptr));
        m_subscribed = true;
    }
}

uint64_t PulseConnection::addChangeListener(std::function<void()> changed) {
    subscribe();
    const uint64_t token = m_nextListener++;
    m_changeListeners.emplace(token, std::move(changed));
    return token;
}

uint64_t PulseConnection::addStreamEndListener(std::function<void(uint32_t)> ended) {
    subscribe();
    const uint64_t token = m_nextListener++;
    m_endListeners.emplace(token, std::move(ended));
    return token;
}

void PulseConnection::removeChangeListener(uint64_t token) {
    m_changeListeners.erase(token);
    m_endListeners.erase(token);
}

void PulseConnection::onSubscription(pa_context*, pa_subscription_event_type_t event,
                                     uint32_t index, void* connection) noexcept {
    auto* that = static_cast<PulseConnection*>(connection);
    const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && type == PA_SUBSCRIPTION_EVENT_REMOVE) {
        for (const auto& [token, listener] : that->m_endListeners) {
            (void)token;
            listener(index);
        }
    }
    // A sink's volume or state changes often and says nothing of the default.
    if (facility == PA_SUBSCRIPTION_EVENT_SINK && type == PA_SUBSCRIPTION_EVENT_CHANGE) {
        return;
    }
    // Of the application streams only a new one and one that ends count.
    if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT && type == PA_SUBSCRIPTION_EVENT_CHANGE) {
        return;
    }
    for (const auto& [token, listener] : that->m_changeListeners) {
        (void)token;
        listener();
    }
}

void PulseConnection::signal() noexcept {
    pa_threaded_mainloop_signal(m_mainloop.get(), 0);
}

} // namespace audio::pulse
