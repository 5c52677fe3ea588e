#pragma once

#include "platform/audio/audioplatform.h"
#include "pulseconnection.h"
#include "recordqueue.h"

#include <pulse/channelmap.h>
#include <pulse/sample.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

/// One record or playback stream of a connection, with the packet bookkeeping that the
/// audio client's capture and render services need. The audio client and the services made
/// from it share one PulseStream; it lives until the last of them is gone.
///
/// Threads and locks: every public function may be called on any thread, without the
/// connection's lock held. The record packet functions (nextPacketSize, getPacket,
/// releasePacket, and padding of a record stream) take only the stream's own queue mutex:
/// the read callback on the main loop thread copies each fragment into the queue and drops
/// it there at once, and the state callback marks a failed stream, so the capture thread
/// never wakes the main loop. Every other function takes the connection's lock for its
/// whole duration and may wait for the server with it held once. No libpulse memory is
/// handed out: a peeked block that is still held when the connection breaks makes
/// libpulse 16 wait for its release forever on the main loop thread.
namespace audio::pulse {

enum class StreamDirection { Record, Playback };

struct StreamSetup {
    StreamDirection direction = StreamDirection::Record;
    /// Source name (record) or sink name (playback); the stream never moves elsewhere.
    std::string device;
    pa_sample_spec spec{};
    pa_channel_map map{};
    /// The buffer asked for: maxlength of a record stream; for a playback stream twice the
    /// latency it asks of the sink (tlength adds two requests of a second to it).
    uint32_t bufferBytes = 0;
    std::string name;
    /// Record streams of a monitor: only this sink input of the sink (PA_INVALID_INDEX: the
    /// whole mix).
    uint32_t monitorStream = PA_INVALID_INDEX;
};

class PulseStream {
public:
    /// Creates the stream corked and waits until the server has it ready.
    /// AUDCLNT_E_DEVICE_INVALIDATED when the device or the server is gone,
    /// AUDCLNT_E_UNSUPPORTED_FORMAT when the server refuses the sample format.
    static HRESULT open(std::shared_ptr<PulseConnection> connection, const StreamSetup& setup,
                        std::shared_ptr<PulseStream>* stream);
    ~PulseStream();
    PulseStream(const PulseStream&) = delete;
    PulseStream& operator=(const PulseStream&) = delete;

    /// Fixed after open(); no lock needed.
    StreamDirection direction() const { return m_direction; }
    uint32_t bufferFrames() const { return m_bufferFrames; }

    /// Uncorks (start) or corks (stop) and waits for the server. Starting a started stream
    /// gives AUDCLNT_E_NOT_STOPPED, stopping a stopped one S_FALSE.
    HRESULT start();
    HRESULT stop();
    /// Playback: frames queued and not yet requested again by the server. Record: frames
    /// waiting to be read.
    HRESULT padding(uint32_t* frames);

    /// Record streams. Never block on the server. Once the stream has failed they answer
    /// AUDCLNT_E_SERVICE_NOT_RUNNING when the server went away, else
    /// AUDCLNT_E_DEVICE_INVALIDATED (so does padding()).
    HRESULT nextPacketSize(uint32_t* frames);
    HRESULT getPacket(uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition,
                      uint64_t* qpcPosition);
    HRESULT releasePacket(uint32_t frames);
    /// Record streams, before start(): `signal` is called on the main loop thread whenever a
    /// fragment has been queued or the stream fails (see IAudioClient::SetEventHandle).
    HRESULT setDataSignal(std::function<void()> signal);
    /// The monitored sink's latency as last reported, in µs (0: not known). Any thread.
    int64_t sinkLatencyUs() const { return m_sinkLatencyUs.load(std::memory_order_relaxed); }

    /// Playback streams.
    HRESULT getRenderBuffer(uint32_t frames, uint8_t** data);
    HRESULT releaseRenderBuffer(uint32_t frames, uint32_t flags);

    /// The stream's own volume and mute on the server.
    HRESULT setVolume(float level);
    HRESULT setMute(bool mute);

private:
    explicit PulseStream(std::shared_ptr<PulseConnection> connection);

    // Main loop thread, connection's lock held.
    static void onState(pa_stream* stream, void* self) noexcept;
    static void onReadable(pa_stream* stream, size_t bytes, void* self) noexcept;

    // All of these: connection's lock held.
    bool isAlive() const;
    HRESULT cork(bool corked);
    HRESULT writableFrames(uint32_t* frames) const;

    // Declared first so that it is destroyed last: the stream needs the context.
    std::shared_ptr<PulseConnection> m_connection;
    StreamPtr m_stream;
    StreamDirection m_direction = StreamDirection::Record;
    uint32_t m_frameSize = 1;
    uint32_t m_channels = 1;
    uint32_t m_bufferFrames = 0;

    /// Set by the state callback once the stream has failed or ended, which it also does
    /// when the whole connection fails.
    std::atomic<bool> m_failed{false};
    /// Set with m_failed when the connection failed with it: the server has gone away.
    std::atomic<bool> m_serverGone{false};
    /// A stream that records an application: the application's stream ended. The server
    /// may go on feeding ours from elsewhere (PipeWire does), so nothing read after that is
    /// the application's. Queue mutex.
    bool m_applicationEnded = false;
    /// The listener that tells of it (0: none); main loop lock.
    uint64_t m_endListener = 0;
    /// A record stream of a monitor: the monitored sink's latency as last reported (µs).
    std::atomic<int64_t> m_sinkLatencyUs{0};
    double m_timingAskedUs = 0; ///< when the server was last asked for it (main loop thread)
    /// Record, no lock: the status of a failed stream.
    HRESULT failedStatus() const;

    /// Record: guards the members below it up to the playback ones.
    std::mutex m_queueMutex;
    /// Null for a playback stream.
    std::unique_ptr<RecordQueue> m_queue;
    std::function<void()> m_dataSignal;
    size_t m_signalBytes = 0; ///< the fragment size: this much waiting wakes the reader
    /// The queue had no memory for a fragment; reported once by the next packet call.
    bool m_outOfMemory = false;
    uint64_t m_framesDelivered = 0;
    /// The stream's clock: when the next byte from the server was played (monotonic
    /// microseconds; 0 before the first). Fixed at open: the bytes per microsecond.
    double m_nextByteUs = 0;
    double m_bytesPerUs = 0;
    /// Digital silence that may still be dropped from the stream's start (see onReadable).
    size_t m_leadBytes = 0;

    // Guarded by the connection's lock.
    bool m_started = false;
    /// Playback: the buffer GetBuffer hands out, preallocated for the whole stream buffer.
    std::vector<uint8_t> m_renderBuffer;
    uint32_t m_renderGranted = 0;
    bool m_renderHandedOut = false;
    /// Playback: when the sink may be asked for the connection's fragment as its latency
    /// (monotonic microseconds; 0 before the first start, negative once settled).
    double m_settleAtUs = 0;

    void settleLatency();
};

} // namespace audio::pulse
