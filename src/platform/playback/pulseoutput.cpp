#include "pulseoutput.h"

#include "platform/audio/pulse/pulseconnection.h"

#include <pulse/channelmap.h>
#include <pulse/introspect.h>
#include <pulse/sample.h>
#include <pulse/volume.h>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace playback {

using audio::pulse::MainloopLock;
using audio::pulse::OperationPtr;
using audio::pulse::PulseConnection;
using audio::pulse::StreamPtr;

namespace {

// About 200 ms queued at the server: enough to ride out a busy engine thread, short enough
// that pause and volume respond at once.
constexpr pa_usec_t kTargetLatencyUsec = 200 * 1000;

pa_cvolume channelVolume(int channels, float volume) {
    pa_cvolume result;
    pa_cvolume_set(&result, static_cast<unsigned>(channels),
                   pa_sw_volume_from_linear(static_cast<double>(volume)));
    return result;
}

/// Every function takes the main loop's lock itself; callbacks run on the main loop thread
/// with it held and only signal.
class PulseOutputStream final : public OutputStream {
public:
    PulseOutputStream(std::shared_ptr<PulseConnection> connection, const OutputFormat& format,
                      std::function<void()> wake)
        : m_connection(std::move(connection)), m_rate(format.sampleRate),
          m_channels(format.channels), m_wake(std::move(wake)) {}

    ~PulseOutputStream() override {
        MainloopLock lock(*m_connection);
        if (m_drainOperation) {
            pa_operation_cancel(m_drainOperation.get());
            m_drainOperation.reset();
        }
        if (m_stream) {
            pa_stream_set_state_callback(m_stream.get(), nullptr, nullptr);
            pa_stream_set_write_callback(m_stream.get(), nullptr, nullptr);
            pa_stream_disconnect(m_stream.get());
            m_stream.reset();
        }
    }

    /// Engine thread: connects the stream; false when the server refuses it.
    bool connect(const OutputFormat& format) {
        pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<uint32_t>(format.sampleRate),
                            static_cast<uint8_t>(format.channels)};
        if (!pa_sample_spec_valid(&spec)) {
            return false;
        }
        pa_channel_map map;
        if (!pa_channel_map_init_auto(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT)) {
            pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
        }
        MainloopLock lock(*m_connection);
        if (!m_connection->isAlive()) {
            return false;
        }
        m_stream.reset(pa_stream_new(m_connection->context(), "Playback", &spec, &map));
        if (!m_stream) {
            return false;
        }
        pa_stream* s = m_stream.get();
        pa_stream_set_state_callback(s, &PulseOutputStream::onState, this);
        pa_stream_set_write_callback(s, &PulseOutputStream::onWrite, this);
        const uint32_t unset = static_cast<uint32_t>(-1);
        pa_buffer_attr attr{unset,
                            static_cast<uint32_t>(pa_usec_to_bytes(kTargetLatencyUsec, &spec)),
                            unset, unset, unset};
        const pa_cvolume volume = channelVolume(format.channels, format.volume);
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
            (format.paused ? PA_STREAM_START_CORKED : 0));
        if (pa_stream_connect_playback(s, nullptr, &attr, flags, &volume, nullptr) < 0) {
            return false;
        }
        return m_connection->waitUntilReady(s);
    }

    int64_t writableFrames() override {
        MainloopLock lock(*m_connection);
        const size_t bytes = pa_stream_writable_size(m_stream.get());
        if (bytes == static_cast<size_t>(-1)) {
            return 0;
        }
        return static_cast<int64_t>(bytes) / (2 * m_channels);
    }

    void write(const int16_t* samples, int64_t frames) override {
        MainloopLock lock(*m_connection);
        // libpulse copies the data, since no free callback is given.
        if (pa_stream_write(m_stream.get(), samples, static_cast<size_t>(frames * 2 * m_channels),
                            nullptr, 0, PA_SEEK_RELATIVE) == 0) {
            m_written += frames;
        }
    }

    void drain() override {
        MainloopLock lock(*m_connection);
        m_drainOperation.reset(
            pa_stream_drain(m_stream.get(), &PulseOutputStream::onDrained, this));
        if (!m_drainOperation) {
            // The stream has failed; nothing more will be heard, so count it all as heard.
            m_drained = true;
        }
    }

    void setPaused(bool paused) override {
        // Waited for, so that the clock has stopped when the engine reports it paused.
        MainloopLock lock(*m_connection);
        m_connection->waitFor(OperationPtr(pa_stream_cork(
            m_stream.get(), paused ? 1 : 0, &PulseOutputStream::onCorked, m_connection.get())));
    }

    int64_t heardFrames() const override {
        MainloopLock lock(*m_connection);
        int64_t heard = m_heard;
        if (m_drained || pa_stream_get_state(m_stream.get()) != PA_STREAM_READY) {
            // A failed stream plays nothing more: treat it as played out, so it ends.
            heard = m_written;
        } else {
            pa_usec_t usec = 0;
            if (pa_stream_get_time(m_stream.get(), &usec) == 0) {
                heard = static_cast<int64_t>(usec * static_cast<uint64_t>(m_rate) / 1000000);
            }
        }
        m_heard = std::clamp(std::max(heard, m_heard), int64_t{0}, m_written);
        return m_heard;
    }

    void setVolume(float volume) override {
        MainloopLock lock(*m_connection);
        const uint32_t index = pa_stream_get_index(m_stream.get());
        if (index == PA_INVALID_INDEX) {
            return;
        }
        const pa_cvolume cv = channelVolume(m_channels, volume);
        OperationPtr(pa_context_set_sink_input_volume(m_connection->context(), index, &cv, nullptr,
                                                      nullptr));
    }

private:
    static void onState(pa_stream* stream, void* self) noexcept {
        auto* out = static_cast<PulseOutputStream*>(self);
        PulseConnection::signalStream(stream, out->m_connection.get());
        out->m_wake();
    }
    static void onWrite(pa_stream*, size_t, void* self) noexcept {
        static_cast<PulseOutputStream*>(self)->m_wake();
    }
    static void onCorked(pa_stream* stream, int, void* connection) noexcept {
        PulseConnection::signalStream(stream, connection);
    }
    static void onDrained(pa_stream*, int, void* self) noexcept {
        auto* out = static_cast<PulseOutputStream*>(self);
        out->m_drained = true;
        out->m_wake();
    }

    std::shared_ptr<PulseConnection> m_connection;
    const int m_rate;
    const int m_channels;
    std::function<void()> m_wake;
    StreamPtr m_stream;
    OperationPtr m_drainOperation;
    // Guarded by the main loop's lock.
    bool m_drained = false;
    int64_t m_written = 0;
    mutable int64_t m_heard = 0;
};

} // namespace

PulseOutputDevice::PulseOutputDevice(QString applicationName)
    : m_applicationName(std::move(applicationName)) {}

PulseOutputDevice::~PulseOutputDevice() = default;

std::unique_ptr<OutputStream> PulseOutputDevice::openStream(const OutputFormat& format,
                                                            std::function<void()> wake) {
    bool alive = false;
    if (m_connection) {
        MainloopLock lock(*m_connection);
        alive = m_connection->isAlive();
    }
    if (!alive) {
        m_connection.reset();
        m_connection = PulseConnection::connect(m_applicationName, std::chrono::seconds(3));
        if (!m_connection) {
            return nullptr;
        }
    }
    auto stream = std::make_unique<PulseOutputStream>(m_connection, format, std::move(wake));
    if (!stream->connect(format)) {
        return nullptr;
    }
    return stream;
}

} // namespace playback
