#pragma once

#include <QString>

#include <cstdint>
#include <functional>

/// Handle of a playback stream; 0 means no stream. Every call on handle 0 does nothing.
using PlayStream = uint32_t;

enum class PlaybackState { Stopped = 0, Playing = 1, Paused = 3 };

struct PlaybackInfo {
    int32_t sampleRate = 0;
    int32_t channels = 0;
    QString file;
};

/// Plays recorded files. Byte lengths and positions are of the decoded 16-bit PCM.
/// Window thread only, except that onEnd is called on the engine's own thread.
class PlaybackEngine {
public:
    virtual ~PlaybackEngine() = default;

    virtual bool init() = 0;
    virtual void free() = 0;
    /// Opens a file; 0 when it cannot be opened. Only regular files are opened, and never
    /// by waiting (a pipe named like a recording is refused at once).
    virtual PlayStream open(const QString& file) = 0;
    /// Why the last open() returned 0, as a sentence for the user; empty when not known.
    virtual QString openError() const { return {}; }
    virtual void play(PlayStream s, bool restart) = 0;
    virtual void pause(PlayStream s) = 0;
    virtual void stop(PlayStream s) = 0;
    virtual void freeStream(PlayStream s) = 0;
    /// Stopped, playing or paused (non-zero while playing or paused).
    virtual PlaybackState state(PlayStream s) const = 0;
    virtual int64_t length(PlayStream s) const = 0;
    virtual int64_t position(PlayStream s) const = 0;
    virtual double bytesToSeconds(PlayStream s, int64_t bytes) const = 0;
    virtual void setPosition(PlayStream s, int64_t bytes) = 0;
    /// Linear volume 0.0 .. 1.0.
    virtual void setVolume(PlayStream s, float volume) = 0;
    /// Up to `size` bytes of the 16-bit samples being heard now; returns the count.
    virtual int32_t data(PlayStream s, void* buffer, int32_t size) = 0;
    virtual PlaybackInfo info(PlayStream s) const = 0;

    /// Called once per natural end of a stream, on the engine's thread.
    std::function<void(PlayStream)> onEnd;
};

/// Stands in until a real engine exists: opens nothing, so every stream is 0.
class NullPlaybackEngine final : public PlaybackEngine {
public:
    bool init() override { return true; }
    void free() override {}
    PlayStream open(const QString&) override { return 0; }
    void play(PlayStream, bool) override {}
    void pause(PlayStream) override {}
    void stop(PlayStream) override {}
    void freeStream(PlayStream) override {}
    PlaybackState state(PlayStream) const override { return PlaybackState::Stopped; }
    int64_t length(PlayStream) const override { return 0; }
    int64_t position(PlayStream) const override { return 0; }
    double bytesToSeconds(PlayStream, int64_t) const override { return 0.0; }
    void setPosition(PlayStream, int64_t) override {}
    void setVolume(PlayStream, float) override {}
    int32_t data(PlayStream, void*, int32_t) override { return 0; }
    PlaybackInfo info(PlayStream) const override { return {}; }
};
