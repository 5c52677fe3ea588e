#include "pulsestream.h"

#include <pulse/def.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/volume.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

namespace audio::pulse {

namespace {

void onSuccess(pa_context*, int success, void* result) noexcept {
    *static_cast<int*>(result) = success;
}

void onStreamSuccess(pa_stream*, int success, void* result) noexcept {
    *static_cast<int*>(result) = success;
}

HRESULT openFailure(PulseConnection& connection) {
    if (!connection.isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    switch (pa_context_errno(connection.context())) {
    case PA_ERR_NOENTITY:
    case PA_ERR_KILLED:
    case PA_ERR_CONNECTIONTERMINATED:
        return AUDCLNT_E_DEVICE_INVALIDATED;
    case PA_ERR_INVALID:
    case PA_ERR_NOTSUPPORTED:
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    default:
        return E_FAIL;
    }
}

/// Microseconds of the monotonic clock, which packet times are counted in.
double monotonicUs() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

/// A stream that delivers this much later than its own clock says has stalled or lost
/// data: its clock is set anew from the present, so that a later change of output is
/// placed right. Far above the jitter of fragment delivery.
constexpr double StallUs = 200000;
/// Delivery jitter is averaged over about this many fragments before the clock follows it.
constexpr double ClockFollow = 16;
/// The longest fragment of a stream that records one application.
constexpr std::chrono::milliseconds ApplicationFragment{50};
/// How long the silent render stream keeps the sink at its short starting latency.
constexpr double SettleUs = 3e6;

} // namespace

PulseStream::PulseStream(std::shared_ptr<PulseConnection> connection)
    : m_connection(std::move(connection)) {}

HRESULT PulseStream::open(std::shared_ptr<PulseConnection> connection, const StreamSetup& setup,
                          std::shared_ptr<PulseStream>* stream) {
    std::shared_ptr<PulseStream> result(new PulseStream(connection));
    result->m_direction = setup.direction;
    result->m_frameSize = static_cast<uint32_t>(pa_frame_size(&setup.spec));
    result->m_channels = setup.spec.channels;
    if (result->m_frameSize == 0) {
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    }

    MainloopLock lock(*connection);
    if (!connection->isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    result->m_stream.reset(
        pa_stream_new(connection->context(), setup.name.c_str(), &setup.spec, &setup.map));
    if (!result->m_stream) {
        return openFailure(*connection);
    }
    pa_stream* s = result->m_stream.get();
    pa_stream_set_state_callback(s, &PulseStream::onState, result.get());

    const uint32_t unset = static_cast<uint32_t>(-1);
    pa_buffer_attr attr{unset, unset, unset, unset, unset};
    const uint32_t bytesPerSecond = static_cast<uint32_t>(pa_bytes_per_second(&setup.spec));
    int connected = -1;
    if (setup.direction == StreamDirection::Record) {
        // Without a fragment size the server collects two seconds before it sends. The
        // reader is woken once a fragment has gathered: the wake-ups were most of what
        // recording cost. The queue still hands the data out in 10 ms packets, from which
        // the capture thread cuts blocks of about 30 ms.
        attr.maxlength = setup.bufferBytes;
        // What the server holds of one application's stream when that stream ends is never
        // sent: a long fragment cut the last quarter second off the recording.
        const std::chrono::milliseconds fragment =
            setup.monitorStream != PA_INVALID_INDEX
                ? std::min(connection->fragment(), ApplicationFragment)
                : connection->fragment();
        attr.fragsize =
            std::max(result->m_frameSize,
                     static_cast<uint32_t>(uint64_t{bytesPerSecond} * fragment.count() / 1000 /
                                           result->m_frameSize * result->m_frameSize));
        result->m_signalBytes = attr.fragsize;
        // DONT_MOVE: since PulseAudio 14 the server moves a stream whose device vanished to
        // another one, even a microphone, and the recording would go on from it unnoticed.
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_START_CORKED);
        {
            // The queue exists before the read callback can run; the limit follows below,
            // once the server has granted the buffer.
            std::lock_guard<std::mutex> queueLock(result->m_queueMutex);
            result->m_queue = std::make_unique<RecordQueue>(result->m_frameSize, attr.maxlength,
                                                            bytesPerSecond / 100, bytesPerSecond);
            result->m_bytesPerUs = bytesPerSecond / 1e6;
            result->m_leadBytes = bytesPerSecond / 10 / result->m_frameSize * result->m_frameSize;
        }
        pa_stream_set_read_callback(s, &PulseStream::onReadable, result.get());
        if (setup.monitorStream != PA_INVALID_INDEX) {
            if (pa_stream_set_monitor_stream(s, setup.monitorStream) < 0) {
                pa_stream_set_read_callback(s, nullptr, nullptr);
                pa_stream_set_state_callback(s, nullptr, nullptr);
                return E_INVALIDARG;
            }
            PulseStream* self = result.get();
            const uint32_t monitored = setup.monitorStream;
            self->m_endListener =
                connection->addStreamEndListener([self, monitored](uint32_t ended) {
                    if (ended != monitored)
                        return;
                    {
                        std::lock_guard<std::mutex> queueLock(self->m_queueMutex);
                        self->m_applicationEnded = true;
                    }
                    self->m_failed.store(true, std::memory_order_release);
                    if (self->m_dataSignal)
                        self->m_dataSignal();
                    PulseConnection::signalStream(nullptr, self->m_connection.get());
                });
        }
        connected = pa_stream_connect_record(s, setup.device.c_str(), &attr, flags);
    } else {
        // ADJUST_LATENCY gives the sink (tlength - 2 * minreq) / 2 of latency and keeps the
        // rest queued in the server. With a small tlength that is the sink's minimum, half a
        // millisecond: the sink then rendered 2,000 times a second and the monitor came in
        // crumbs, which cost the server and this process far more than the recording itself.
        // So the sink is asked for half of bufferBytes, and requests of a second each wake
        // this process and the render thread about once a second.
        attr.minreq = std::max(result->m_frameSize,
                               bytesPerSecond / result->m_frameSize * result->m_frameSize);
        attr.tlength = setup.bufferBytes + 2 * attr.minreq;
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_START_CORKED);
        connected =
            pa_stream_connect_playback(s, setup.device.c_str(), &attr, flags, nullptr, nullptr);
    }
    if (connected < 0 || !connection->waitUntilReady(s)) {
        const HRESULT status = openFailure(*connection);
        pa_stream_set_read_callback(s, nullptr, nullptr);
        pa_stream_set_state_callback(s, nullptr, nullptr);
        connection->removeChangeListener(result->m_endListener);
        result->m_endListener = 0;
        return status;
    }

