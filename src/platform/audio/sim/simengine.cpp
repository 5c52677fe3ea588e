#include "simengine.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace audio {

namespace {

constexpr size_t CallKinds = static_cast<size_t>(SimCall::SetMute) + 1;
// Render buffers are handed out filled with this, so that a writer that forgets to clear
// them shows up as non-zero bytes.
constexpr uint8_t StaleByte = 0xA5;

} // namespace

struct SimEngine::State {
    struct Endpoint {
        SimEndpoint spec;
        std::deque<SimPacket> packets;
        uint64_t released = 0;
        uint32_t padding = 0;
        SimRenderStats render;
    };
    struct Rule {
        SimFailure failure;
        int seen = 0;
        int fired = 0;
    };
    /// One audio client; shared with the capture and render clients taken from it.
    struct Client {
        QString endpoint;
        bool initialized = false;
        bool started = false;
        bool render = false; ///< a render stream (not loopback, not an input)
        WaveFormatExtensible format;
        uint32_t bufferFrames = 0;
        size_t stream = 0; ///< index into streams once initialised
        std::optional<SimPacket> heldPacket;
        bool renderHeld = false;
        uint32_t renderGranted = 0;
        std::vector<uint8_t> renderBuffer;
        std::optional<uint32_t> application; ///< SetLoopbackApplication's stream
    };

    mutable std::mutex mutex;
    std::vector<Endpoint> endpoints;
    std::array<QString, 2> defaults;
    std::vector<Rule> rules;
    std::array<int, CallKinds> counts{};
    std::vector<SimStream> streams;
    std::vector<PlayingApplication> applications;

    /// Whether the application stream a client records has ended.
    bool applicationGone(const Client& client) const {
        return client.application && std::none_of(applications.begin(), applications.end(),
                                                  [&](const PlayingApplication& a) {
                                                      return a.stream == *client.application;
                                                  });
    }

    Endpoint* find(const QString& id) {
        for (Endpoint& e : endpoints)
            if (e.spec.id == id)
                return &e;
        return nullptr;
    }
    const Endpoint* find(const QString& id) const { return const_cast<State*>(this)->find(id); }
    Endpoint& get(const QString& id) {
        if (Endpoint* e = find(id))
            return *e;
        throw std::invalid_argument("SimEngine: no endpoint " + id.toStdString());
    }
    const Endpoint& get(const QString& id) const { return const_cast<State*>(this)->get(id); }

    /// Counts the call and applies the first rule that fires: its status is returned (the
    /// call then does nothing else) or its exception thrown. S_OK when none fires.
    /// Called with the mutex held.
    HRESULT check(SimCall call, const QString& endpoint) {
        ++counts[static_cast<size_t>(call)];
        // Every matching rule sees the call, also those behind the one that fires.
        Rule* firing = nullptr;
        for (Rule& rule : rules) {
            const SimFailure& f = rule.failure;
            if (f.call != call || (!f.endpoint.isEmpty() && f.endpoint != endpoint))
                continue;
            ++rule.seen;
            if (!firing && rule.seen > f.after && (f.times < 0 || rule.fired < f.times))
                firing = &rule;
        }
        if (!firing)
            return S_OK;
        ++firing->fired;
        if (!firing->failure.throwMessage.empty())
            throw std::runtime_error(firing->failure.throwMessage);
        return firing->failure.status;
    }
};

namespace {

using State = SimEngine::State;
using Lock = std::lock_guard<std::mutex>;

// An injected status counts as the call's outcome even when it is a success code; the
// call then does nothing, which is how a test reaches AUDCLNT_S_BUFFER_EMPTY with no frames.
bool injected(HRESULT status) {
    return status != S_OK;
}

class SimCaptureClient final : public IAudioCaptureClient {
public:
    SimCaptureClient(std::shared_ptr<State> state, std::shared_ptr<State::Client> client)
        : m_state(std::move(state)), m_client(std::move(client)) {}

