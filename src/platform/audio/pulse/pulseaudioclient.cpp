#include "pulseaudioclient.h"

#include "pulsestream.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace audio::pulse {

namespace {

constexpr HRESULT AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED = hr(0x8889000Eu);
constexpr int64_t kHundredNsPerSecond = 10000000;
/// Loopback and recording keep at least this much in the server, like the 5-second endpoint
/// buffer the capture thread asks for.
constexpr int64_t kMinimumRecordSeconds = 5;
constexpr int64_t kDefaultPlaybackHundredNs = 2 * kHundredNsPerSecond;
/// Half a playback stream's buffer becomes the sink's latency (the stream adds its requests'
/// room on top): a longer one makes the sink render that far ahead of what is heard, and a
/// loopback capture started meanwhile misses it.
constexpr int64_t kMaximumPlaybackHundredNs = kHundredNsPerSecond / 5;

bool isFloat32(const WaveFormatExtensible& format) {
    const tWAVEFORMATEX& f = format.Format;
    if (f.wBitsPerSample != 32 || f.nChannels == 0 || f.nBlockAlign != f.nChannels * 4) {
        return false;
    }
    if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        return true;
    }
    return f.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.cbSize >= 22 &&
           format.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
}

bool hasOwnMask(const WaveFormatExtensible& format) {
    return format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.dwChannelMask != 0;
}

bool equalsMixFormat(const WaveFormatExtensible& format, const WaveFormatExtensible& mix) {
    return isFloat32(format) && format.Format.nSamplesPerSec == mix.Format.nSamplesPerSec &&
           format.Format.nChannels == mix.Format.nChannels &&
           (!hasOwnMask(format) || format.dwChannelMask == mix.dwChannelMask);
}

// The channels of a stream in `format`, ordered as the format's speaker mask says. The
// device's own layout, at whatever rate, is its own positions reordered, which the server
// does without mixing any channels together.
pa_channel_map channelMapFor(const WaveFormatExtensible& format, const WaveFormatExtensible& mix,
                             const pa_channel_map& device) {
    const unsigned channels = std::min<unsigned>(format.Format.nChannels, PA_CHANNELS_MAX);
    pa_channel_map map;
    if (format.Format.nChannels == mix.Format.nChannels && device.channels == channels &&
        (!hasOwnMask(format) || format.dwChannelMask == mix.dwChannelMask)) {
        return inMaskOrder(device);
    }
    if (hasOwnMask(format) && channelMapOfMask(format.dwChannelMask, channels, &map)) {
        return map;
    }
    pa_channel_map_init_extend(&map, channels, PA_CHANNEL_MAP_WAVEEX);
    return map;
}

uint32_t bytesFor(int64_t hundredNs, uint32_t rate, uint32_t frameSize) {
    const int64_t frames = hundredNs * rate / kHundredNsPerSecond;
    const int64_t maxFrames = std::numeric_limits<uint32_t>::max() / frameSize;
    return static_cast<uint32_t>(std::clamp<int64_t>(frames, 1, maxFrames) * frameSize);
}

class PulseCaptureClient final : public IAudioCaptureClient {
public:
    explicit PulseCaptureClient(std::shared_ptr<PulseStream> stream)
        : m_stream(std::move(stream)) {}
    HRESULT GetNextPacketSize(uint32_t* frames) override {
        return m_stream->nextPacketSize(frames);
    }
    HRESULT GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition,
                      uint64_t* qpcPosition) override {
        return m_stream->getPacket(data, frames, flags, devicePosition, qpcPosition);
    }
    HRESULT ReleaseBuffer(uint32_t frames) override { return m_stream->releasePacket(frames); }
    HRESULT GetOutputLatency(int64_t* microseconds) override {
        *microseconds = m_stream->sinkLatencyUs();
        return S_OK;
    }

private:
    std::shared_ptr<PulseStream> m_stream;
};

class PulseRenderClient final : public IAudioRenderClient {
public:
    explicit PulseRenderClient(std::shared_ptr<PulseStream> stream) : m_stream(std::move(stream)) {}
    HRESULT GetBuffer(uint32_t frames, uint8_t** data) override {
        return m_stream->getRenderBuffer(frames, data);
    }
    HRESULT ReleaseBuffer(uint32_t frames, uint32_t flags) override {
        return m_stream->releaseRenderBuffer(frames, flags);
    }

private:
    std::shared_ptr<PulseStream> m_stream;
};

class PulseSimpleVolume final : public ISimpleAudioVolume {
public:
    explicit PulseSimpleVolume(std::shared_ptr<PulseStream> stream) : m_stream(std::move(stream)) {}
    HRESULT SetMasterVolume(float level) override { return m_stream->setVolume(level); }
    HRESULT SetMute(bool mute) override { return m_stream->setMute(mute); }

private:
    std::shared_ptr<PulseStream> m_stream;
};

class PulseAudioClient final : public IAudioClient {
public:
    PulseAudioClient(std::shared_ptr<PulseConnection> connection, EndpointKind kind,
                     std::string name)
        : m_connection(std::move(connection)), m_kind(kind), m_name(std::move(name)) {}

    HRESULT GetMixFormat(WaveFormatExtensible* format) override {
        if (!format) {
            return E_POINTER;
        }
        EndpointInfo endpoint;
        const HRESULT status = queryDevice(&endpoint);
        if (status == S_OK) {
            *format = mixFormatOf(endpoint);
        }
        return status;
    }