    const pa_buffer_attr* granted = pa_stream_get_buffer_attr(s);
    const uint32_t bufferBytes =
        !granted
            ? setup.bufferBytes
            : (setup.direction == StreamDirection::Record ? granted->maxlength : granted->tlength);
    result->m_bufferFrames = bufferBytes / result->m_frameSize;
    if (setup.direction == StreamDirection::Record) {
        std::lock_guard<std::mutex> queueLock(result->m_queueMutex);
        result->m_queue->setLimitBytes(size_t{result->m_bufferFrames} * result->m_frameSize);
    } else {
        result->m_renderBuffer.assign(size_t{result->m_bufferFrames} * result->m_frameSize, 0);
    }
    *stream = std::move(result);
    return S_OK;
}

PulseStream::~PulseStream() {
    if (!m_stream) {
        return;
    }
    MainloopLock lock(*m_connection);
    // With the lock held no callback runs now, and none is called after this.
    pa_stream_set_read_callback(m_stream.get(), nullptr, nullptr);
    pa_stream_set_state_callback(m_stream.get(), nullptr, nullptr);
    if (m_endListener != 0)
        m_connection->removeChangeListener(m_endListener);
    if (pa_stream_get_state(m_stream.get()) == PA_STREAM_READY) {
        pa_stream_disconnect(m_stream.get());
    }
    m_stream.reset();
}

void PulseStream::onState(pa_stream* stream, void* self) noexcept {
    auto* that = static_cast<PulseStream*>(self);
    // A failing context moves each of its streams to the failed state, so this also sees a
    // connection that breaks.
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        // The context has its failed state before it fails its streams.
        that->m_serverGone.store(pa_context_get_state(pa_stream_get_context(stream)) !=
                                     PA_CONTEXT_READY,
                                 std::memory_order_relaxed);
        that->m_failed.store(true, std::memory_order_release);
        // Set before the stream starts, so read without the queue's lock.
        if (that->m_dataSignal)
            that->m_dataSignal();
    }
    PulseConnection::signalStream(stream, that->m_connection.get());
}

