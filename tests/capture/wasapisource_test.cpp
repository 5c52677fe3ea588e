// Starting, stopping and failure reports of the capture source, with the test backend.

#include "fakecapture.h"
#include "support/fakemessages.h"

#include "capture/audioclienterrors.h"
#include "capture/capturegain.h"
#include "capture/wasapisource.h"
#include "common/clock.h"
#include "common/handoff.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class SourceTest : public ::testing::Test {
protected:
    SourceTest() {
        TWASAPIDevice& cardA = source.cards.Add();
        cardA.Description = "Card A";
        cardA.ID = "sink-a";
        addEndpoint(cardA, "Speakers", "sink-a", 0, 1);
        addEndpoint(cardA, "Microphone", "source-a", 1, 1);
        addEndpoint(cardA, "Line out", "sink-line", 0, 2);
        addEndpoint(cardA, "Headphones", "sink-phones", 0, 8);
        TWASAPIDevice& cardB = source.cards.Add();
        cardB.Description = "Card B";
        cardB.ID = "sink-b";
        addEndpoint(cardB, "HDMI", "sink-b", 0, 1);
    }

    static void addEndpoint(TWASAPIDevice& card, const QString& name, const QString& id, int flow,
                            int state) {
        TWASAPIDevice& e = card.inputs->Add();
        e.Description = name;
        e.ID = id;
        e.DataFlow = flow;
        e.State = state;
        e.SamplingRate = 48000;
        e.Channels = 2;
        e.BitsPerSample = 32;
    }

    bool captureFinished() const {
        return factory.liveCapture > 0 && factory.lastCapture->finished();
    }

    const tWAVEFORMATEX pcm = pcm16Stereo(48000);
    FakeMessages msgs;
    WindowThreadHandoff handoff;
    ManualClock clock;
    FakeCaptureFactory factory{handoff};
    TWASAPISource source{handoff, &factory, clock};
};