    HRESULT GetNextPacketSize(uint32_t* frames) override {
        Lock lock(m_state->mutex);
        if (!frames)
            return E_POINTER;
        *frames = 0;
        if (const HRESULT s = m_state->check(SimCall::GetNextPacketSize, m_client->endpoint);
            injected(s))
            return s;
        // The server ends a stream that records an application when the application's
        // stream ends.
        if (m_state->applicationGone(*m_client))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        const State::Endpoint& e = m_state->get(m_client->endpoint);
        if (!e.packets.empty())
            *frames = e.packets.front().frames;
        return S_OK;
    }

    HRESULT GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition,
                      uint64_t* qpcPosition) override {
        Lock lock(m_state->mutex);
        if (!data || !frames || !flags)
            return E_POINTER;
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        if (devicePosition)
            *devicePosition = 0;
        if (qpcPosition)
            *qpcPosition = 0;
        if (const HRESULT s = m_state->check(SimCall::CaptureGetBuffer, m_client->endpoint);
            injected(s))
            return s;
        if (m_client->heldPacket)
            return AUDCLNT_E_OUT_OF_ORDER;
        State::Endpoint& e = m_state->get(m_client->endpoint);
        if (e.packets.empty())
            return AUDCLNT_S_BUFFER_EMPTY;
        m_client->heldPacket = std::move(e.packets.front());
        e.packets.pop_front();
        SimPacket& p = *m_client->heldPacket;
        *data = p.data.empty() ? nullptr : p.data.data();
        *frames = p.frames;
        *flags = p.flags;
        if (devicePosition)
            *devicePosition = e.released;
        if (qpcPosition)
            *qpcPosition = p.qpc;
        return S_OK;
    }

    HRESULT ReleaseBuffer(uint32_t frames) override {
        Lock lock(m_state->mutex);
        if (const HRESULT s = m_state->check(SimCall::CaptureReleaseBuffer, m_client->endpoint);
            injected(s))
            return s;
        if (!m_client->heldPacket)
            return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
        State::Endpoint& e = m_state->get(m_client->endpoint);
        if (frames == 0) {
            // Nothing was read: the packet is handed out again.
            e.packets.push_front(std::move(*m_client->heldPacket));
            m_client->heldPacket.reset();
            return S_OK;
        }
        if (frames != m_client->heldPacket->frames)
            return AUDCLNT_E_INVALID_SIZE;
        m_client->heldPacket.reset();
        ++e.released;
        return S_OK;
    }

private:
    std::shared_ptr<State> m_state;
    std::shared_ptr<State::Client> m_client;
};

class SimRenderClient final : public IAudioRenderClient {
public:
    SimRenderClient(std::shared_ptr<State> state, std::shared_ptr<State::Client> client)
        : m_state(std::move(state)), m_client(std::move(client)) {}

    HRESULT GetBuffer(uint32_t frames, uint8_t** data) override {
        Lock lock(m_state->mutex);
        if (!data)
            return E_POINTER;
        *data = nullptr;
        if (const HRESULT s = m_state->check(SimCall::RenderGetBuffer, m_client->endpoint);
            injected(s))
            return s;
        if (m_client->renderHeld)
            return AUDCLNT_E_OUT_OF_ORDER;
        const State::Endpoint& e = m_state->get(m_client->endpoint);
        if (frames > m_client->bufferFrames - std::min(e.padding, m_client->bufferFrames))
            return AUDCLNT_E_BUFFER_TOO_LARGE;
        m_client->renderHeld = true;
        m_client->renderGranted = frames;
        const size_t bytes = size_t{frames} * m_client->format.Format.nBlockAlign;
        m_client->renderBuffer.assign(bytes, StaleByte);
        *data = bytes == 0 ? nullptr : m_client->renderBuffer.data();
        return S_OK;
    }