void PulseStream::onReadable(pa_stream* stream, size_t bytes, void* self) noexcept {
    auto* that = static_cast<PulseStream*>(self);
    // The monitored sink's latency: how long a player's audio takes from its stream to the
    // monitor. Asked for once a second; the answer updates the timing info read here.
    if (const pa_timing_info* timing = pa_stream_get_timing_info(stream)) {
        that->m_sinkLatencyUs.store(static_cast<int64_t>(timing->sink_usec),
                                    std::memory_order_relaxed);
    }
    if (monotonicUs() - that->m_timingAskedUs > 1e6) {
        that->m_timingAskedUs = monotonicUs();
        if (pa_operation* o = pa_stream_update_timing_info(stream, nullptr, nullptr))
            pa_operation_unref(o);
    }
    std::unique_lock<std::mutex> queueLock(that->m_queueMutex);
    // The stream's clock: when the first byte waiting now was played. Its last byte was
    // played about now, so the first was its length earlier; the clock follows that estimate
    // slowly and counts on by the bytes delivered, holes included, so that each packet's
    // time is exact relative to the others of the stream.
    if (that->m_bytesPerUs > 0 && bytes > 0) {
        const double estimate = monotonicUs() - static_cast<double>(bytes) / that->m_bytesPerUs;
        const double late = estimate - that->m_nextByteUs;
        if (that->m_nextByteUs == 0 || late > StallUs) {
            that->m_nextByteUs = estimate;
        } else {
            that->m_nextByteUs += late / ClockFollow;
        }
    }
    // `bytes` is all that waits, holes included, and nothing arrives while this runs on the
    // main loop thread; counting it down spares the peek that would only find the queue
    // empty. Whatever is left over is offered again with the next fragment.
    while (bytes > 0) {
        const void* data = nullptr;
        size_t peeked = 0;
        if (pa_stream_peek(stream, &data, &peeked) < 0 || peeked == 0) {
            break; // failed (the state callback tells), or nothing there and nothing to drop
        }
        // PipeWire begins a record stream with a quantum of zeros that nothing played; the
        // stream's real audio follows it and is dated after it. Digital silence at the very
        // start of a stream (at most 100 ms) is therefore dropped: a recording then begins
        // with what was played, and after a change of output the old output's last audio is
        // kept for that time instead of the new stream's filler.
        const auto* bytesIn = static_cast<const uint8_t*>(data);
        size_t skip = 0;
        if (that->m_leadBytes > 0) {
            const size_t limit = std::min(peeked, that->m_leadBytes);
            while (skip < limit && (!bytesIn || bytesIn[skip] == 0)) {
                ++skip;
            }
            skip -= skip % that->m_frameSize;
            that->m_leadBytes = skip == peeked ? that->m_leadBytes - skip : 0;
        }
        const double timeUs =
            that->m_bytesPerUs > 0 ? that->m_nextByteUs + skip / that->m_bytesPerUs : 0;
        if (skip < peeked && !that->m_applicationEnded) {
            try {
                // Null data is a hole: the server had nothing for this stretch, and it
                // becomes a silent packet.
                that->m_queue->push(bytesIn ? bytesIn + skip : nullptr, peeked - skip, timeUs);
            } catch (...) {
                that->m_outOfMemory = true;
            }
        }
        if (that->m_bytesPerUs > 0) {
            that->m_nextByteUs += static_cast<double>(peeked) / that->m_bytesPerUs;
        }
        pa_stream_drop(stream);
        bytes -= std::min(bytes, peeked);
    }
    // Called with the queue free, or the reader it wakes would first wait for it.
    // The server sends each piece the sink renders; the reader wakes once a fragment waits.
    const bool ready = that->m_dataSignal && that->m_queue->queuedBytes() >= that->m_signalBytes;
    queueLock.unlock();
    if (ready)
        that->m_dataSignal();
}

