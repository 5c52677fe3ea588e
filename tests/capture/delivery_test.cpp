// Delivery of blocks from a producing capture thread through the storage thread to the
// window thread: order, completeness, failing handlers and nested event loops.

#include "fakecapture.h"
#include "support/fakemessages.h"

#include "capture/wasapisource.h"
#include "common/clock.h"
#include "common/handoff.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

class DeliveryTest : public ::testing::Test {
protected:
    DeliveryTest() {
        TWASAPIDevice& card = source.cards.Add();
        card.Description = "Card A";
        TWASAPIDevice& speakers = card.inputs->Add();
        speakers.Description = "Speakers";
        speakers.ID = "sink-a";
        speakers.State = 1;
    }

    /// A handler that checks every block and records its number.
    void recordBlocks() {
        source.OnData = [this](TWASAPISource*, const void* data, int32_t size) {
            uint32_t n = 0;
            if (!readPayload(data, size, factory.script.framesPerBlock, n))
                ++damaged;
            received.push_back(n);
        };
    }

    bool inOrder() const {
        for (size_t i = 0; i < received.size(); ++i)
            if (received[i] != i)
                return false;
        return true;
    }

    FakeMessages msgs;
    WindowThreadHandoff handoff;
    ManualClock clock;
    FakeCaptureFactory factory{handoff};
    TWASAPISource source{handoff, &factory, clock};
    std::vector<uint32_t> received;
    int damaged = 0;
};

