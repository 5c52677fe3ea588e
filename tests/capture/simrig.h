#pragma once

// The capture source over the real capture and render threads and the scripted engine,
// with what it delivers recorded.

#include "fakecapture.h"

#include "capture/formats.h"
#include "capture/threadfactory.h"
#include "capture/wasapisource.h"
#include "common/clock.h"
#include "common/handoff.h"
#include "platform/audio/sim/simengine.h"

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

/// Interleaved float samples of `frames` frames whose values are all different and exactly
/// representable after conversion: sample i of the whole stream is ((first + i) % 2001 -
/// 1000) / 1024.
inline std::vector<float> rampSamples(uint32_t first, uint32_t frames, uint16_t channels) {
    std::vector<float> samples(size_t{frames} * channels);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(static_cast<int>((first + i) % 2001) - 1000) / 1024.0f;
    return samples;
}

/// The 16-bit value of a float sample at unity gain.
inline int16_t pcmOf(float x) {
    int16_t y = 0;
    FloatToPcm16(&x, &y, 1);
    return y;
}

inline audio::SimEndpoint simEndpoint(const QString& id, int flow, const QString& card,
                                      const QString& name, uint32_t rate = 48000,
                                      uint16_t channels = 2) {
    audio::SimEndpoint e;
    e.id = id;
    e.dataFlow = flow;
    e.cardName = card;
    e.endpointName = name;
    e.mixFormat = audio::SimEngine::floatFormat(rate, channels);
    return e;
}

/// The real threads, with the last ones made kept in view.
class TrackingFactory final : public CaptureThreadFactory {
public:
    TrackingFactory(WindowThreadHandoff& handoff, audio::AudioEngine& engine)
        : m_threads(handoff, engine) {}

    std::unique_ptr<CaptureThread> createCaptureThread(TWASAPISource& owner,
                                                       const TDataEvent& event,
                                                       const tWAVEFORMATEX& format) override {
        auto thread = m_threads.createCaptureThread(owner, event, format);
        lastCapture = thread.get();
        return thread;
    }
    std::unique_ptr<RenderThread> createRenderThread(TWASAPISource& owner) override {
        auto thread = m_threads.createRenderThread(owner);
        lastRender = thread.get();
        return thread;
    }

    CaptureThread* lastCapture = nullptr; ///< valid until the source's next stop
    RenderThread* lastRender = nullptr;

private:
    AudioThreadFactory m_threads;
};

struct SimRig {
    SimRig() {
        source.setAudioEngine(&engine);
        source.OnData = [this](TWASAPISource* sender, const void* data, int32_t size) {
            EXPECT_EQ(sender, &source);
            if (size < 0) {
                EXPECT_EQ(data, nullptr);
                events.push_back(QStringLiteral("end"));
                return;
            }
            std::vector<int16_t> block(static_cast<size_t>(size) / 2);
            if (size > 0)
                std::memcpy(block.data(), data, static_cast<size_t>(size));
            blocks.push_back(std::move(block));
        };
        source.OnError = [this](TWASAPISource*, const QString& text) {
            events.push_back(QStringLiteral("error: ") + text);
        };
    }
    ~SimRig() { source.stop(); }

    /// All delivered samples in order.
    std::vector<int16_t> samples() const {
        std::vector<int16_t> all;
        for (const auto& b : blocks)
            all.insert(all.end(), b.begin(), b.end());
        return all;
    }
    /// Waits (serving hand-offs) until the capture thread's body and its termination
    /// notification have run.
    bool captureEnded() {
        return processUntil([this] { return threads.lastCapture->finished(); });
    }

    audio::SimEngine engine;
    WindowThreadHandoff handoff;
    ManualClock clock;
    TrackingFactory threads{handoff, engine};
    TWASAPISource source{handoff, &threads, clock};
    std::vector<std::vector<int16_t>> blocks;
    QStringList events; ///< OnError texts and the end of data, in order
};