HRESULT PulseStream::setDataSignal(std::function<void()> signal) {
    if (m_direction != StreamDirection::Record) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    // The callbacks read it without the queue's lock: it is set only while they cannot run.
    MainloopLock lock(*m_connection);
    std::lock_guard<std::mutex> queueLock(m_queueMutex);
    if (m_started) {
        return AUDCLNT_E_NOT_STOPPED;
    }
    m_dataSignal = std::move(signal);
    return S_OK;
}

HRESULT PulseStream::failedStatus() const {
    // A recording needs to tell a vanished device, which another may replace, from a server
    // that stopped, which takes every device with it.
    return m_serverGone.load(std::memory_order_relaxed) ? AUDCLNT_E_SERVICE_NOT_RUNNING
                                                        : AUDCLNT_E_DEVICE_INVALIDATED;
}

bool PulseStream::isAlive() const {
    return m_connection->isAlive() && pa_stream_get_state(m_stream.get()) == PA_STREAM_READY;
}

HRESULT PulseStream::cork(bool corked) {
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    int success = 0;
    const bool done = m_connection->waitFor(
        OperationPtr(pa_stream_cork(m_stream.get(), corked ? 1 : 0, &onStreamSuccess, &success)));
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    return done && success ? S_OK : E_FAIL;
}

HRESULT PulseStream::start() {
    MainloopLock lock(*m_connection);
    if (m_started) {
        return AUDCLNT_E_NOT_STOPPED;
    }
    const HRESULT status = cork(false);
    if (status == S_OK) {
        m_started = true;
        if (m_direction == StreamDirection::Playback && m_settleAtUs == 0)
            m_settleAtUs = monotonicUs() + SettleUs;
    }
    return status;
}

void PulseStream::settleLatency() {
    // The stream joins an output asking for a short latency: joining with half a second
    // left a hole of a sixth of a second as a recording moved over to a new output. But the
    // sink renders, and its monitor wakes every recorder, that much more often for as long
    // as it lasts. Once settled, the sink is asked for the capture's fragment; the rest of
    // the buffer goes to requests.
    m_settleAtUs = -1;
    const pa_buffer_attr* granted = pa_stream_get_buffer_attr(m_stream.get());
    const pa_sample_spec* spec = pa_stream_get_sample_spec(m_stream.get());
    if (!granted || !spec)
        return;
    const uint64_t latencyBytes = pa_usec_to_bytes(
        uint64_t(std::chrono::microseconds(m_connection->fragment()).count()), spec);
    if (granted->tlength <= 2 * latencyBytes + 2 * m_frameSize)
        return;
    const uint32_t minreq =
        uint32_t((granted->tlength - 2 * latencyBytes) / 2 / m_frameSize * m_frameSize);
    if (minreq >= granted->minreq)
        return;
    pa_buffer_attr attr = *granted;
    attr.minreq = minreq;
    if (pa_operation* op = pa_stream_set_buffer_attr(m_stream.get(), &attr, nullptr, nullptr))
        pa_operation_unref(op);
}