    HRESULT ReleaseBuffer(uint32_t frames, uint32_t flags) override {
        Lock lock(m_state->mutex);
        if (const HRESULT s = m_state->check(SimCall::RenderReleaseBuffer, m_client->endpoint);
            injected(s))
            return s;
        if (!m_client->renderHeld)
            return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
        if (frames > m_client->renderGranted)
            return AUDCLNT_E_INVALID_SIZE;
        State::Endpoint& e = m_state->get(m_client->endpoint);
        const size_t bytes = size_t{frames} * m_client->format.Format.nBlockAlign;
        const bool zeros =
            (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 ||
            std::all_of(m_client->renderBuffer.begin(),
                        m_client->renderBuffer.begin() + static_cast<ptrdiff_t>(bytes),
                        [](uint8_t b) { return b == 0; });
        e.render.onlyZeros = e.render.onlyZeros && zeros;
        ++e.render.writes;
        e.render.framesWritten += frames;
        e.padding = std::min(m_client->bufferFrames, e.padding + frames);
        m_client->renderHeld = false;
        m_client->renderGranted = 0;
        return S_OK;
    }

private:
    std::shared_ptr<State> m_state;
    std::shared_ptr<State::Client> m_client;
};

class SimVolume final : public ISimpleAudioVolume {
public:
    SimVolume(std::shared_ptr<State> state, std::shared_ptr<State::Client> client)
        : m_state(std::move(state)), m_client(std::move(client)) {}

    HRESULT SetMasterVolume(float level) override {
        Lock lock(m_state->mutex);
        if (const HRESULT s = m_state->check(SimCall::SetMasterVolume, m_client->endpoint);
            injected(s))
            return s;
        if (level < 0.0f || level > 1.0f)
            return E_INVALIDARG;
        SimStream& stream = m_state->streams.at(m_client->stream);
        stream.volumeSet = true;
        stream.volume = level;
        return S_OK;
    }

    HRESULT SetMute(bool mute) override {
        Lock lock(m_state->mutex);
        if (const HRESULT s = m_state->check(SimCall::SetMute, m_client->endpoint); injected(s))
            return s;
        SimStream& stream = m_state->streams.at(m_client->stream);
        stream.muteSet = true;
        stream.mute = mute;
        return S_OK;
    }

private:
    std::shared_ptr<State> m_state;
    std::shared_ptr<State::Client> m_client;
};

class SimAudioClient final : public IAudioClient {
public:
    SimAudioClient(std::shared_ptr<State> state, const QString& endpoint)
        : m_state(std::move(state)), m_client(std::make_shared<State::Client>()) {
        m_client->endpoint = endpoint;
    }

    HRESULT GetMixFormat(WaveFormatExtensible* format) override {
        Lock lock(m_state->mutex);
        if (!format)
            return E_POINTER;
        if (const HRESULT s = m_state->check(SimCall::GetMixFormat, m_client->endpoint);
            injected(s))
            return s;
        *format = m_state->get(m_client->endpoint).spec.mixFormat;
        return S_OK;
    }

