#include "pulseengine.h"

#include "pulseaudioclient.h"
#include "pulseconnection.h"
#include "pulseendpoints.h"

#include <mutex>

namespace audio::pulse {

namespace {

int dataFlowOf(EndpointKind kind) {
    return kind == EndpointKind::Sink ? eRender : eCapture;
}

/// Devices are looked up afresh on every call, so a device that vanished (or changed its
/// format) is noticed at once.
class PulseDevice final : public IMMDevice {
public:
    PulseDevice(std::shared_ptr<PulseConnection> connection, EndpointKind kind, std::string name)
        : m_connection(std::move(connection)), m_kind(kind), m_name(std::move(name)) {}

    HRESULT GetId(QString* id) override {
        if (!id) {
            return E_POINTER;
        }
        *id = endpointId(m_kind, m_name);
        return S_OK;
    }

    HRESULT GetDataFlow(int* dataFlow) override {
        if (!dataFlow) {
            return E_POINTER;
        }
        *dataFlow = dataFlowOf(m_kind);
        return S_OK;
    }

    HRESULT GetState(uint32_t* state) override {
        if (!state) {
            return E_POINTER;
        }
        EndpointInfo endpoint;
        const HRESULT status = lookUp(&endpoint);
        // A caller that reads the state without looking at the status still learns that the
        // device is gone.
        *state = status == S_OK ? endpoint.state : DEVICE_STATE_NOTPRESENT;
        return status;
    }

    HRESULT GetProperty(DeviceProperty key, QString* value) override {
        if (!value) {
            return E_POINTER;
        }
        value->clear();
        EndpointInfo endpoint;
        const HRESULT status = lookUp(&endpoint);
        if (status == S_OK) {
            *value = key == DeviceProperty::DeviceDescription ? endpoint.description
                                                              : endpoint.friendlyName;
        }
        return status;
    }

    HRESULT Activate(std::unique_ptr<IAudioClient>* client) override {
        if (!client) {
            return E_POINTER;
        }
        EndpointInfo endpoint;
        const HRESULT status = lookUp(&endpoint);
        if (status == S_OK) {
            *client = createAudioClient(m_connection, m_kind, m_name);
        }
        return status;
    }

private:
    HRESULT lookUp(EndpointInfo* endpoint) {
        MainloopLock lock(*m_connection);
        if (!m_connection->isAlive() ||
            queryEndpoint(*m_connection, m_kind, m_name, endpoint) != QueryResult::Ok) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        return S_OK;
    }

    std::shared_ptr<PulseConnection> m_connection;
    EndpointKind m_kind;
    std::string m_name;
};

class PulseEnumerator final : public IMMDeviceEnumerator {
public:
    explicit PulseEnumerator(std::shared_ptr<PulseConnection> connection)
        : m_connection(std::move(connection)) {}

    ~PulseEnumerator() override {
        if (m_listener != 0) {
            MainloopLock lock(*m_connection);
            m_connection->removeChangeListener(m_listener);
        }
    }

    PulseEnumerator(const PulseEnumerator&) = delete;
    PulseEnumerator& operator=(const PulseEnumerator&) = delete;

    HRESULT RegisterEndpointNotificationCallback(std::function<void()> changed) override {
        if (!changed) {
            return E_POINTER;
        }
        MainloopLock lock(*m_connection);
        const HRESULT status = serverStatus();
        if (status != S_OK) {
            return status;
        }
        if (m_listener != 0) {
            m_connection->removeChangeListener(m_listener);
        }
        m_listener = m_connection->addChangeListener(std::move(changed));
        return S_OK;
    }

    HRESULT EnumPlayingApplications(std::vector<PlayingApplication>* applications) override {
        if (!applications) {
            return E_POINTER;
        }
        applications->clear();
        MainloopLock lock(*m_connection);
        const HRESULT status = serverStatus();
        if (status != S_OK) {
            return status;
        }
        if (queryPlayingApplications(*m_connection, applications) != QueryResult::Ok) {
            applications->clear();
            return m_connection->isAlive() ? E_FAIL : AUDCLNT_E_SERVICE_NOT_RUNNING;
        }
        return S_OK;
    }

    HRESULT EnumAudioEndpoints(int dataFlow, uint32_t stateMask,
                               std::vector<std::unique_ptr<IMMDevice>>* devices) override {
        if (!devices) {
            return E_POINTER;
        }
        devices->clear();
        if (dataFlow != eRender && dataFlow != eCapture && dataFlow != eAll) {
            return E_INVALIDARG;
        }
        if (stateMask == 0 || (stateMask & ~uint32_t{0xF}) != 0) {
            return E_INVALIDARG;
        }
        std::vector<EndpointInfo> endpoints;
        {
            MainloopLock lock(*m_connection);
            const HRESULT status = serverStatus();
            if (status != S_OK) {
                return status;
            }
            if (queryEndpoints(*m_connection, &endpoints) != QueryResult::Ok) {
                return m_connection->isAlive() ? E_FAIL : AUDCLNT_E_SERVICE_NOT_RUNNING;
            }
        }
        for (const EndpointInfo& endpoint : endpoints) {
            if (endpoint.isMonitor || (endpoint.state & stateMask) == 0 ||
                (dataFlow != eAll && dataFlowOf(endpoint.kind) != dataFlow)) {
                continue;
            }
            devices->push_back(
                std::make_unique<PulseDevice>(m_connection, endpoint.kind, endpoint.name));
        }
        return S_OK;
    }

