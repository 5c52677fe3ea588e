#pragma once

#include "outputdevice.h"
#include "playbackengine.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace playback {

/// Plays files decoded with libsndfile on an OutputDevice. Decoding and feeding the output
/// run on the engine's own thread, started by init() and ended by free(); the calls of the
/// PlaybackEngine interface only exchange state with it under a short-held mutex, so the
/// window thread never waits for decoding or for the sound server. Opening a file reads its
/// header on the calling thread; only regular files are opened, so that never waits for a
/// writer.
///
/// Threads: everything on the window thread (one thread), except onEnd, which runs on the
/// engine thread without any lock held. Set onEnd before the first open().
class StreamPlaybackEngine final : public PlaybackEngine {
public:
    explicit StreamPlaybackEngine(std::unique_ptr<OutputDevice> device);
    ~StreamPlaybackEngine() override;
    StreamPlaybackEngine(const StreamPlaybackEngine&) = delete;
    StreamPlaybackEngine& operator=(const StreamPlaybackEngine&) = delete;

    bool init() override;
    void free() override;
    PlayStream open(const QString& file) override;
    QString openError() const override { return m_openError; }
    void play(PlayStream s, bool restart) override;
    void pause(PlayStream s) override;
    void stop(PlayStream s) override;
    void freeStream(PlayStream s) override;
    PlaybackState state(PlayStream s) const override;
    int64_t length(PlayStream s) const override;
    int64_t position(PlayStream s) const override;
    double bytesToSeconds(PlayStream s, int64_t bytes) const override;
    void setPosition(PlayStream s, int64_t bytes) override;
    void setVolume(PlayStream s, float volume) override;
    int32_t data(PlayStream s, void* buffer, int32_t size) override;
    PlaybackInfo info(PlayStream s) const override;

    /// Waits until the engine thread has acted on every earlier call (opened or paused the
    /// output, refilled it). For tests, which then drive a simulated clock exactly.
    void sync();

private:
    struct Stream;

    Stream* find(PlayStream s) const;
    int64_t positionFrames(const Stream& stream) const;
    void reposition(Stream& stream, int64_t frame);
    void wake();
    void run();
    bool service(const std::shared_ptr<Stream>& stream,
                 std::vector<std::unique_ptr<OutputStream>>& retired, bool& ended);

    std::unique_ptr<OutputDevice> m_device;
    QString m_openError; // window thread only

    // Guards the streams and their shared fields. Taken before any lock of the output.
    mutable std::mutex m_mutex;
    std::map<PlayStream, std::shared_ptr<Stream>> m_streams;
    // Freed streams whose output the engine thread has still to close.
    std::vector<std::shared_ptr<Stream>> m_dying;
    PlayStream m_lastHandle = 0;

    // A leaf lock: the output's callbacks take it, holding their own locks, to wake the
    // engine thread.
    std::mutex m_wakeMutex;
    std::condition_variable m_wakeCv;
    std::condition_variable m_syncCv;
    bool m_wakePending = false;
    bool m_quit = false;
    uint64_t m_syncRequested = 0;
    uint64_t m_syncDone = 0;

    std::thread m_thread;
};

} // namespace playback