HRESULT PulseStream::stop() {
    MainloopLock lock(*m_connection);
    if (!m_started) {
        return S_FALSE;
    }
    const HRESULT status = cork(true);
    if (status == S_OK) {
        m_started = false;
    }
    return status;
}

HRESULT PulseStream::writableFrames(uint32_t* frames) const {
    const size_t writable = pa_stream_writable_size(m_stream.get());
    if (writable == static_cast<size_t>(-1)) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    *frames = static_cast<uint32_t>(std::min<size_t>(writable / m_frameSize, m_bufferFrames));
    return S_OK;
}

HRESULT PulseStream::padding(uint32_t* frames) {
    if (!frames) {
        return E_POINTER;
    }
    *frames = 0;
    if (m_direction == StreamDirection::Record) {
        std::lock_guard<std::mutex> queueLock(m_queueMutex);
        if (m_failed.load(std::memory_order_acquire)) {
            return failedStatus();
        }
        *frames = static_cast<uint32_t>(m_queue->queuedBytes() / m_frameSize);
        return S_OK;
    }
    MainloopLock lock(*m_connection);
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    uint32_t writable = 0;
    const HRESULT status = writableFrames(&writable);
    if (status == S_OK) {
        *frames = m_bufferFrames - writable;
    }
    return status;
}

HRESULT PulseStream::nextPacketSize(uint32_t* frames) {
    if (!frames) {
        return E_POINTER;
    }
    *frames = 0;
    if (m_direction != StreamDirection::Record) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    std::lock_guard<std::mutex> queueLock(m_queueMutex);
    // What arrived before the stream ended was played: it is handed out first (a stream
    // that records an application ends with it, the application's last sound still queued).
    if (m_failed.load(std::memory_order_acquire) && m_queue->packetBytes() == 0) {
        return failedStatus();
    }
    if (std::exchange(m_outOfMemory, false)) {
        return E_OUTOFMEMORY;
    }
    *frames = static_cast<uint32_t>(m_queue->packetBytes() / m_frameSize);
    return S_OK;
}

HRESULT PulseStream::getPacket(uint8_t** data, uint32_t* frames, uint32_t* flags,
                               uint64_t* devicePosition, uint64_t* qpcPosition) {
    if (!data || !frames || !flags) {
        return E_POINTER;
    }
    *data = nullptr;
    *frames = 0;
    *flags = 0;
    if (m_direction != StreamDirection::Record) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    std::lock_guard<std::mutex> queueLock(m_queueMutex);
    if (m_queue->packetHandedOut()) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    if (m_failed.load(std::memory_order_acquire) && m_queue->packetBytes() == 0) {
        return failedStatus();
    }
    if (std::exchange(m_outOfMemory, false)) {
        return E_OUTOFMEMORY;
    }
    const size_t bytes = m_queue->packetBytes();
    if (bytes == 0) {
        return AUDCLNT_S_BUFFER_EMPTY;
    }
    const bool silent = m_queue->packetSilent();
    if (silent) {
        // The consumer may overwrite a silent packet with zeros; the bytes are zeros already.
        std::memset(m_queue->packetData(), 0, bytes);
    }
    *data = m_queue->packetData();
    *frames = static_cast<uint32_t>(bytes / m_frameSize);
    *flags = silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
    if (devicePosition) {
        *devicePosition = m_framesDelivered;
    }
    if (qpcPosition) {
        *qpcPosition = static_cast<uint64_t>(std::llround(m_queue->packetTimeUs() * 10));
    }
    m_queue->setPacketHandedOut(true);
    return S_OK;
}

