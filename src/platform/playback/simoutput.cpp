#include "simoutput.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace playback {

/// State is guarded by the device's mutex.
class SimOutputStream final : public OutputStream {
public:
    SimOutputStream(SimOutputDevice& device, const OutputFormat& format, std::function<void()> wake)
        : m_device(device), m_channels(format.channels), m_volume(format.volume),
          m_paused(format.paused), m_wake(std::move(wake)) {}

    ~SimOutputStream() override {
        std::lock_guard lock(m_device.m_mutex);
        if (m_device.m_current == this) {
            m_device.m_current = nullptr;
        }
        m_device.m_changed.notify_all();
    }

    int64_t writableFrames() override {
        std::lock_guard lock(m_device.m_mutex);
        return m_device.m_bufferFrames - static_cast<int64_t>(m_queue.size()) / m_channels;
    }

    void write(const int16_t* samples, int64_t frames) override {
        std::lock_guard lock(m_device.m_mutex);
        m_queue.insert(m_queue.end(), samples, samples + frames * m_channels);
        m_written += frames;
        m_device.m_changed.notify_all();
    }

    void drain() override {
        std::lock_guard lock(m_device.m_mutex);
        m_drained = true;
        m_device.m_changed.notify_all();
    }

    void setPaused(bool paused) override {
        std::lock_guard lock(m_device.m_mutex);
        if (paused && !m_paused && m_device.m_current == this) {
            const int64_t queued = static_cast<int64_t>(m_queue.size()) / m_channels;
            const int64_t overshoot = std::min(m_device.m_pauseOvershoot, queued);
            if (overshoot > 0) {
                m_device.runClock(*this, overshoot, true);
            }
        }
        m_paused = paused;
        m_device.m_changed.notify_all();
    }

    int64_t heardFrames() const override {
        std::lock_guard lock(m_device.m_mutex);
        return m_heardFrames;
    }

    void setVolume(float volume) override {
        std::lock_guard lock(m_device.m_mutex);
        m_volume = volume;
    }

    SimOutputDevice& m_device;
    const int m_channels;
    float m_volume;
    bool m_paused;
    bool m_drained = false;
    std::function<void()> m_wake;
    std::deque<int16_t> m_queue;
    // The latency line: what left the buffer and is on its way to the listener.
    std::deque<SimOutputDevice::Segment> m_line;
    // Samples on the latency line, in order, already scaled by the volume at their exit.
    std::deque<int16_t> m_lineSamples;
    int64_t m_lineFrames = 0;
    int64_t m_written = 0;
    int64_t m_heardFrames = 0;
};

SimOutputDevice::SimOutputDevice(int64_t bufferFrames, int64_t latencyFrames)
    : m_bufferFrames(bufferFrames), m_latency(latencyFrames) {}

SimOutputDevice::~SimOutputDevice() = default;

std::unique_ptr<OutputStream> SimOutputDevice::openStream(const OutputFormat& format,
                                                          std::function<void()> wake) {
    std::lock_guard lock(m_mutex);
    if (m_failNext) {
        m_failNext = false;
        return nullptr;
    }
    auto stream = std::make_unique<SimOutputStream>(*this, format, std::move(wake));
    m_current = stream.get();
    ++m_opened;
    m_changed.notify_all();
    return stream;
}

bool SimOutputDevice::advance(int64_t frames) {
    std::function<void()> wake;
    std::unique_lock lock(m_mutex);
    while (frames > 0) {
        SimOutputStream* s = m_current;
        if (!s || s->m_paused) {
            return false;
        }
        const int64_t queued = static_cast<int64_t>(s->m_queue.size()) / s->m_channels;
        if (queued == 0 && !s->m_drained) {
            // Let the engine refill; a generous guard keeps a broken engine from hanging us.
            wake = s->m_wake;
            lock.unlock();
            wake();
            lock.lock();
            const bool fed = m_changed.wait_for(lock, std::chrono::seconds(20), [&] {
                return m_current != s || s->m_paused || s->m_drained || !s->m_queue.empty();
            });
            if (!fed) {
                return false;
            }
            continue;
        }
        // Frames leave the buffer (or silence, once drained) and enter the latency line.
        const int64_t step = queued > 0 ? std::min(frames, queued) : frames;
        runClock(*s, step, queued > 0);
        frames -= step;
    }
    if (m_current) {
        wake = m_current->m_wake;
        lock.unlock();
        wake();
    }
    return true;
}

void SimOutputDevice::runClock(SimOutputStream& s, int64_t frames, bool real) {
    s.m_line.push_back({frames, real});
    s.m_lineFrames += frames;
    if (real) {
        auto end = s.m_queue.begin() + frames * s.m_channels;
        s.m_lineSamples.insert(s.m_lineSamples.end(), s.m_queue.begin(), end);
        s.m_queue.erase(s.m_queue.begin(), end);
    }
    // What has been on the line longer than the latency is heard.
    while (s.m_lineFrames > m_latency) {
        Segment& front = s.m_line.front();
        const int64_t out = std::min(front.frames, s.m_lineFrames - m_latency);
        if (front.real) {
            for (int64_t i = 0; i < out * s.m_channels; ++i) {
                const float v = static_cast<float>(s.m_lineSamples.front()) * s.m_volume;
                m_heard.push_back(static_cast<int16_t>(std::lround(v)));
                s.m_lineSamples.pop_front();
            }
            s.m_heardFrames += out;
        }
        front.frames -= out;
        s.m_lineFrames -= out;
        if (front.frames == 0) {
            s.m_line.pop_front();
        }
    }
}

void SimOutputDevice::setPauseOvershoot(int64_t frames) {
    std::lock_guard lock(m_mutex);
    m_pauseOvershoot = std::max<int64_t>(frames, 0);
}

void SimOutputDevice::failNextOpen() {
    std::lock_guard lock(m_mutex);
    m_failNext = true;
}

std::vector<int16_t> SimOutputDevice::heard() const {
    std::lock_guard lock(m_mutex);
    return m_heard;
}

int SimOutputDevice::streamsOpened() const {
    std::lock_guard lock(m_mutex);
    return m_opened;
}

} // namespace playback
