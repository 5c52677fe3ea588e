#include "tonesource.h"

#include "capture/blockqueue.h"
#include "capture/capturegain.h"
#include "capture/wasapisource.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

class ToneCaptureThread final : public CaptureThread {
public:
    ToneCaptureThread(WindowThreadHandoff& handoff, TWASAPISource& owner, uint32_t rate,
                      double frequency)
        : CaptureThread(handoff), m_owner(owner), m_rate(rate), m_frequency(frequency) {}
    ~ToneCaptureThread() override {
        terminate();
        waitFor();
    }

    int32_t Init() override { return 0; }

protected:
    void execute() override {
        if (started != 0)
            return;
        const uint32_t frames = m_rate * 30 / 1000;
        std::vector<int16_t> block(frames * 2);
        uint64_t position = 0;
        while (!sleepFor(30)) {
            const float gain = captureGain();
            for (uint32_t i = 0; i < frames; ++i, ++position) {
                const double phase =
                    2.0 * std::numbers::pi * m_frequency * static_cast<double>(position) / m_rate;
                const double value = std::clamp(0.5 * gain * std::sin(phase), -1.0, 1.0);
                const auto sample = static_cast<int16_t>(std::lround(value * 32767.0));
                block[2 * i] = sample;
                block[2 * i + 1] = sample;
            }
            m_owner.queueBlock(
                makeCapturedBlock(block.data(), static_cast<int32_t>(block.size() * 2)));
        }
    }

private:
    TWASAPISource& m_owner;
    uint32_t m_rate;
    double m_frequency;
};

class SilentRenderThread final : public RenderThread {
public:
    using RenderThread::RenderThread;
    ~SilentRenderThread() override {
        terminate();
        waitFor();
    }
    void Init() override { started = 0; }

protected:
    void execute() override {}
};

} // namespace

std::unique_ptr<CaptureThread> ToneThreadFactory::createCaptureThread(TWASAPISource& owner,
                                                                      const TDataEvent&,
                                                                      const tWAVEFORMATEX& format) {
    return std::make_unique<ToneCaptureThread>(m_handoff, owner, format.nSamplesPerSec,
                                               m_frequency);
}

std::unique_ptr<RenderThread> ToneThreadFactory::createRenderThread(TWASAPISource&) {
    return std::make_unique<SilentRenderThread>(m_handoff);
}