TEST_F(DeliveryTest, NoBlockIsLostOrReorderedAcrossManyBlocks) {
    constexpr int Count = 100000;
    factory.script.blocks = Count;
    factory.script.framesPerBlock = 8;
    factory.script.yieldEvery = 512;
    recordBlocks();
    ASSERT_TRUE(source.startnew(0, 0, pcm16Stereo(48000)));
    ASSERT_TRUE(processUntil([&] { return received.size() >= Count; }, std::chrono::seconds(120)));
    source.stop();
    EXPECT_EQ(received.size(), static_cast<size_t>(Count));
    EXPECT_EQ(damaged, 0);
    EXPECT_TRUE(inOrder());
    EXPECT_EQ(source.queuedBlocks(), 0u);
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(DeliveryTest, ABlockQueuedRightAfterADrainIsDeliveredWithoutAFurtherSignal) {
    // Each block is queued by a step of another worker that the window thread runs right
    // after the drain that delivered the previous block, while the storage thread is still
    // on its way back from the hand-off. If that thread cleared its wake-up signal after
    // the drain instead of before it, the block would wait for a next one that never comes.
    constexpr uint32_t Count = 300;
    std::atomic<uint32_t> requested{0};
    std::atomic<uint32_t> calling{0};
    std::atomic<bool> quit{false};
    std::atomic<bool> feederDone{false};
    std::thread feeder([&] {
        uint32_t next = 1;
        while (!quit) {
            if (requested < next) {
                std::this_thread::yield();
                continue;
            }
            calling = next;
            handoff.call([&, next] {
                const auto payload = testPayload(next, 4);
                source.queueBlock(makeCapturedBlock(payload.data(), 16));
            });
            ++next;
        }
        feederDone = true;
    });
    source.OnData = [&](TWASAPISource*, const void* data, int32_t size) {
        uint32_t n = 0;
        ASSERT_TRUE(readPayload(data, size, 4, n));
        received.push_back(n);
        if (n + 1 >= Count)
            return;
        // Have the feeder's step posted before this drain ends.
        requested = n + 1;
        while (calling < n + 1)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    };
    ASSERT_TRUE(source.startnew(0, 0, pcm16Stereo(48000)));
    const auto first = testPayload(0, 4);
    source.queueBlock(makeCapturedBlock(first.data(), 16));
    const bool all = processUntil([&] { return received.size() == Count; });
    quit = true;
    // The feeder may still wait in a hand-off; serve it until it has gone.
    EXPECT_TRUE(processUntil([&] { return feederDone.load(); }));
    feeder.join();
    ASSERT_TRUE(all) << "stuck after block " << received.size();
    EXPECT_TRUE(inOrder());
}

TEST_F(DeliveryTest, UnassignedHandlerStillEmptiesTheQueue) {
    factory.script.blocks = 1000;
    ASSERT_TRUE(source.startnew(0, 0, pcm16Stereo(48000)));
    ASSERT_TRUE(
        processUntil([&] { return factory.produced == 1000 && source.queuedBlocks() == 0; }));
    source.stop();
    EXPECT_EQ(source.queuedBlocks(), 0u);
}

TEST_F(DeliveryTest, ThrowingHandlerLosesOnlyItsBlockAndIsReportedOncePerCapture) {
    std::vector<QString> errors;
    source.OnError = [&](TWASAPISource*, const QString& text) { errors.push_back(text); };
    source.OnData = [&](TWASAPISource*, const void* data, int32_t size) {
        uint32_t n = 0;
        ASSERT_TRUE(readPayload(data, size, 4, n));
        received.push_back(n);
        if (n % 10 == 3)
            throw std::runtime_error("disk full");
    };
    factory.script.blocks = 50;
    ASSERT_TRUE(source.startnew(0, 0, pcm16Stereo(48000)));
    ASSERT_TRUE(processUntil([&] { return received.size() == 50; }));
    EXPECT_TRUE(inOrder());
    ASSERT_EQ(msgs.shown.size(), 1u);
    EXPECT_EQ(msgs.shown[0].text, "Error while processing recorded audio: disk full");
    EXPECT_EQ(msgs.shown[0].caption, "Audio Device Error");
    EXPECT_EQ(msgs.shown[0].icon, MessageIcon::Error);
    EXPECT_EQ(errors, std::vector<QString>{msgs.shown[0].text});
    EXPECT_EQ(source.queuedBlocks(), 0u);

    // The next capture reports its own first failure again.
    received.clear();
    ASSERT_TRUE(source.startnew(0, 0, pcm16Stereo(48000)));
    ASSERT_TRUE(processUntil([&] { return received.size() == 50; }));
    EXPECT_EQ(msgs.shown.size(), 2u);
    EXPECT_EQ(errors.size(), 2u);
}

TEST_F(DeliveryTest, HandlerInMessageBoxGetsNoBlockWhileTerminationIsServedInside) {
    std::vector<QString> log;
    bool inBox = false;
    source.OnError = [&](TWASAPISource*, const QString&) { log.push_back("error"); };
    source.OnData = [&](TWASAPISource*, const void* data, int32_t size) {
        if (size < 0) {
            log.push_back("end");
            return;
        }
        uint32_t n = 0;
        ASSERT_TRUE(readPayload(data, size, 4, n));
        log.push_back(QStringLiteral("block %1").arg(n));
        if (n == 0) {
            messages().show("Error: disk full", "Can not create audio file.", MessageIcon::Error,
                            MessageButtons::Ok);
            log.push_back("box closed");
        }
    };
    // The box's nested loop runs until the capture thread's end has been reported.
    msgs.whileOpen = [&] {
        if (inBox) {
            log.push_back("inner box");
            return;
        }
        inBox = true;
        log.push_back("box open");
        factory.failureGate = true;
        EXPECT_TRUE(processUntil([&] { return msgs.shown.size() == 2; }));
        inBox = false;
    };
    factory.script.blocks = 5;
    factory.script.failWith = static_cast<int32_t>(0x88890004u);
    factory.script.failErrmsg = "CaptureClient.GetBuffer Failed.";
    factory.script.holdFailure = true;

    ASSERT_TRUE(source.startnew(0, 0, pcm16Stereo(48000)));
    ASSERT_TRUE(processUntil([&] { return log.size() >= 10; }));
    EXPECT_EQ(log,
              (std::vector<QString>{"block 0", "box open", "error", "end", "inner box",
                                    "box closed", "block 1", "block 2", "block 3", "block 4"}));
    ASSERT_EQ(msgs.shown.size(), 2u);
    EXPECT_EQ(msgs.shown[1].caption, "Recording thread terminated");
    EXPECT_FALSE(source.started);
    source.stop();
}

TEST_F(DeliveryTest, StopDuringDeliveryEndsAfterTheCurrentDrain) {
    // The window thread stops while blocks keep coming: every block queued before the
    // capture thread ended is either delivered or left queued for the next start.
    factory.script.blocks = 20000;
    factory.script.yieldEvery = 64;
    recordBlocks();
    ASSERT_TRUE(source.startnew(0, 0, pcm16Stereo(48000)));
    ASSERT_TRUE(processUntil([&] { return received.size() >= 100; }));
    source.stop();
    const size_t produced = static_cast<size_t>(factory.produced.load());
    EXPECT_EQ(received.size() + source.queuedBlocks(), produced);
    EXPECT_TRUE(inOrder());

    // What stayed queued comes first after the next start.
    factory.script.blocks = 0;
    const size_t before = received.size();
    ASSERT_TRUE(source.startnew(0, 0, pcm16Stereo(48000)));
    ASSERT_TRUE(processUntil([&] { return received.size() == produced; }));
    EXPECT_TRUE(inOrder());
    EXPECT_GE(received.size(), before);
}

} // namespace
