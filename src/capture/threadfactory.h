#pragma once

#include "capturethreads.h"

#include "platform/audio/audioplatform.h"

class WindowThreadHandoff;

/// Makes the capture and silent render threads over an audio engine.
///
/// Threads: the window thread (the capture source calls it). The hand-off and the engine
/// must outlive every thread made.
class AudioThreadFactory final : public CaptureThreadFactory {
public:
    AudioThreadFactory(WindowThreadHandoff& handoff, audio::AudioEngine& engine)
        : m_handoff(handoff), m_engine(engine) {}

    std::unique_ptr<CaptureThread> createCaptureThread(TWASAPISource& owner,
                                                       const TDataEvent& event,
                                                       const tWAVEFORMATEX& format) override;
    std::unique_ptr<RenderThread> createRenderThread(TWASAPISource& owner) override;

private:
    WindowThreadHandoff& m_handoff;
    audio::AudioEngine& m_engine;
};
