#pragma once

#include "outputdevice.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace playback {

class SimOutputStream;

/// A scripted output device for tests: its clock moves only when advance() is called, and
/// a frame is heard a fixed number of frames (the latency) after it left the buffer. What
/// is heard, with the volume applied, is recorded.
///
/// Threads: every function may be called on any thread; one mutex guards the state.
class SimOutputDevice final : public OutputDevice {
public:
    SimOutputDevice(int64_t bufferFrames, int64_t latencyFrames);
    ~SimOutputDevice() override;

    std::unique_ptr<OutputStream> openStream(const OutputFormat& format,
                                             std::function<void()> wake) override;

    /// Runs the clock of the newest open stream for `frames` frames, unless it is paused.
    /// Frames missing from the buffer are waited for (the engine refills it as the clock
    /// runs); once the stream is drained, the clock goes on with silence. Returns false
    /// when there is no running stream or the engine stopped feeding it (hang guard).
    bool advance(int64_t frames);
    /// Makes the next openStream() fail.
    void failNextOpen();
    /// From now on the clock runs up to `frames` more frames of what is queued when a stream
    /// is paused, as a sound server's clock does while the pause takes effect.
    void setPauseOvershoot(int64_t frames);

    /// Samples heard so far over all streams, volume applied, interleaved.
    std::vector<int16_t> heard() const;
    int streamsOpened() const;
    int64_t latencyFrames() const { return m_latency; }

private:
    friend class SimOutputStream;

    struct Segment {
        int64_t frames;
        bool real;
    };

    /// Moves `frames` frames out of the stream's buffer (silence when `real` is false) and
    /// hears what has passed the latency. Called with m_mutex held.
    void runClock(SimOutputStream& s, int64_t frames, bool real);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    const int64_t m_bufferFrames;
    const int64_t m_latency;
    SimOutputStream* m_current = nullptr;
    bool m_failNext = false;
    int64_t m_pauseOvershoot = 0;
    int m_opened = 0;
    std::vector<int16_t> m_heard;
};

} // namespace playback