    HRESULT Initialize(int shareMode, uint32_t streamFlags, int64_t bufferDuration,
                       int64_t periodicity, const WaveFormatExtensible& format) override {
        Lock lock(m_state->mutex);
        if (const HRESULT s = m_state->check(SimCall::Initialize, m_client->endpoint); injected(s))
            return s;
        if (m_client->initialized)
            return AUDCLNT_E_ALREADY_INITIALIZED;
        State::Endpoint& e = m_state->get(m_client->endpoint);
        const bool loopback = (streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0;
        if (loopback && e.spec.dataFlow != eRender)
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        if (format.Format.nSamplesPerSec == 0 || format.Format.nChannels == 0 ||
            format.Format.nBlockAlign == 0 || bufferDuration < 0)
            return E_INVALIDARG;
        m_client->initialized = true;
        m_client->render = e.spec.dataFlow == eRender && !loopback;
        m_client->format = format;
        m_client->bufferFrames =
            e.spec.bufferFrames != 0
                ? e.spec.bufferFrames
                : static_cast<uint32_t>(static_cast<int64_t>(format.Format.nSamplesPerSec) *
                                        bufferDuration / 10000000);
        if (m_client->render) {
            ++e.render.initializations;
            e.padding = 0;
        }
        SimStream stream;
        stream.endpoint = m_client->endpoint;
        stream.shareMode = shareMode;
        stream.streamFlags = streamFlags;
        stream.bufferDuration = bufferDuration;
        stream.periodicity = periodicity;
        stream.bufferFrames = m_client->bufferFrames;
        stream.rate = format.Format.nSamplesPerSec;
        stream.format = format;
        stream.application = m_client->application;
        m_client->stream = m_state->streams.size();
        m_state->streams.push_back(stream);
        return S_OK;
    }

    HRESULT SetLoopbackApplication(uint32_t stream) override {
        Lock lock(m_state->mutex);
        if (m_client->initialized)
            return AUDCLNT_E_ALREADY_INITIALIZED;
        m_client->application = stream;
        return S_OK;
    }

    HRESULT GetBufferSize(uint32_t* frames) override {
        Lock lock(m_state->mutex);
        if (!frames)
            return E_POINTER;
        *frames = 0;
        if (const HRESULT s = m_state->check(SimCall::GetBufferSize, m_client->endpoint);
            injected(s))
            return s;
        if (!m_client->initialized)
            return AUDCLNT_E_NOT_INITIALIZED;
        *frames = m_client->bufferFrames;
        return S_OK;
    }

    HRESULT GetCurrentPadding(uint32_t* frames) override {
        Lock lock(m_state->mutex);
        if (!frames)
            return E_POINTER;
        *frames = 0;
        if (const HRESULT s = m_state->check(SimCall::GetCurrentPadding, m_client->endpoint);
            injected(s))
            return s;
        if (!m_client->initialized)
            return AUDCLNT_E_NOT_INITIALIZED;
        const State::Endpoint& e = m_state->get(m_client->endpoint);
        if (m_client->render) {
            *frames = std::min(e.padding, m_client->bufferFrames);
        } else {
            uint64_t pending = 0;
            for (const SimPacket& p : e.packets)
                pending += p.frames;
            *frames = static_cast<uint32_t>(std::min<uint64_t>(pending, UINT32_MAX));
        }
        return S_OK;
    }

    HRESULT Start() override {
        Lock lock(m_state->mutex);
        if (const HRESULT s = m_state->check(SimCall::Start, m_client->endpoint); injected(s))
            return s;
        if (!m_client->initialized)
            return AUDCLNT_E_NOT_INITIALIZED;
        if (m_client->started)
            return AUDCLNT_E_NOT_STOPPED;
        m_client->started = true;
        m_state->streams.at(m_client->stream).started = true;
        if (m_client->render)
            ++m_state->get(m_client->endpoint).render.starts;
        return S_OK;
    }

    HRESULT Stop() override {
        Lock lock(m_state->mutex);
        if (const HRESULT s = m_state->check(SimCall::Stop, m_client->endpoint); injected(s))
            return s;
        if (!m_client->initialized)
            return AUDCLNT_E_NOT_INITIALIZED;
        if (!m_client->started)
            return S_FALSE;
        m_client->started = false;
        ++m_state->streams.at(m_client->stream).stops;
        if (m_client->render)
            ++m_state->get(m_client->endpoint).render.stops;
        return S_OK;
    }

    HRESULT GetCaptureClient(std::unique_ptr<IAudioCaptureClient>* client) override {
        Lock lock(m_state->mutex);
        if (!client)
            return E_POINTER;
        client->reset();
        if (const HRESULT s = m_state->check(SimCall::GetCaptureClient, m_client->endpoint);
            injected(s))
            return s;
        if (!m_client->initialized)
            return AUDCLNT_E_NOT_INITIALIZED;
        if (m_client->render)
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        *client = std::make_unique<SimCaptureClient>(m_state, m_client);
        return S_OK;
    }

    HRESULT GetRenderClient(std::unique_ptr<IAudioRenderClient>* client) override {
        Lock lock(m_state->mutex);
        if (!client)
            return E_POINTER;
        client->reset();
        if (const HRESULT s = m_state->check(SimCall::GetRenderClient, m_client->endpoint);
            injected(s))
            return s;
        if (!m_client->initialized)
            return AUDCLNT_E_NOT_INITIALIZED;
        if (!m_client->render)
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        *client = std::make_unique<SimRenderClient>(m_state, m_client);
        return S_OK;
    }

    HRESULT GetSimpleAudioVolume(std::unique_ptr<ISimpleAudioVolume>* volume) override {
        Lock lock(m_state->mutex);
        if (!volume)
            return E_POINTER;
        volume->reset();
        if (const HRESULT s = m_state->check(SimCall::GetSimpleAudioVolume, m_client->endpoint);
            injected(s))
            return s;
        if (!m_client->initialized)
            return AUDCLNT_E_NOT_INITIALIZED;
        *volume = std::make_unique<SimVolume>(m_state, m_client);
        return S_OK;
    }

private:
    std::shared_ptr<State> m_state;
    std::shared_ptr<State::Client> m_client;
};

class SimDevice final : public IMMDevice {
public:
    SimDevice(std::shared_ptr<State> state, const QString& id)
        : m_state(std::move(state)), m_id(id) {}