HRESULT PulseStream::releasePacket(uint32_t frames) {
    if (m_direction != StreamDirection::Record) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    std::lock_guard<std::mutex> queueLock(m_queueMutex);
    if (m_failed.load(std::memory_order_acquire) && !m_queue->packetHandedOut()) {
        return failedStatus();
    }
    if (!m_queue->packetHandedOut()) {
        return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
    }
    const uint32_t packetFrames = static_cast<uint32_t>(m_queue->packetBytes() / m_frameSize);
    if (frames != 0 && frames != packetFrames) {
        return AUDCLNT_E_INVALID_SIZE;
    }
    if (frames == 0) {
        // The packet is handed out again by the next GetBuffer.
        m_queue->setPacketHandedOut(false);
        return S_OK;
    }
    m_queue->popPacket();
    m_framesDelivered += frames;
    return S_OK;
}

HRESULT PulseStream::getRenderBuffer(uint32_t frames, uint8_t** data) {
    if (!data) {
        return E_POINTER;
    }
    *data = nullptr;
    MainloopLock lock(*m_connection);
    if (m_direction != StreamDirection::Playback) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    if (m_renderHandedOut) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    uint32_t writable = 0;
    const HRESULT status = writableFrames(&writable);
    if (status != S_OK) {
        return status;
    }
    if (frames > writable) {
        return AUDCLNT_E_BUFFER_TOO_LARGE;
    }
    *data = m_renderBuffer.data();
    m_renderGranted = frames;
    m_renderHandedOut = true;
    return S_OK;
}

HRESULT PulseStream::releaseRenderBuffer(uint32_t frames, uint32_t flags) {
    MainloopLock lock(*m_connection);
    if (m_direction != StreamDirection::Playback) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    if (!m_renderHandedOut) {
        return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
    }
    if (frames > m_renderGranted) {
        return AUDCLNT_E_INVALID_SIZE;
    }
    m_renderHandedOut = false;
    m_renderGranted = 0;
    if (frames == 0) {
        return S_OK;
    }
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    const size_t bytes = size_t{frames} * m_frameSize;
    if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
        std::memset(m_renderBuffer.data(), 0, bytes);
    }
    // libpulse copies the data, so the buffer is free again on return.
    if (pa_stream_write(m_stream.get(), m_renderBuffer.data(), bytes, nullptr, 0,
                        PA_SEEK_RELATIVE) < 0) {
        return isAlive() ? E_FAIL : AUDCLNT_E_DEVICE_INVALIDATED;
    }
    if (m_settleAtUs > 0 && monotonicUs() >= m_settleAtUs)
        settleLatency();
    return S_OK;
}

HRESULT PulseStream::setVolume(float level) {
    if (!(level >= 0.0f && level <= 1.0f)) {
        return E_INVALIDARG;
    }
    MainloopLock lock(*m_connection);
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    pa_cvolume volume;
    pa_cvolume_set(&volume, m_channels, pa_sw_volume_from_linear(level));
    const uint32_t index = pa_stream_get_index(m_stream.get());
    pa_context* context = m_connection->context();
    int success = 0;
    const bool done = m_connection->waitFor(OperationPtr(
        m_direction == StreamDirection::Record
            ? pa_context_set_source_output_volume(context, index, &volume, &onSuccess, &success)
            : pa_context_set_sink_input_volume(context, index, &volume, &onSuccess, &success)));
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    return done && success ? S_OK : E_FAIL;
}

HRESULT PulseStream::setMute(bool mute) {
    MainloopLock lock(*m_connection);
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    const uint32_t index = pa_stream_get_index(m_stream.get());
    pa_context* context = m_connection->context();
    int success = 0;
    const bool done = m_connection->waitFor(OperationPtr(
        m_direction == StreamDirection::Record
            ? pa_context_set_source_output_mute(context, index, mute ? 1 : 0, &onSuccess, &success)
            : pa_context_set_sink_input_mute(context, index, mute ? 1 : 0, &onSuccess, &success)));
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    return done && success ? S_OK : E_FAIL;
}

} // namespace audio::pulse