TEST_F(SourceTest, LoopbackOfAnOutputEndpointStartsAllThreeThreads) {
    EXPECT_FALSE(source.hasThreads());
    EXPECT_TRUE(source.startnew(0, 0, pcm));
    EXPECT_TRUE(source.started);
    EXPECT_TRUE(source.Loopback());
    EXPECT_TRUE(source.IsActive());
    EXPECT_TRUE(source.hasThreads());
    EXPECT_EQ(source.inputs, QStringList({"Speakers", "Microphone", "Line out", "Headphones"}));

    ASSERT_EQ(factory.liveRender, 1);
    EXPECT_EQ(factory.lastRender->card, "sink-a");
    ASSERT_EQ(factory.liveCapture, 1);
    FakeCaptureThread& capture = *factory.lastCapture;
    EXPECT_TRUE(capture.Loopback);
    EXPECT_EQ(capture.card, "sink-a");
    EXPECT_EQ(capture.inputname, "Speakers");
    EXPECT_EQ(capture.cardname, "Card A");
    EXPECT_EQ(capture.started, 0);
    EXPECT_TRUE(capture.initOnWindowThread);
    EXPECT_EQ(factory.lastFormat.nSamplesPerSec, 48000u);
    EXPECT_EQ(factory.lastFormat.nBlockAlign, 4);
    EXPECT_TRUE(msgs.shown.empty());

    source.stop();
    EXPECT_FALSE(source.hasThreads());
    EXPECT_EQ(factory.liveCapture, 0);
    EXPECT_EQ(factory.liveRender, 0);
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(SourceTest, InputEndpointIsCapturedDirectlyWithoutRenderThread) {
    EXPECT_TRUE(source.startnew(0, 1, pcm));
    EXPECT_FALSE(source.Loopback());
    EXPECT_EQ(factory.createdRender, 0);
    ASSERT_EQ(factory.liveCapture, 1);
    EXPECT_FALSE(factory.lastCapture->Loopback);
    EXPECT_EQ(factory.lastCapture->card, "source-a");
    EXPECT_EQ(factory.lastCapture->inputname, "Microphone");
}

TEST_F(SourceTest, StopWithoutCaptureAndRepeatedStartsLeaveOneSetOfThreads) {
    source.stop();
    source.stop();
    EXPECT_FALSE(source.hasThreads());

    EXPECT_TRUE(source.startnew(0, 0, pcm));
    EXPECT_TRUE(source.startnew(1, 0, pcm));
    EXPECT_EQ(factory.createdCapture, 2);
    EXPECT_EQ(factory.createdRender, 2);
    EXPECT_EQ(factory.liveCapture, 1);
    EXPECT_EQ(factory.liveRender, 1);
    EXPECT_EQ(factory.lastCapture->card, "sink-b");
    EXPECT_EQ(source.inputs, QStringList({"HDMI"}));

    // From loopback to an input endpoint: the render thread of the first capture goes.
    EXPECT_TRUE(source.startnew(0, 1, pcm));
    EXPECT_EQ(factory.liveCapture, 1);
    EXPECT_EQ(factory.liveRender, 0);

    source.stop();
    EXPECT_FALSE(source.started);
    EXPECT_EQ(factory.liveCapture, 0);
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(SourceTest, StopWhileNothingArrivesReturnsAndQueuedBlocksWaitForNextStart) {
    std::vector<uint32_t> got;
    source.OnData = [&](TWASAPISource*, const void* data, int32_t size) {
        uint32_t n = 0;
        ASSERT_TRUE(readPayload(data, size, 4, n));
        got.push_back(n);
    };
    ASSERT_TRUE(source.startnew(0, 0, pcm));
    // Nothing is produced; stop must not wait for a block. The hang guard of the test runner
    // catches a stop that never returns.
    source.stop();
    EXPECT_FALSE(source.hasThreads());
    EXPECT_TRUE(got.empty());

    // Blocks queued while nothing runs stay in the queue and arrive after the next start.
    for (uint32_t n = 0; n < 3; ++n) {
        const auto payload = testPayload(n, 4);
        source.queueBlock(makeCapturedBlock(payload.data(), 16));
    }
    EXPECT_EQ(source.queuedBlocks(), 3u);
    ASSERT_TRUE(source.startnew(0, 0, pcm));
    ASSERT_TRUE(processUntil([&] { return got.size() == 3; }));
    EXPECT_EQ(got, (std::vector<uint32_t>{0, 1, 2}));
    source.stop();
}

TEST_F(SourceTest, InitFailureGivesOneMessageAndNoTerminationReport) {
    int dataEnd = 0;
    int errors = 0;
    source.OnData = [&](TWASAPISource*, const void*, int32_t size) {
        if (size < 0)
            ++dataEnd;
    };
    source.OnError = [&](TWASAPISource*, const QString&) { ++errors; };
    factory.script.initResult = -1;
    factory.script.initErrmsg = "Audio Device Error. This device [Speakers(Card A)] is unplugged.";

    EXPECT_TRUE(source.startnew(0, 0, pcm)); // the endpoint itself is active
    EXPECT_FALSE(source.started);
    ASSERT_EQ(msgs.shown.size(), 1u);
    EXPECT_EQ(msgs.shown[0].text,
              "Audio Device Error. This device [Speakers(Card A)] is unplugged.\n"
              "Return code: FFFFFFFF");
    EXPECT_EQ(msgs.shown[0].caption, "Audio Device Error");
    EXPECT_EQ(msgs.shown[0].icon, MessageIcon::Error);
    EXPECT_EQ(msgs.shown[0].buttons, MessageButtons::Ok);

    // The thread is started all the same and ends at once, quietly.
    ASSERT_EQ(factory.liveCapture, 1);
    EXPECT_EQ(factory.lastCapture->started, -1);
    ASSERT_TRUE(processUntil([&] { return captureFinished(); }));
    EXPECT_EQ(factory.lastCapture->returnValue(), 0);
    source.stop();
    EXPECT_EQ(msgs.shown.size(), 1u);
    EXPECT_EQ(dataEnd, 0);
    EXPECT_EQ(errors, 0);
}

TEST_F(SourceTest, InitFailureCallsOnErrorOnlyForNonFloatFormatAndInvalidArgument) {
    struct Case {
        int32_t code;
        const char* hex;
        bool onError;
    };
    const Case cases[] = {
        {-960, "FFFFFC40", true},  {static_cast<int32_t>(0x80070057u), "80070057", true},
        {-1, "FFFFFFFF", false},   {static_cast<int32_t>(0x88890004u), "88890004", false},
        {1975, "000007B7", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        std::vector<QString> errors;
        source.OnError = [&](TWASAPISource* sender, const QString& text) {
            EXPECT_EQ(sender, &source);
            errors.push_back(text);
        };
        msgs.shown.clear();
        factory.script.initResult = c.code;
        factory.script.initErrmsg = "Non PCM audio stream not supported. ";
        source.startnew(0, 0, pcm);
        const QString expected =
            QStringLiteral("Non PCM audio stream not supported. \nReturn code: ") + c.hex;
        ASSERT_EQ(msgs.shown.size(), 1u);
        EXPECT_EQ(msgs.shown[0].text, expected);
        if (c.onError) {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0], expected);
        } else {
            EXPECT_TRUE(errors.empty());
        }
        source.stop();
    }

    // Without a handler the same failure is only shown.
    source.OnError = nullptr;
    msgs.shown.clear();
    factory.script.initResult = -960;
    source.startnew(0, 0, pcm);
    EXPECT_EQ(msgs.shown.size(), 1u);
}

TEST_F(SourceTest, AbnormalEndReportsOnErrorThenEndOfDataThenMessage) {
    std::vector<QString> log;
    QString errorText;
    source.OnData = [&](TWASAPISource* sender, const void* data, int32_t size) {
        EXPECT_EQ(sender, &source);
        if (size < 0) {
            EXPECT_EQ(data, nullptr);
            log.push_back(QStringLiteral("end %1").arg(size));
        } else {
            log.push_back("block");
        }
    };
    source.OnError = [&](TWASAPISource*, const QString& text) {
        log.push_back("error");
        errorText = text;
    };
    msgs.whileOpen = [&] { log.push_back("box"); };
    factory.script.blocks = 2;
    factory.script.failWith = static_cast<int32_t>(0x88890004u);
    factory.script.failErrmsg = "CaptureClient.GetBuffer Failed.";
    factory.script.holdFailure = true;

    ASSERT_TRUE(source.startnew(0, 0, pcm));
    ASSERT_TRUE(source.started);
    ASSERT_TRUE(processUntil([&] { return log.size() == 2; }));
    clock.advanceMs(((1 * 60 + 2) * 60 + 3) * 1000 + 400);
    factory.failureGate = true;
    ASSERT_TRUE(processUntil([&] { return msgs.shown.size() == 1; }));

    EXPECT_EQ(log, (std::vector<QString>{"block", "block", "error", "end -1", "box"}));
    const QString expected =
        AudioClientErrorText("Recording thread returned: CaptureClient.GetBuffer Failed.\n"
                             "Return code:88890004\n"
                             "Session duration: 1:02:03\n"
                             "Device name: Card A\n"
                             "Input name: Speakers",
                             static_cast<int32_t>(0x88890004u), QString());
    EXPECT_EQ(msgs.shown[0].text, expected);
    EXPECT_EQ(msgs.shown[0].caption, "Recording thread terminated");
    EXPECT_EQ(msgs.shown[0].icon, MessageIcon::Error);
    EXPECT_EQ(errorText, expected);
    EXPECT_FALSE(source.started);
    // The ended threads stay until the next stop.
    EXPECT_TRUE(source.hasThreads());
    source.stop();
    EXPECT_FALSE(source.hasThreads());
    EXPECT_EQ(msgs.shown.size(), 1u);
}

TEST_F(SourceTest, AbnormalEndWithoutHandlersStillShowsTheMessage) {
    factory.script.failWith = 1975;
    factory.script.failErrmsg = "Format Conversion Failed.";
    ASSERT_TRUE(source.startnew(0, 1, pcm));
    ASSERT_TRUE(processUntil([&] { return msgs.shown.size() == 1; }));
    EXPECT_TRUE(msgs.shown[0].text.startsWith(
        "Recording thread returned: Format Conversion Failed.\nReturn code:000007B7\n"
        "Session duration: 0:00:00\nDevice name: Card A\nInput name: Microphone\n"));
    EXPECT_FALSE(source.started);
}

TEST_F(SourceTest, RenderInitFailureIsShownAndCaptureGoesOn) {
    int blocks = 0;
    source.OnData = [&](TWASAPISource*, const void*, int32_t size) {
        if (size > 0)
            ++blocks;
    };
    factory.script.renderInit = 1;
    factory.script.blocks = 3;
    EXPECT_TRUE(source.startnew(0, 0, pcm));
    ASSERT_EQ(msgs.shown.size(), 1u);
    EXPECT_EQ(msgs.shown[0].text, "Playback thread init failed.");
    EXPECT_EQ(msgs.shown[0].caption, "Error");
    EXPECT_EQ(msgs.shown[0].icon, MessageIcon::Error);
    EXPECT_TRUE(source.started);
    // The render thread was started and ended at once.
    ASSERT_TRUE(processUntil([&] { return factory.lastRender->finished(); }));
    ASSERT_TRUE(processUntil([&] { return blocks == 3; }));
    source.stop();
    EXPECT_EQ(msgs.shown.size(), 1u);
}

TEST_F(SourceTest, BadIndexesAndMissingBackendAreReportedNotFollowed) {
    const std::pair<int, int> bad[] = {{2, 0}, {-1, 0}, {0, 4}, {0, -1}, {1, 1}};
    for (const auto& [card, input] : bad) {
        SCOPED_TRACE(card * 100 + input);
        msgs.shown.clear();
        EXPECT_FALSE(source.startnew(card, input, pcm));
        ASSERT_EQ(msgs.shown.size(), 1u);
        EXPECT_EQ(msgs.shown[0].text, "Could not initialize selected audio device.");
        EXPECT_EQ(msgs.shown[0].caption, "Audio Device Error");
        EXPECT_FALSE(source.hasThreads());
        EXPECT_FALSE(source.IsActive());
        EXPECT_FALSE(source.started);
    }
    EXPECT_EQ(factory.createdCapture, 0);

    TWASAPISource noBackend(handoff, nullptr, clock);
    noBackend.cards.Add().inputs->Add().State = 1;
    msgs.shown.clear();
    EXPECT_FALSE(noBackend.startnew(0, 0, pcm));
    ASSERT_EQ(msgs.shown.size(), 1u);
    EXPECT_EQ(msgs.shown[0].text, "Could not initialize selected audio device.");
    EXPECT_FALSE(noBackend.hasThreads());
}

TEST_F(SourceTest, IsActiveFollowsTheSelectedEndpointState) {
    EXPECT_TRUE(source.IsActive());           // card 0, endpoint 0 before any start
    EXPECT_FALSE(source.startnew(0, 2, pcm)); // disabled
    EXPECT_FALSE(source.IsActive());
    EXPECT_FALSE(source.startnew(0, 3, pcm)); // unplugged
    EXPECT_FALSE(source.IsActive());
    EXPECT_TRUE(source.startnew(1, 0, pcm));
    EXPECT_TRUE(source.IsActive());
    source.startnew(0, 7, pcm);
    EXPECT_FALSE(source.IsActive());
    source.startnew(5, 0, pcm);
    EXPECT_FALSE(source.IsActive());
}

TEST_F(SourceTest, SetVolumeMapsTheSliderOntoTheCaptureGain) {
    source.setvolume(0);
    EXPECT_EQ(captureGain(), 0.0f);
    source.setvolume(50);
    EXPECT_EQ(captureGain(), 1.0f);
    source.setvolume(100);
    EXPECT_EQ(captureGain(), 2.0f);
    source.setvolume(25);
    EXPECT_EQ(captureGain(), 0.5f);

    // A new source starts at unity gain, whatever was set before.
    setCaptureGain(3.0f);
    TWASAPISource fresh(handoff, &factory, clock);
    EXPECT_EQ(captureGain(), 1.0f);
}

TEST_F(SourceTest, FillInputsListsOneCardOrNothing) {
    source.fillinputs(1);
    EXPECT_EQ(source.inputs, QStringList({"HDMI"}));
    source.fillinputs(2);
    EXPECT_TRUE(source.inputs.isEmpty());
    source.fillinputs(-1);
    EXPECT_TRUE(source.inputs.isEmpty());
    source.propagate();
    EXPECT_EQ(source.inputs.size(), 4);
}

TEST_F(SourceTest, StoreDataFreesEveryBlockAlsoWithoutHandlerOrWhenItThrows) {
    for (uint32_t n = 0; n < 3; ++n) {
        const auto payload = testPayload(n, 4);
        source.queueBlock(makeCapturedBlock(payload.data(), 16));
    }
    source.StoreData(); // no handler: dequeued and freed
    EXPECT_EQ(source.queuedBlocks(), 0u);

    for (uint32_t n = 0; n < 4; ++n) {
        const auto payload = testPayload(n, 4);
        source.queueBlock(makeCapturedBlock(payload.data(), 16));
    }
    std::vector<uint32_t> got;
    source.OnData = [&](TWASAPISource*, const void* data, int32_t size) {
        uint32_t n = 0;
        ASSERT_TRUE(readPayload(data, size, 4, n));
        got.push_back(n);
        if (n == 1)
            throw std::runtime_error("write failed");
    };
    // The failing block is freed (the sanitizer would report it), the drain ends there.
    EXPECT_THROW(source.StoreData(), std::runtime_error);
    EXPECT_EQ(got, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(source.queuedBlocks(), 2u);
    source.StoreData();
    EXPECT_EQ(got, (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(source.queuedBlocks(), 0u);

    // A block of length zero is handed on as such.
    source.queueBlock(makeCapturedBlock(nullptr, 0));
    int32_t size = -2;
    source.OnData = [&](TWASAPISource*, const void*, int32_t s) { size = s; };
    source.StoreData();
    EXPECT_EQ(size, 0);
}

TEST(StatusHex, EightUpperCaseDigitsInTwosComplement) {
    EXPECT_EQ(statusHex(0), "00000000");
    EXPECT_EQ(statusHex(-1), "FFFFFFFF");
    EXPECT_EQ(statusHex(-960), "FFFFFC40");
    EXPECT_EQ(statusHex(static_cast<int32_t>(0x80070057u)), "80070057");
    EXPECT_EQ(statusHex(1975), "000007B7");
}

} // namespace
