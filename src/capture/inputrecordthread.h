#pragma once

#include "capturethreads.h"

#include "common/waveformat.h"
#include "platform/audio/audioplatform.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

class TWASAPISource;

/// Captures one endpoint in shared mode (an output endpoint by loopback) and queues its
/// audio into the owner's queue in blocks of a little over 25 ms, as 16-bit stereo at the
/// rate of the recording's PCM format: the stream is opened at that rate (the server
/// resamples), and channels beyond two are mixed down by their speaker positions.
///
/// An output endpoint captured by loopback is followed: when it goes away, or when it was
/// the default output and another one becomes the default, capture goes on on the new
/// default output, opened at the rate of the recording's PCM format (the server resamples).
/// The old stream is read on until the new one delivers, and the time between the old
/// stream's last frame and the new stream's first, by the streams' own clocks, is queued as
/// silence, so that the recording's timeline stays true. Only when no output is
/// left does the body end with the failure of the old stream.
///
/// Threads: constructor, destructor, Init and the settable fields: the window thread,
/// before start(). The body runs on its own thread and uses the engine objects opened by
/// Init; it shares with other threads only the owner's queue and the capture gain.
class TInputRecordThread final : public CaptureThread {
public:
    TInputRecordThread(WindowThreadHandoff& handoff, TWASAPISource& AOwner, TDataEvent Event,
                       const tWAVEFORMATEX& Format, audio::AudioEngine& engine);
    ~TInputRecordThread() override;

    /// Opens endpoint `card` and initialises its stream (not started). 0 on success; -1
    /// when the endpoint is disabled, not present or unplugged; -960 when its mix format is
    /// not floating point; otherwise the failing status. errmsg describes the failure.
    int32_t Init() override;
    void changeApplication(const QString& wanted) override;

    /// Polling interval of the body in ms.
    uint32_t sleeptime() const { return m_sleeptime; }
    /// The format the stream was opened in: the endpoint's mix format at the recording's
    /// rate.
    const audio::WaveFormatExtensible& mixFormat() const { return pWfx; }

protected:
    void execute() override;

private:
    enum class Follow { Switched, Kept, Failed };
    enum class SwitchReason { Invalidated, DefaultChanged };
    /// The engine objects of one open stream.
    struct OpenStream {
        std::unique_ptr<audio::IMMDevice> device;
        std::unique_ptr<audio::IAudioClient> client;
        std::unique_ptr<audio::IAudioCaptureClient> capture;
        std::unique_ptr<audio::ISimpleAudioVolume> volume;
        audio::WaveFormatExtensible format;
        uint32_t frameSize = 0;
        uint32_t bufferFrames = 0;
    };

    int32_t InitAudioClient(uint32_t requestedRate = 0);
    /// The id of the default output; empty when there is none or it cannot be read.
    QString defaultOutputId(std::unique_ptr<audio::IMMDevice>* device = nullptr);
    /// Opens and starts a stream on `device` (the default output, `id`) in place of the
    /// current one. Switched: the current stream is the new one, and the old one, still
    /// running, is in `previous`. Kept: the device could not be opened; the old stream is
    /// untouched. Failed: the new stream could not be started; errmsg and the return value
    /// are set.
    Follow switchToDefault(std::unique_ptr<audio::IMMDevice> device, const QString& id,
                           OpenStream* previous);
    /// Has the window thread record the endpoint now captured and tell the source.
    void announceDevice(const QString& id);
    /// The stream of `application` now playing; false when there is none.
    bool findApplication(audio::PlayingApplication* found);
    /// Tells the source (on the window thread) that the application is gone or back.
    void announceApplication(bool waiting);

    /// The engine said that the outputs or the default may have changed (any thread).
    /// Declared before the enumerator that calls it, so that it outlives it.
    std::atomic<bool> m_outputsChanged{false};
    audio::AudioEngine& m_engine;
    TDataEvent OwnerEvent;
    TWASAPISource& Owner;
    tWAVEFORMATEX fPCM;

    std::unique_ptr<audio::IMMDeviceEnumerator> MMDevEnum;
    std::unique_ptr<audio::IMMDevice> MMDev;
    std::unique_ptr<audio::IAudioClient> AudioClient;
    std::unique_ptr<audio::IAudioCaptureClient> CaptureClient;
    std::unique_ptr<audio::ISimpleAudioVolume> VolumeClient;

    int64_t hnsRequestedDuration = 0;
    audio::WaveFormatExtensible pWfx;
    uint32_t BufferFrameCount = 0;
    uint32_t StreamFlags = 0;
    uint32_t FrameSize = 0;
    uint32_t State = 0;
    uint32_t m_sleeptime = 100;
    /// The stream wakes the body when data arrives (SetEventHandle).
    bool m_eventDriven = false;
    /// The application stream recorded, when one application is.
    std::optional<uint32_t> m_appStream;
    QString m_appName; ///< its name, as the application gives it
    /// Init found no stream of the application: the body starts waiting for it.
    bool m_startWaiting = false;
    /// changeApplication's choice, taken up by the body.
    std::mutex m_changeMutex;
    QString m_changedApplication;
    std::atomic<bool> m_applicationChanged{false};
};
