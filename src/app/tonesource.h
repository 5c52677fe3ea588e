#pragma once

#include "capture/capturethreads.h"

/// Capture threads that produce a generated tone instead of reading a sound device, in
/// 30 ms blocks at the pace of real time. Used by the demonstration program.
class ToneThreadFactory final : public CaptureThreadFactory {
public:
    explicit ToneThreadFactory(WindowThreadHandoff& handoff, double frequency = 440.0)
        : m_handoff(handoff), m_frequency(frequency) {}

    std::unique_ptr<CaptureThread> createCaptureThread(TWASAPISource& owner,
                                                       const TDataEvent& event,
                                                       const tWAVEFORMATEX& format) override;
    std::unique_ptr<RenderThread> createRenderThread(TWASAPISource& owner) override;

private:
    WindowThreadHandoff& m_handoff;
    double m_frequency;
};
