#include "pulsestream.h"

#include <pulse/def.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/volume.h>

#include <algorithm>
#include <chrono>
#include <cstring>

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

uint64_t performanceCounter() {
    // 100-ns units of a monotonic clock, as the position's second value is counted.
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(now)
            .count());
}

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
    pa_stream_set_state_callback(s, &PulseConnection::signalStream, connection.get());

    const uint32_t unset = static_cast<uint32_t>(-1);
    pa_buffer_attr attr{unset, unset, unset, unset, unset};
    const uint32_t bytesPerSecond = static_cast<uint32_t>(pa_bytes_per_second(&setup.spec));
    int connected = -1;
    if (setup.direction == StreamDirection::Record) {
        // Without a small fragment size the server collects two seconds before it sends.
        // 30 ms makes each fragment one captured block (the capture thread cuts a block once
        // more than 25 ms has gathered) with a third of the wake-ups that 10 ms would cost.
        attr.maxlength = setup.bufferBytes;
        attr.fragsize =
            std::max(result->m_frameSize,
                     bytesPerSecond * 3 / 100 / result->m_frameSize * result->m_frameSize);
        // DONT_MOVE: since PulseAudio 14 the server moves a stream whose device vanished to
        // another one, even a microphone, and the recording would go on from it unnoticed.
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_START_CORKED);
        connected = pa_stream_connect_record(s, setup.device.c_str(), &attr, flags);
    } else {
        attr.tlength = setup.bufferBytes;
        // Requests of 100 ms keep the padding close enough to what is really queued for a
        // stream topped up a few times a second, without waking this process 50 times a
        // second for it.
        attr.minreq = std::max(result->m_frameSize,
                               bytesPerSecond / 10 / result->m_frameSize * result->m_frameSize);
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_START_CORKED);
        connected =
            pa_stream_connect_playback(s, setup.device.c_str(), &attr, flags, nullptr, nullptr);
    }
    if (connected < 0 || !connection->waitUntilReady(s)) {
        const HRESULT status = openFailure(*connection);
        pa_stream_set_state_callback(s, nullptr, nullptr);
        return status;
    }

    const pa_buffer_attr* granted = pa_stream_get_buffer_attr(s);
    const uint32_t bufferBytes =
        !granted
            ? setup.bufferBytes
            : (setup.direction == StreamDirection::Record ? granted->maxlength : granted->tlength);
    result->m_bufferFrames = bufferBytes / result->m_frameSize;
    if (setup.direction == StreamDirection::Record) {
        // A second of audio: more than any fragment of a healthy stream, so the capture thread
        // does not allocate.
        result->m_pending.reserve(bytesPerSecond);
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
    pa_stream_set_state_callback(m_stream.get(), nullptr, nullptr);
    if (pa_stream_get_state(m_stream.get()) == PA_STREAM_READY) {
        pa_stream_disconnect(m_stream.get());
    }
    m_stream.reset();
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
    }
    return status;
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
    MainloopLock lock(*m_connection);
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    if (m_direction == StreamDirection::Record) {
        const size_t readable = pa_stream_readable_size(m_stream.get());
        if (readable == static_cast<size_t>(-1)) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        *frames = static_cast<uint32_t>((readable + m_pending.size()) / m_frameSize);
        return S_OK;
    }
    uint32_t writable = 0;
    const HRESULT status = writableFrames(&writable);
    if (status == S_OK) {
        *frames = m_bufferFrames - writable;
    }
    return status;
}

HRESULT PulseStream::preparePacket() {
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    while (m_packetBytes == 0) {
        if (m_pending.size() >= m_frameSize) {
            m_packetBytes = m_pending.size() / m_frameSize * m_frameSize;
            break;
        }
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(m_stream.get(), &data, &bytes) < 0) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        if (bytes == 0) {
            break; // nothing waiting (and nothing to drop)
        }
        // The fragment is copied and dropped at once; see the header for why.
        try {
            if (data) {
                m_pendingSilent = false;
                const auto* begin = static_cast<const uint8_t*>(data);
                m_pending.insert(m_pending.end(), begin, begin + bytes);
            } else {
                // A hole: the server had nothing for this stretch. It becomes a silent packet.
                if (m_pending.empty()) {
                    m_pendingSilent = true;
                }
                m_pending.resize(m_pending.size() + bytes, 0);
            }
        } catch (...) {
            pa_stream_drop(m_stream.get());
            return E_OUTOFMEMORY;
        }
        pa_stream_drop(m_stream.get());
    }
    return S_OK;
}

HRESULT PulseStream::nextPacketSize(uint32_t* frames) {
    if (!frames) {
        return E_POINTER;
    }
    *frames = 0;
    MainloopLock lock(*m_connection);
    if (m_direction != StreamDirection::Record) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    const HRESULT status = preparePacket();
    if (status == S_OK) {
        *frames = static_cast<uint32_t>(m_packetBytes / m_frameSize);
    }
    return status;
}

HRESULT PulseStream::getPacket(uint8_t** data, uint32_t* frames, uint32_t* flags,
                               uint64_t* devicePosition, uint64_t* qpcPosition) {
    if (!data || !frames || !flags) {
        return E_POINTER;
    }
    *data = nullptr;
    *frames = 0;
    *flags = 0;
    MainloopLock lock(*m_connection);
    if (m_direction != StreamDirection::Record) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    if (m_packetHandedOut) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    const HRESULT status = preparePacket();
    if (status != S_OK) {
        return status;
    }
    if (m_packetBytes == 0) {
        return AUDCLNT_S_BUFFER_EMPTY;
    }
    if (m_pendingSilent) {
        // The consumer may overwrite a silent packet with zeros; the bytes are zeros already.
        std::memset(m_pending.data(), 0, m_packetBytes);
    }
    *data = m_pending.data();
    *frames = static_cast<uint32_t>(m_packetBytes / m_frameSize);
    *flags = m_pendingSilent ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
    if (devicePosition) {
        *devicePosition = m_framesDelivered;
    }
    if (qpcPosition) {
        *qpcPosition = performanceCounter();
    }
    m_packetHandedOut = true;
    return S_OK;
}

HRESULT PulseStream::releasePacket(uint32_t frames) {
    MainloopLock lock(*m_connection);
    if (m_direction != StreamDirection::Record) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    if (!isAlive()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }
    if (!m_packetHandedOut) {
        return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
    }
    const uint32_t packetFrames = static_cast<uint32_t>(m_packetBytes / m_frameSize);
    if (frames != 0 && frames != packetFrames) {
        return AUDCLNT_E_INVALID_SIZE;
    }
    m_packetHandedOut = false;
    if (frames == 0) {
        return S_OK; // the packet is handed out again by the next GetBuffer
    }
    // Only a partial frame, fewer bytes than one frame, can be left behind.
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<ptrdiff_t>(m_packetBytes));
    m_packetBytes = 0;
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