    HRESULT GetDefaultAudioEndpoint(int dataFlow, int,
                                    std::unique_ptr<IMMDevice>* device) override {
        if (!device) {
            return E_POINTER;
        }
        if (dataFlow != eRender && dataFlow != eCapture) {
            return E_INVALIDARG;
        }
        const EndpointKind kind = dataFlow == eRender ? EndpointKind::Sink : EndpointKind::Source;
        EndpointInfo endpoint;
        {
            MainloopLock lock(*m_connection);
            const HRESULT status = serverStatus();
            if (status != S_OK) {
                return status;
            }
            std::string sink;
            std::string source;
            if (queryDefaults(*m_connection, &sink, &source) != QueryResult::Ok) {
                return m_connection->isAlive() ? E_FAIL : AUDCLNT_E_SERVICE_NOT_RUNNING;
            }
            const std::string& name = kind == EndpointKind::Sink ? sink : source;
            if (name.empty()) {
                return E_NOTFOUND;
            }
            const HRESULT found = lookUp(kind, name, &endpoint);
            if (found != S_OK) {
                return found;
            }
        }
        *device = std::make_unique<PulseDevice>(m_connection, kind, endpoint.name);
        return S_OK;
    }

    HRESULT GetDevice(const QString& id, std::unique_ptr<IMMDevice>* device) override {
        if (!device) {
            return E_POINTER;
        }
        const std::optional<ParsedId> parsed = parseEndpointId(id);
        if (!parsed) {
            return E_NOTFOUND;
        }
        EndpointInfo endpoint;
        {
            MainloopLock lock(*m_connection);
            const HRESULT status = serverStatus();
            if (status != S_OK) {
                return status;
            }
            const HRESULT found = lookUp(parsed->kind, parsed->name, &endpoint);
            if (found != S_OK) {
                return found;
            }
        }
        *device = std::make_unique<PulseDevice>(m_connection, parsed->kind, endpoint.name);
        return S_OK;
    }

private:
    // Lock held.
    HRESULT serverStatus() const {
        return m_connection->isAlive() ? S_OK : AUDCLNT_E_SERVICE_NOT_RUNNING;
    }

    // Lock held. A sink's monitor is not an endpoint, so it is not found either.
    HRESULT lookUp(EndpointKind kind, const std::string& name, EndpointInfo* endpoint) {
        switch (queryEndpoint(*m_connection, kind, name, endpoint)) {
        case QueryResult::Ok:
            return endpoint->isMonitor ? E_NOTFOUND : S_OK;
        case QueryResult::NotFound:
            return E_NOTFOUND;
        case QueryResult::Failed:
            break;
        }
        return m_connection->isAlive() ? E_FAIL : AUDCLNT_E_SERVICE_NOT_RUNNING;
    }

    std::shared_ptr<PulseConnection> m_connection;
    uint64_t m_listener = 0; ///< guarded by the connection's lock
};

class PulseEngine final : public AudioEngine {
public:
    PulseEngine(QString applicationName, std::chrono::milliseconds connectTimeout,
                std::chrono::milliseconds fragment)
        : m_applicationName(std::move(applicationName)), m_connectTimeout(connectTimeout),
          m_fragment(fragment) {}

    HRESULT CreateEnumerator(std::unique_ptr<IMMDeviceEnumerator>* enumerator) override {
        if (!enumerator) {
            return E_POINTER;
        }
        std::lock_guard guard(m_mutex);
        if (m_connection) {
            bool alive = false;
            {
                MainloopLock lock(*m_connection);
                alive = m_connection->isAlive();
            }
            if (!alive) {
                m_connection.reset(); // the server went away; try it afresh below
            }
        }
        if (!m_connection) {
            m_connection = PulseConnection::connect(m_applicationName, m_connectTimeout);
            if (!m_connection) {
                return AUDCLNT_E_SERVICE_NOT_RUNNING;
            }
            m_connection->setFragment(m_fragment);
        }
        *enumerator = std::make_unique<PulseEnumerator>(m_connection);
        return S_OK;
    }

private:
    const QString m_applicationName;
    const std::chrono::milliseconds m_connectTimeout;
    const std::chrono::milliseconds m_fragment;
    std::mutex m_mutex;
    std::shared_ptr<PulseConnection> m_connection; // guarded by m_mutex
};

} // namespace

} // namespace audio::pulse

std::unique_ptr<audio::AudioEngine> createPulseEngine(const QString& applicationName,
                                                      std::chrono::milliseconds connectTimeout,
                                                      std::chrono::milliseconds fragment) {
    return std::make_unique<audio::pulse::PulseEngine>(applicationName, connectTimeout, fragment);
}
