// The silent render thread over the scripted engine.

#include "simrig.h"
#include "support/fakemessages.h"

#include "capture/playthread.h"

#include <gtest/gtest.h>

using namespace audio;

namespace {

class PlayThreadTest : public ::testing::Test {
protected:
    PlayThreadTest() {
        SimEndpoint e = simEndpoint("sink", eRender, "Card", "Speakers");
        // 100 ms: a pause of 16 ms between top-ups keeps the tests short.
        e.bufferFrames = 4800;
        engine.addEndpoint(e);
        engine.addEndpoint(simEndpoint("long", eRender, "Card", "Long"));
    }

    std::unique_ptr<TPlayThread> make(const QString& id) {
        auto thread = std::make_unique<TPlayThread>(handoff, engine);
        thread->card = id;
        return thread;
    }

    bool waitUntil(const std::function<bool()>& done) { return processUntil(done); }

    FakeMessages msgs;
    SimEngine engine;
    WindowThreadHandoff handoff;
};

TEST_F(PlayThreadTest, InitQueuesAFullBufferOfSilence) {
    auto thread = make("long");
    thread->Init();
    EXPECT_EQ(thread->started, 0);
    // 2 s asked for: 96000 frames at 48000 Hz, a pause of 2000 / 3 ms.
    EXPECT_EQ(thread->sleeptime(), 666u);
    const SimRenderStats stats = engine.renderStats("long");
    EXPECT_EQ(stats.initializations, 1);
    EXPECT_EQ(stats.writes, 1);
    EXPECT_EQ(stats.framesWritten, 96000u);
    EXPECT_TRUE(stats.onlyZeros);
    EXPECT_EQ(stats.starts, 0);
    const SimStream s = engine.streams().at(0);
    EXPECT_EQ(s.streamFlags, 0u);
    EXPECT_EQ(s.bufferDuration, 20000000);
    EXPECT_EQ(s.bufferFrames, 96000u);
}

TEST_F(PlayThreadTest, TopsUpWithZerosUntilStopped) {
    auto thread = make("sink");
    thread->Init();
    ASSERT_EQ(thread->started, 0);
    EXPECT_EQ(thread->sleeptime(), 33u);
    thread->start();
    // The engine has played 1000 frames: exactly those are written back.
    engine.setPadding("sink", 3800);
    ASSERT_TRUE(waitUntil([&] { return engine.renderStats("sink").framesWritten >= 5800; }));
    EXPECT_EQ(engine.renderStats("sink").framesWritten, 5800u);
    engine.setPadding("sink", 0);
    ASSERT_TRUE(waitUntil([&] { return engine.renderStats("sink").framesWritten >= 10600; }));
    thread->terminate();
    thread->waitFor();
    const SimRenderStats stats = engine.renderStats("sink");
    EXPECT_EQ(stats.framesWritten, 10600u);
    EXPECT_TRUE(stats.onlyZeros);
    EXPECT_EQ(stats.starts, 1);
    EXPECT_EQ(stats.stops, 1);
    EXPECT_EQ(thread->started, 0);
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(PlayThreadTest, InvalidatedEndpointIsRebuiltOnceEachTimeOtherFailuresStopForGood) {
    auto thread = make("sink");
    thread->Init();
    thread->start();
    ASSERT_TRUE(waitUntil([&] { return engine.renderStats("sink").writes >= 2; }));

    engine.failAt(SimCall::GetCurrentPadding, AUDCLNT_E_DEVICE_INVALIDATED, 0, 1);
    ASSERT_TRUE(waitUntil([&] { return engine.renderStats("sink").initializations == 2; }));
    const int writes = engine.renderStats("sink").writes;
    ASSERT_TRUE(waitUntil([&] { return engine.renderStats("sink").writes >= writes + 2; }));
    EXPECT_FALSE(thread->finished());
    EXPECT_EQ(engine.renderStats("sink").starts, 2);

    // A second occurrence is rebuilt again.
    engine.failAt(SimCall::GetCurrentPadding, AUDCLNT_E_DEVICE_INVALIDATED, 0, 1);
    ASSERT_TRUE(waitUntil([&] { return engine.renderStats("sink").initializations == 3; }));

    // Any other failure ends the thread quietly, the stream left as it is.
    engine.failAt(SimCall::GetCurrentPadding, E_FAIL);
    ASSERT_TRUE(waitUntil([&] { return thread->finished(); }));
    EXPECT_EQ(thread->started, E_FAIL);
    const SimRenderStats stats = engine.renderStats("sink");
    EXPECT_EQ(stats.initializations, 3);
    EXPECT_EQ(stats.stops, 0);
    EXPECT_TRUE(stats.onlyZeros);
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(PlayThreadTest, FailuresEndTheThreadWithTheirStatus) {
    struct Case {
        SimCall call;
        int after;
        HRESULT status;
    };
    // A failing rebuild, and each failing call of the loop.
    const Case cases[] = {
        {SimCall::Initialize, 1, AUDCLNT_E_UNSUPPORTED_FORMAT},
        {SimCall::Start, 1, AUDCLNT_E_NOT_STOPPED},
        {SimCall::RenderGetBuffer, 1, AUDCLNT_E_BUFFER_TOO_LARGE},
        {SimCall::RenderReleaseBuffer, 1, AUDCLNT_E_INVALID_SIZE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.call));
        engine.clearFailures();
        // Invalidate at the first padding query; the call named fails after its first use.
        engine.failAt(SimCall::GetCurrentPadding, AUDCLNT_E_DEVICE_INVALIDATED, 0, 1);
        engine.failAt(c.call, c.status, c.after);
        auto thread = make("sink");
        thread->Init();
        ASSERT_EQ(thread->started, 0);
        thread->start();
        ASSERT_TRUE(waitUntil([&] { return thread->finished(); }));
        EXPECT_EQ(thread->started, c.status);
    }
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(PlayThreadTest, InitFailureLeavesTheStatusAndTheBodyDoesNothing) {
    auto unknown = make("nowhere");
    unknown->Init();
    EXPECT_EQ(unknown->started, E_NOTFOUND);

    engine.failAt(SimCall::GetRenderClient, E_OUTOFMEMORY);
    auto thread = make("sink");
    thread->Init();
    EXPECT_EQ(thread->started, E_OUTOFMEMORY);
    thread->start();
    ASSERT_TRUE(waitUntil([&] { return thread->finished(); }));
    EXPECT_EQ(engine.renderStats("sink").starts, 0);
    EXPECT_EQ(thread->started, E_OUTOFMEMORY);
}

TEST_F(PlayThreadTest, SourceReportsAFailedRenderInitAndCapturesAllTheSame) {
    SimRig rig;
    rig.engine.addEndpoint(simEndpoint("sink", eRender, "Card", "Speakers"));
    rig.engine.failAt(SimCall::GetRenderClient, E_FAIL);
    rig.source.propagate();
    for (int p = 0; p < 3; ++p)
        rig.engine.queuePacket("sink", SimEngine::floatPacket(rampSamples(p * 960, 480, 2), 2));
    EXPECT_TRUE(rig.source.startnew(0, 0, pcm16Stereo(48000)));
    ASSERT_EQ(msgs.shown.size(), 1u);
    EXPECT_EQ(msgs.shown[0].text, "Playback thread init failed.");
    EXPECT_EQ(msgs.shown[0].caption, "Error");
    EXPECT_TRUE(rig.source.started);
    ASSERT_TRUE(processUntil([&] { return rig.blocks.size() == 1; }));
    rig.source.stop();
    EXPECT_EQ(rig.engine.renderStats("sink").starts, 0);
    EXPECT_EQ(msgs.shown.size(), 1u);
}

} // namespace
