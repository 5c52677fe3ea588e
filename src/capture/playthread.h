#pragma once

#include "capturethreads.h"

#include "platform/audio/audioplatform.h"

#include <cstdint>
#include <memory>

/// Plays silence into an output endpoint for as long as it is captured by loopback, so that
/// the loopback stream keeps delivering packets while nothing else plays.
///
/// Threads: constructor, destructor, Init and `card`: the window thread, before start().
/// The body runs on its own thread and shares nothing with other threads; `started` may be
/// read on the window thread once finished() is true.
class TPlayThread final : public RenderThread {
public:
    TPlayThread(WindowThreadHandoff& handoff, audio::AudioEngine& engine);
    ~TPlayThread() override;

    /// Opens endpoint `card` and fills its whole render buffer with silence (not started);
    /// the outcome is left in `started`.
    void Init() override;

    /// Pause between top-ups in ms: a sixth of the render buffer's duration.
    uint32_t sleeptime() const { return m_sleeptime; }

protected:
    void execute() override;

private:
    int32_t InitAudioClient();

    audio::AudioEngine& m_engine;
    audio::HRESULT hr = 0;
    std::unique_ptr<audio::IMMDeviceEnumerator> pEnumerator;
    std::unique_ptr<audio::IMMDevice> pDevice;
    std::unique_ptr<audio::IAudioClient> pAudioClient;
    std::unique_ptr<audio::IAudioRenderClient> pRenderClient;
    audio::WaveFormatExtensible pWfx;
    uint32_t BufferFrameCount = 0;
    int64_t hnsRequestedDuration = 0;
    int64_t hnsActualDuration = 0;
    uint32_t m_sleeptime = 0;
};