    HRESULT GetId(QString* id) override {
        Lock lock(m_state->mutex);
        if (!id)
            return E_POINTER;
        if (const HRESULT s = m_state->check(SimCall::GetId, m_id); injected(s))
            return s;
        *id = m_id;
        return S_OK;
    }

    HRESULT GetDataFlow(int* dataFlow) override {
        Lock lock(m_state->mutex);
        if (!dataFlow)
            return E_POINTER;
        if (const HRESULT s = m_state->check(SimCall::GetDataFlow, m_id); injected(s))
            return s;
        *dataFlow = m_state->get(m_id).spec.dataFlow;
        return S_OK;
    }

    HRESULT GetState(uint32_t* state) override {
        Lock lock(m_state->mutex);
        if (!state)
            return E_POINTER;
        if (const HRESULT s = m_state->check(SimCall::GetState, m_id); injected(s))
            return s;
        *state = m_state->get(m_id).spec.state;
        return S_OK;
    }

    HRESULT GetProperty(DeviceProperty key, QString* value) override {
        Lock lock(m_state->mutex);
        if (!value)
            return E_POINTER;
        if (const HRESULT s = m_state->check(SimCall::GetProperty, m_id); injected(s))
            return s;
        const SimEndpoint& spec = m_state->get(m_id).spec;
        *value =
            key == DeviceProperty::DeviceInterfaceFriendlyName ? spec.cardName : spec.endpointName;
        return S_OK;
    }

    HRESULT Activate(std::unique_ptr<IAudioClient>* client) override {
        Lock lock(m_state->mutex);
        if (!client)
            return E_POINTER;
        client->reset();
        if (const HRESULT s = m_state->check(SimCall::Activate, m_id); injected(s))
            return s;
        if (const HRESULT s = m_state->get(m_id).spec.activateStatus; failed(s))
            return s;
        *client = std::make_unique<SimAudioClient>(m_state, m_id);
        return S_OK;
    }

private:
    std::shared_ptr<State> m_state;
    const QString m_id;
};

class SimEnumerator final : public IMMDeviceEnumerator {
public:
    explicit SimEnumerator(std::shared_ptr<State> state) : m_state(std::move(state)) {}

    HRESULT EnumAudioEndpoints(int dataFlow, uint32_t stateMask,
                               std::vector<std::unique_ptr<IMMDevice>>* devices) override {
        Lock lock(m_state->mutex);
        if (!devices)
            return E_POINTER;
        devices->clear();
        if (const HRESULT s = m_state->check(SimCall::EnumAudioEndpoints, QString()); injected(s))
            return s;
        if (dataFlow < eRender || dataFlow > eAll)
            return E_INVALIDARG;
        for (const State::Endpoint& e : m_state->endpoints) {
            if ((dataFlow == eAll || e.spec.dataFlow == dataFlow) && (e.spec.state & stateMask))
                devices->push_back(std::make_unique<SimDevice>(m_state, e.spec.id));
        }
        return S_OK;
    }

