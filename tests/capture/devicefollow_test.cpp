// Capture of the default output over the scripted engine when the recorded output goes
// away or the default changes: the capture goes on at the recording's rate, and the gap is
// filled with exactly as much silence as it lasted.

#include "simrig.h"
#include "support/eventloop.h"
#include "support/fakemessages.h"

#include <gtest/gtest.h>

using namespace audio;

namespace {

constexpr uint32_t Rate = 48000;
constexpr uint32_t PacketFrames = 480;

class DeviceFollowTest : public ::testing::Test {
protected:
    DeviceFollowTest() {
        rig.engine.addEndpoint(simEndpoint("sink-a", eRender, "Card A", "Speakers"));
        rig.engine.addEndpoint(simEndpoint("source-a", eCapture, "Card A", "Microphone"));
        rig.engine.setDefaultEndpoint(eRender, "sink-a");
        rig.source.OnDeviceChange = [this](TWASAPISource* sender, const QString& name) {
            EXPECT_EQ(sender, &rig.source);
            changes.push_back(name);
        };
    }

    void addSink(const QString& id, const QString& name, uint32_t mixRate) {
        rig.engine.addEndpoint(simEndpoint(id, eRender, "Card " + id, name, mixRate));
    }

    /// Lists the endpoints and starts capture of `id` (card 0 is the default output's).
    void start(const QString& id) {
        rig.source.propagate();
        ASSERT_TRUE(msgs.shown.empty());
        const TWASAPIDevices& cards = rig.source.cards;
        for (int c = 0; c < cards.Count(); ++c) {
            const TWASAPIDevices& endpoints = *cards.GetItem(c).inputs;
            for (int i = 0; i < endpoints.Count(); ++i) {
                if (endpoints.GetItem(i).ID == id) {
                    rig.source.startnew(c, i, pcm16Stereo(Rate));
                    ASSERT_TRUE(rig.source.started);
                    return;
                }
            }
        }
        FAIL() << "no endpoint " << id.toStdString();
    }

    /// Queues `count` stereo packets continuing the ramp and adds what they become to the
    /// expected samples: the first `keptFrames` of each (all when negative). Packets dated
    /// from `firstMs` on (by the stream's clock, 10 ms each) when it is not negative.
    void queueRamp(const QString& id, int count, double firstMs = -1, int keptFrames = -1) {
        for (int i = 0; i < count; ++i) {
            const std::vector<float> samples = rampSamples(m_next, PacketFrames, 2);
            SimPacket packet = SimEngine::floatPacket(samples, 2);
            if (firstMs >= 0)
                packet.qpc = static_cast<uint64_t>((firstMs + i * 10.0) * 10000);
            rig.engine.queuePacket(id, std::move(packet));
            const size_t kept =
                keptFrames < 0 ? samples.size() : static_cast<size_t>(keptFrames) * 2;
            for (size_t k = 0; k < kept; ++k)
                expected.push_back(pcmOf(samples[k]));
            m_next += PacketFrames * 2;
        }
    }

    void expectSilence(uint64_t frames) { expected.insert(expected.end(), frames * 2, 0); }

    /// Waits until everything expected has been delivered.
    bool deliveredAll() {
        return processUntil([&] { return rig.samples().size() >= expected.size(); });
    }