    HRESULT Initialize(int shareMode, uint32_t streamFlags, int64_t bufferDuration, int64_t,
                       const WaveFormatExtensible& format) override {
        if (m_stream) {
            return AUDCLNT_E_ALREADY_INITIALIZED;
        }
        if (shareMode != AUDCLNT_SHAREMODE_SHARED) {
            return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
        }
        EndpointInfo endpoint;
        const HRESULT status = queryDevice(&endpoint);
        if (status != S_OK) {
            return status;
        }
        const bool loopback = (streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0;
        if (loopback && m_kind == EndpointKind::Source) {
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        }
        const WaveFormatExtensible mix = mixFormatOf(endpoint);
        // The server converts any float format; without the conversion flag the caller has
        // to take what the device has.
        const bool convert = (streamFlags & AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM) != 0;
        if (convert ? !isFloat32(format) : !equalsMixFormat(format, mix)) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }

        StreamSetup setup;
        setup.spec.format = PA_SAMPLE_FLOAT32LE;
        setup.spec.rate = format.Format.nSamplesPerSec;
        setup.spec.channels =
            static_cast<uint8_t>(std::min<unsigned>(format.Format.nChannels, PA_CHANNELS_MAX + 1u));
        if (!pa_sample_spec_valid(&setup.spec)) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        setup.map = channelMapFor(format, mix, endpoint.map);
        const uint32_t frameSize = format.Format.nBlockAlign;
        if (loopback || m_kind == EndpointKind::Source) {
            setup.direction = StreamDirection::Record;
            setup.device = loopback ? endpoint.monitorSource : endpoint.name;
            setup.bufferBytes =
                bytesFor(std::max(bufferDuration, kMinimumRecordSeconds * kHundredNsPerSecond),
                         setup.spec.rate, frameSize);
            setup.name = loopback ? "Loopback recording" : "Recording";
            if (loopback) {
                setup.monitorStream = m_application;
            }
        } else {
            setup.direction = StreamDirection::Playback;
            setup.device = endpoint.name;
            // Not scaled with the capture fragment: after a change of output a sink that
            // renders far ahead leaves a hole before the new monitor delivers.
            setup.bufferBytes =
                bytesFor(std::min(bufferDuration > 0 ? bufferDuration : kDefaultPlaybackHundredNs,
                                  kMaximumPlaybackHundredNs),
                         setup.spec.rate, frameSize);
            setup.name = "Silence";
        }
        return PulseStream::open(m_connection, setup, &m_stream);
    }

    HRESULT SetLoopbackApplication(uint32_t stream) override {
        if (m_stream) {
            return AUDCLNT_E_ALREADY_INITIALIZED;
        }
        if (m_kind != EndpointKind::Sink || stream == PA_INVALID_INDEX) {
            return E_INVALIDARG;
        }
        m_application = stream;
        return S_OK;
    }

    HRESULT GetBufferSize(uint32_t* frames) override {
        if (!frames) {
            return E_POINTER;
        }
        if (!m_stream) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        *frames = m_stream->bufferFrames();
        return S_OK;
    }

    HRESULT GetCurrentPadding(uint32_t* frames) override {
        if (!m_stream) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        return m_stream->padding(frames);
    }

    HRESULT SetEventHandle(std::function<void()> signal) override {
        if (!m_stream) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        return m_stream->setDataSignal(std::move(signal));
    }

    HRESULT Start() override { return m_stream ? m_stream->start() : AUDCLNT_E_NOT_INITIALIZED; }
    HRESULT Stop() override { return m_stream ? m_stream->stop() : AUDCLNT_E_NOT_INITIALIZED; }

    HRESULT GetCaptureClient(std::unique_ptr<IAudioCaptureClient>* client) override {
        return makeService<PulseCaptureClient>(client, StreamDirection::Record);
    }
    HRESULT GetRenderClient(std::unique_ptr<IAudioRenderClient>* client) override {
        return makeService<PulseRenderClient>(client, StreamDirection::Playback);
    }
    HRESULT GetSimpleAudioVolume(std::unique_ptr<ISimpleAudioVolume>* volume) override {
        return makeService<PulseSimpleVolume>(volume, std::nullopt);
    }

private:
    HRESULT queryDevice(EndpointInfo* endpoint) {
        MainloopLock lock(*m_connection);
        if (!m_connection->isAlive() ||
            queryEndpoint(*m_connection, m_kind, m_name, endpoint) != QueryResult::Ok) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        return S_OK;
    }

    template <typename Service, typename Interface>
    HRESULT makeService(std::unique_ptr<Interface>* service,
                        std::optional<StreamDirection> direction) {
        if (!service) {
            return E_POINTER;
        }
        if (!m_stream) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (direction && m_stream->direction() != *direction) {
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        }
        *service = std::make_unique<Service>(m_stream);
        return S_OK;
    }

    std::shared_ptr<PulseConnection> m_connection;
    uint32_t m_application = PA_INVALID_INDEX; ///< the one sink input to record, if any
    EndpointKind m_kind;
    std::string m_name;
    std::shared_ptr<PulseStream> m_stream;
};

} // namespace

std::unique_ptr<IAudioClient> createAudioClient(std::shared_ptr<PulseConnection> connection,
                                                EndpointKind kind, std::string name) {
    return std::make_unique<PulseAudioClient>(std::move(connection), kind, std::move(name));
}

} // namespace audio::pulse