    HRESULT GetDefaultAudioEndpoint(int dataFlow, int role,
                                    std::unique_ptr<IMMDevice>* device) override {
        Lock lock(m_state->mutex);
        if (!device)
            return E_POINTER;
        device->reset();
        if (const HRESULT s = m_state->check(SimCall::GetDefaultAudioEndpoint, QString());
            injected(s))
            return s;
        if ((dataFlow != eRender && dataFlow != eCapture) || role < eConsole)
            return E_INVALIDARG;
        const QString& id = m_state->defaults[static_cast<size_t>(dataFlow)];
        if (id.isEmpty() || !m_state->find(id))
            return E_NOTFOUND;
        *device = std::make_unique<SimDevice>(m_state, id);
        return S_OK;
    }

    HRESULT GetDevice(const QString& id, std::unique_ptr<IMMDevice>* device) override {
        Lock lock(m_state->mutex);
        if (!device)
            return E_POINTER;
        device->reset();
        if (const HRESULT s = m_state->check(SimCall::GetDevice, id); injected(s))
            return s;
        if (!m_state->find(id))
            return E_NOTFOUND;
        *device = std::make_unique<SimDevice>(m_state, id);
        return S_OK;
    }

    HRESULT EnumPlayingApplications(std::vector<PlayingApplication>* applications) override {
        Lock lock(m_state->mutex);
        if (!applications)
            return E_POINTER;
        *applications = m_state->applications;
        return S_OK;
    }

private:
    std::shared_ptr<State> m_state;
};

} // namespace

SimEngine::SimEngine() : m_state(std::make_shared<State>()) {}

SimEngine::~SimEngine() = default;

HRESULT SimEngine::CreateEnumerator(std::unique_ptr<IMMDeviceEnumerator>* enumerator) {
    Lock lock(m_state->mutex);
    if (!enumerator)
        return E_POINTER;
    enumerator->reset();
    if (const HRESULT s = m_state->check(SimCall::CreateEnumerator, QString()); injected(s))
        return s;
    *enumerator = std::make_unique<SimEnumerator>(m_state);
    return S_OK;
}

WaveFormatExtensible SimEngine::floatFormat(uint32_t rate, uint16_t channels, FormatTag tag) {
    WaveFormatExtensible f;
    f.Format.wFormatTag =
        tag == FormatTag::Extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_IEEE_FLOAT;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = static_cast<uint16_t>(channels * 4);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.cbSize = tag == FormatTag::Extensible ? 22 : 0;
    f.wValidBitsPerSample = 32;
    f.dwChannelMask = channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return f;
}

WaveFormatExtensible SimEngine::floatFormat(uint32_t rate, uint16_t channels,
                                            uint32_t channelMask) {
    WaveFormatExtensible f = floatFormat(rate, channels, FormatTag::Extensible);
    f.dwChannelMask = channelMask;
    return f;
}

WaveFormatExtensible SimEngine::pcm16Format(uint32_t rate, uint16_t channels, FormatTag tag) {
    WaveFormatExtensible f = floatFormat(rate, channels, tag);
    if (tag == FormatTag::Plain)
        f.Format.wFormatTag = WAVE_FORMAT_PCM;
    f.Format.wBitsPerSample = 16;
    f.Format.nBlockAlign = static_cast<uint16_t>(channels * 2);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.wValidBitsPerSample = 16;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

SimPacket SimEngine::floatPacket(const std::vector<float>& samples, uint16_t channels,
                                 uint32_t flags) {
    SimPacket p;
    p.frames = channels == 0 ? 0 : static_cast<uint32_t>(samples.size() / channels);
    p.data.resize(size_t{p.frames} * channels * sizeof(float));
    if (!p.data.empty())
        std::memcpy(p.data.data(), samples.data(), p.data.size());
    p.flags = flags;
    return p;
}

SimPacket SimEngine::holePacket(uint32_t frames) {
    SimPacket p;
    p.frames = frames;
    p.flags = AUDCLNT_BUFFERFLAGS_SILENT;
    return p;
}

void SimEngine::addEndpoint(const SimEndpoint& endpoint) {
    Lock lock(m_state->mutex);
    if (m_state->find(endpoint.id))
        throw std::invalid_argument("SimEngine: endpoint added twice: " +
                                    endpoint.id.toStdString());
    State::Endpoint e;
    e.spec = endpoint;
    m_state->endpoints.push_back(std::move(e));
}

void SimEngine::setState(const QString& id, uint32_t state) {
    Lock lock(m_state->mutex);
    m_state->get(id).spec.state = state;
}

void SimEngine::setMixFormat(const QString& id, const WaveFormatExtensible& format) {
    Lock lock(m_state->mutex);
    m_state->get(id).spec.mixFormat = format;
}

void SimEngine::setActivateStatus(const QString& id, HRESULT status) {
    Lock lock(m_state->mutex);
    m_state->get(id).spec.activateStatus = status;
}

void SimEngine::setDefaultEndpoint(int dataFlow, const QString& id) {
    if (dataFlow != eRender && dataFlow != eCapture)
        throw std::invalid_argument("SimEngine: a default endpoint is of one data flow");
    Lock lock(m_state->mutex);
    m_state->defaults[static_cast<size_t>(dataFlow)] = id;
}

void SimEngine::setPlayingApplications(std::vector<PlayingApplication> applications) {
    Lock lock(m_state->mutex);
    m_state->applications = std::move(applications);
}

void SimEngine::queuePacket(const QString& id, SimPacket packet) {
    Lock lock(m_state->mutex);
    m_state->get(id).packets.push_back(std::move(packet));
}

void SimEngine::queuePackets(const QString& id, std::vector<SimPacket> packets) {
    Lock lock(m_state->mutex);
    State::Endpoint& e = m_state->get(id);
    for (SimPacket& p : packets)
        e.packets.push_back(std::move(p));
}

size_t SimEngine::pendingPackets(const QString& id) const {
    Lock lock(m_state->mutex);
    return m_state->get(id).packets.size();
}

uint64_t SimEngine::releasedPackets(const QString& id) const {
    Lock lock(m_state->mutex);
    return m_state->get(id).released;
}

void SimEngine::setPadding(const QString& id, uint32_t frames) {
    Lock lock(m_state->mutex);
    m_state->get(id).padding = frames;
}

uint32_t SimEngine::padding(const QString& id) const {
    Lock lock(m_state->mutex);
    return m_state->get(id).padding;
}

SimRenderStats SimEngine::renderStats(const QString& id) const {
    Lock lock(m_state->mutex);
    return m_state->get(id).render;
}

void SimEngine::inject(const SimFailure& failure) {
    Lock lock(m_state->mutex);
    m_state->rules.push_back({failure, 0, 0});
}

void SimEngine::failAt(SimCall call, HRESULT status, int after, int times,
                       const QString& endpoint) {
    SimFailure f;
    f.call = call;
    f.status = status;
    f.after = after;
    f.times = times;
    f.endpoint = endpoint;
    inject(f);
}

void SimEngine::throwAt(SimCall call, const std::string& message, int after,
                        const QString& endpoint) {
    SimFailure f;
    f.call = call;
    f.after = after;
    f.times = 1;
    f.endpoint = endpoint;
    f.throwMessage = message.empty() ? std::string("simulated failure") : message;
    inject(f);
}

void SimEngine::clearFailures() {
    Lock lock(m_state->mutex);
    m_state->rules.clear();
}

int SimEngine::callCount(SimCall call) const {
    Lock lock(m_state->mutex);
    return m_state->counts[static_cast<size_t>(call)];
}

std::vector<SimStream> SimEngine::streams() const {
    Lock lock(m_state->mutex);
    return m_state->streams;
}

} // namespace audio