    FakeMessages msgs;
    SimRig rig;
    std::vector<int16_t> expected;
    QStringList changes;

private:
    uint32_t m_next = 0;
};

TEST_F(DeviceFollowTest, GapIsFilledWithExactlyItsLengthOfSilenceAtTheRecordingRate) {
    struct Case {
        const char* what;
        uint32_t mixRate; ///< of the new default output
        bool invalidate;  ///< the old output goes away; otherwise only the default changes
        int64_t gapMs;
    };
    const Case cases[] = {
        {"gone, same rate", 48000, true, 1500},
        {"gone, other rate", 44100, true, 730},
        {"default changed, same rate", 48000, false, 1000},
        {"default changed, other rate", 96000, false, 2250},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rig.source.stop();
        rig.blocks.clear();
        rig.events.clear();
        changes.clear();
        expected.clear();
        rig.engine.clearFailures();
        const QString sinkB = QStringLiteral("sink-b-%1").arg(c.what);
        addSink(sinkB, QStringLiteral("Headset"), c.mixRate);
        rig.engine.setDefaultEndpoint(eRender, "sink-a");

        // Three packets make one block; the fourth stays behind, short of a block, and is
        // delivered before the gap.
        queueRamp("sink-a", 4);
        const size_t streamsBefore = rig.engine.streams().size();
        start("sink-a");
        ASSERT_TRUE(processUntil([&] { return rig.blocks.size() == 1; }));
        // The last packet's time is taken before its block is cut, so the clock may move now.
        // The default changes first: a look-up for a default change happens only once the
        // clock has moved a second, and it must find the new one.
        rig.engine.setDefaultEndpoint(eRender, sinkB);
        rig.clock.advanceMs(c.gapMs);
        if (c.invalidate)
            rig.engine.failAt(SimCall::GetNextPacketSize, AUDCLNT_E_DEVICE_INVALIDATED, 0, -1,
                              "sink-a");
        expectSilence(static_cast<uint64_t>(c.gapMs) * Rate / 1000);
        queueRamp(sinkB, 3);

        ASSERT_TRUE(deliveredAll());
        EXPECT_EQ(rig.samples(), expected);
        EXPECT_EQ(changes, QStringList({"Headset"}));
        EXPECT_TRUE(rig.events.isEmpty()) << rig.events.join('\n').toStdString();
        EXPECT_TRUE(msgs.shown.empty());
        EXPECT_TRUE(rig.source.started);

        // The new stream was asked for at the recording's rate, and the silence now plays
        // into the new output.
        const std::vector<SimStream> streams = rig.engine.streams();
        std::vector<SimStream> captures;
        for (size_t i = streamsBefore; i < streams.size(); ++i)
            if (streams[i].streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK)
                captures.push_back(streams[i]);
        ASSERT_EQ(captures.size(), 2u);
        EXPECT_EQ(captures[1].endpoint, sinkB);
        EXPECT_EQ(captures[1].rate, Rate);
        EXPECT_TRUE(captures[1].started);
        EXPECT_EQ(captures[0].stops, 1);
        ASSERT_TRUE(processUntil([&] { return rig.engine.renderStats(sinkB).starts == 1; }));
        EXPECT_EQ(rig.threads.lastRender->card, sinkB);

        // The endpoints were listed again: the new output's card comes first and is the one
        // selected, and new recordings keep the rate the capture goes on at.
        EXPECT_EQ(rig.source.cards.GetItem(0).Description, "Card " + sinkB);
        EXPECT_EQ(rig.source.inputs, QStringList({"Headset"}));
        EXPECT_TRUE(rig.source.IsActive());
        EXPECT_EQ(rig.source.defaultrate, static_cast<int32_t>(Rate));
    }
}

TEST_F(DeviceFollowTest, StreamClocksPlaceTheHandOverAndTheSilenceBetween) {
    // The streams date their packets; the session's clock, which would count the time it
    // took to notice the change (a second here), says nothing of the gap.
    struct Case {
        const char* what;
        double newFirstMs; ///< the new output's first frame, by the streams' clock
        int keptOfLast;    ///< frames kept of the old output's last packet (10 ms from 1050)
        int64_t silenceMs; ///< between them
    };
    const Case cases[] = {
        {"overlap: the old output's audio after the new one's start is left out", 1055, 240, 0},
        {"apart: the time between them is silence", 1100, static_cast<int>(PacketFrames), 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        rig.source.stop();
        rig.blocks.clear();
        expected.clear();
        const QString sinkB = QStringLiteral("sink-b-%1").arg(c.newFirstMs);
        addSink(sinkB, QStringLiteral("Headset"), Rate);
        rig.engine.setDefaultEndpoint(eRender, "sink-a");
        queueRamp("sink-a", 3, 1000);
        start("sink-a");
        ASSERT_TRUE(processUntil([&] { return rig.blocks.size() == 1; }));

        rig.engine.setDefaultEndpoint(eRender, sinkB);
        rig.clock.advanceMs(1000);
        // The old output plays on while the new stream starts; it is read until the new
        // one has delivered.
        ASSERT_TRUE(processUntil([&] {
            for (const SimStream& s : rig.engine.streams())
                if (s.endpoint == sinkB && (s.streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK))
                    return true;
            return false;
        }));
        queueRamp("sink-a", 2, 1030);
        queueRamp("sink-a", 1, 1050, c.keptOfLast);
        expectSilence(static_cast<uint64_t>(c.silenceMs) * Rate / 1000);
        queueRamp(sinkB, 3, c.newFirstMs);

        ASSERT_TRUE(deliveredAll());
        EXPECT_EQ(rig.samples(), expected);
        EXPECT_TRUE(rig.events.isEmpty()) << rig.events.join('\n').toStdString();
    }
}

TEST_F(DeviceFollowTest, NoOutputLeftEndsCaptureWithTheOldStreamsFailure) {
    const QString invalidated =
        "The audio endpoint device has been unplugged, or the audio hardware or associated "
        "hardware resources have been reconfigured, disabled, removed, or otherwise made "
        "unavailable for use.";
    const auto expectReport = [&](const char* call) {
        const QString text = QStringLiteral("Recording thread returned: ") + call +
                             "\nReturn code:" + statusHex(AUDCLNT_E_DEVICE_INVALIDATED) +
                             "\nSession duration: 0:00:00\nDevice name: Card A\n"
                             "Input name: Speakers\n" +
                             invalidated;
        EXPECT_EQ(rig.events, QStringList({"error: " + text, "end"}));
        ASSERT_EQ(msgs.shown.size(), 1u);
        EXPECT_EQ(msgs.shown[0].text, text);
        EXPECT_FALSE(rig.source.started);
        EXPECT_TRUE(changes.isEmpty());
    };

    // No default output at all.
    queueRamp("sink-a", 3);
    start("sink-a");
    ASSERT_TRUE(processUntil([&] { return rig.blocks.size() == 1; }));
    rig.engine.setDefaultEndpoint(eRender, QString());
    rig.engine.failAt(SimCall::CaptureGetBuffer, AUDCLNT_E_DEVICE_INVALIDATED, 0, -1, "sink-a");
    queueRamp("sink-a", 1);
    ASSERT_TRUE(rig.captureEnded());
    expectReport("CaptureClient.GetBuffer Failed.");
    rig.source.stop();

    // A default output that cannot be opened counts as none.
    msgs.shown.clear();
    rig.events.clear();
    rig.engine.clearFailures();
    addSink("sink-b", "Headset", Rate);
    rig.engine.setDefaultEndpoint(eRender, "sink-a");
    start("sink-a");
    rig.engine.failAt(SimCall::Activate, AUDCLNT_E_DEVICE_INVALIDATED, 0, -1, "sink-b");
    rig.engine.setDefaultEndpoint(eRender, "sink-b");
    rig.engine.failAt(SimCall::GetNextPacketSize, AUDCLNT_E_DEVICE_INVALIDATED, 0, -1, "sink-a");
    ASSERT_TRUE(rig.captureEnded());
    expectReport("CaptureClient.GetNextPacketSize Failed.");
}

TEST_F(DeviceFollowTest, NewOutputWithMoreChannelsIsReadWhole) {
    SimEndpoint wide = simEndpoint("sink-b", eRender, "Card B", "Surround", Rate, 8);
    rig.engine.addEndpoint(wide);
    queueRamp("sink-a", 3);
    start("sink-a");
    ASSERT_TRUE(deliveredAll());
    rig.clock.advanceMs(500);
    rig.engine.setDefaultEndpoint(eRender, "sink-b");
    rig.engine.failAt(SimCall::GetNextPacketSize, AUDCLNT_E_DEVICE_INVALIDATED, 0, -1, "sink-a");
    expectSilence(Rate / 2);
    // Eight channels of silence: three packets fill one block of twice the bytes of a
    // stereo one.
    for (int i = 0; i < 3; ++i)
        rig.engine.queuePacket(
            "sink-b", SimEngine::floatPacket(std::vector<float>(PacketFrames * 8, 0.0f), 8));
    expectSilence(3 * PacketFrames);
    ASSERT_TRUE(deliveredAll());
    EXPECT_EQ(rig.samples(), expected);
    EXPECT_EQ(changes, QStringList({"Surround"}));
}

TEST_F(DeviceFollowTest, OnlyTheDefaultOutputFollowsDefaultChanges) {
    // An output picked besides the default stays recorded while the default changes.
    addSink("sink-b", "Headset", Rate);
    addSink("sink-c", "Dock", Rate);
    start("sink-b");
    rig.engine.setDefaultEndpoint(eRender, "sink-c");
    rig.clock.advanceMs(5000);
    queueRamp("sink-b", 3);
    ASSERT_TRUE(deliveredAll());
    EXPECT_EQ(rig.samples(), expected);
    EXPECT_TRUE(changes.isEmpty());

    // When it goes away, the default output takes over all the same.
    rig.engine.failAt(SimCall::GetNextPacketSize, AUDCLNT_E_DEVICE_INVALIDATED, 0, -1, "sink-b");
    ASSERT_TRUE(processUntil([&] { return changes.size() == 1; }));
    EXPECT_EQ(changes, QStringList({"Dock"}));
    EXPECT_TRUE(rig.events.isEmpty());
}

TEST_F(DeviceFollowTest, RepeatedSwitchingKeepsOneCaptureAndOneStreamOfBlocks) {
    addSink("sink-b", "Headset", 44100);
    start("sink-a");
    CaptureThread* const capture = rig.threads.lastCapture;
    queueRamp("sink-a", 3);
    ASSERT_TRUE(deliveredAll());
    // Changes of the default and removals take turns. A removal comes less than a second
    // after the switch before it, so that no look-up for a default change competes with it.
    const QString sinks[] = {"sink-b", "sink-a", "sink-b", "sink-a"};
    QString current = "sink-a";
    int invalidations = 0;
    for (const QString& next : sinks) {
        SCOPED_TRACE(next.toStdString());
        const bool removal = next == "sink-a";
        const int64_t gapMs = removal ? 700 : 1200;
        if (removal) {
            rig.clock.advanceMs(gapMs);
            rig.engine.setDefaultEndpoint(eRender, next);
            rig.engine.failAt(SimCall::GetNextPacketSize, AUDCLNT_E_DEVICE_INVALIDATED, 0, -1,
                              current);
            ++invalidations;
        } else {
            rig.engine.setDefaultEndpoint(eRender, next);
            rig.clock.advanceMs(gapMs);
        }
        expectSilence(static_cast<uint64_t>(gapMs) * Rate / 1000);
        queueRamp(next, 3);
        ASSERT_TRUE(deliveredAll());
        EXPECT_EQ(rig.samples(), expected);
        // The removed output comes back for the next round.
        rig.engine.clearFailures();
        current = next;
    }
    EXPECT_EQ(invalidations, 2);
    EXPECT_EQ(changes, QStringList({"Headset", "Speakers", "Headset", "Speakers"}));
    EXPECT_EQ(rig.threads.lastCapture, capture);
    EXPECT_FALSE(capture->finished());
    EXPECT_TRUE(rig.events.isEmpty());
    EXPECT_TRUE(msgs.shown.empty());
    // One loopback stream per device in use, each stopped when left.
    int loopbacks = 0;
    for (const SimStream& s : rig.engine.streams())
        if (s.streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK)
            ++loopbacks;
    EXPECT_EQ(loopbacks, 5);
    rig.source.stop();
    EXPECT_FALSE(rig.source.hasThreads());
}

} // namespace

TEST_F(DeviceFollowTest, ApplicationIsWaitedForWithSilenceAndTheChoiceChangesWithoutABreak) {
    addSink("sink-b", "Headset", Rate);
    QStringList told;
    rig.source.OnApplicationWaiting = [&](TWASAPISource*, const QString& app, bool waiting) {
        told << (waiting ? "waiting for " : "back: ") + app;
    };
    // Not playing at the start: the default output is read only for its clock.
    rig.source.setApplication(QStringLiteral("Radio"), true);
    queueRamp("sink-a", 3, 1000);
    std::fill(expected.begin(), expected.end(), 0);
    start("sink-a");
    ASSERT_TRUE(processUntil([&] { return rig.samples().size() >= expected.size(); }));
    EXPECT_EQ(told, QStringList({"waiting for Radio"}));

    // It starts playing on another output; the time from the silence's clock to its first
    // frame is silence.
    audio::PlayingApplication radio;
    radio.stream = 7;
    radio.name = QStringLiteral("Radio");
    radio.outputId = QStringLiteral("sink-b");
    rig.engine.setPlayingApplications({radio});
    ASSERT_TRUE(processUntil([&] {
        const std::vector<SimStream> streams = rig.engine.streams();
        return streams.back().application == 7u;
    }));
    expectSilence(Rate / 100);
    queueRamp("sink-b", 3, 1040);
    ASSERT_TRUE(deliveredAll());
    EXPECT_EQ(told, QStringList({"waiting for Radio", "back: Radio"}));

    // Everything again, while capturing: the application's stream up to the new stream's
    // first frame, then the whole mix, in one run of blocks.
    queueRamp("sink-b", 1, 1070);
    queueRamp("sink-a", 3, 1080);
    rig.source.changeApplication(QString());
    ASSERT_TRUE(deliveredAll());
    EXPECT_EQ(rig.samples(), expected);
    EXPECT_FALSE(rig.engine.streams().back().application);
    EXPECT_TRUE(rig.events.isEmpty()) << rig.events.join('\n').toStdString();
    EXPECT_EQ(told.size(), 2);
}
