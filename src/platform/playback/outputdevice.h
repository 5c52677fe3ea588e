#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace playback {

/// One connection of a decoded stream to the output: 16-bit interleaved frames go in, and it
/// tells how many of them have been heard. A new one is opened after every seek or stop, so
/// its counts start at zero.
///
/// Threads: the engine thread creates, feeds and destroys it. heardFrames() and setVolume()
/// may also be called on the window thread while the engine thread feeds it; they never wait
/// for a reply from the sound server.
class OutputStream {
public:
    virtual ~OutputStream() = default;

    /// Engine thread: frames write() accepts now without blocking.
    virtual int64_t writableFrames() = 0;
    /// Engine thread: queues `frames` frames; never more than writableFrames().
    virtual void write(const int16_t* samples, int64_t frames) = 0;
    /// Engine thread: no more frames will come; plays out what is queued.
    virtual void drain() = 0;
    /// Engine thread: stops (true) or resumes (false) the clock, keeping what is queued.
    virtual void setPaused(bool paused) = 0;
    /// Any thread: frames written so far that have reached the listener (latency included).
    /// Never decreases and never exceeds the frames written.
    virtual int64_t heardFrames() const = 0;
    /// Any thread: linear volume 0.0 .. 1.0 of what is heard from now on.
    virtual void setVolume(float volume) = 0;
};

struct OutputFormat {
    int sampleRate = 0;
    int channels = 0;
    float volume = 1.0f;
    bool paused = false;
};

/// Where streams are played: the sound server, or a simulation for tests.
class OutputDevice {
public:
    virtual ~OutputDevice() = default;

    /// Engine thread. `wake` is called (on any thread, possibly with the device's own locks
    /// held) whenever the stream wants more data or has heard more; it must only signal.
    /// Null when the device cannot play this format or is not there.
    virtual std::unique_ptr<OutputStream> openStream(const OutputFormat& format,
                                                     std::function<void()> wake) = 0;
};

} // namespace playback
