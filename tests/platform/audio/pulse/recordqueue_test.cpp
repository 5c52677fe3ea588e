// The record queue between the server's fragments and the capture client's packets, without
// a server: fragments are made up here, holes as null data.
#include "platform/audio/pulse/recordqueue.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

using audio::pulse::RecordQueue;

namespace {

std::vector<uint8_t> bytesFrom(uint8_t first, size_t count) {
    std::vector<uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

std::vector<uint8_t> packetOf(RecordQueue& queue) {
    const uint8_t* data = queue.packetData();
    return data ? std::vector<uint8_t>(data, data + queue.packetBytes()) : std::vector<uint8_t>{};
}

TEST(RecordQueueTest, EachFragmentBecomesOnePacketOfWholeFrames) {
    RecordQueue queue(4, 1000);
    EXPECT_EQ(queue.packetBytes(), 0u);
    EXPECT_EQ(queue.packetData(), nullptr);
    queue.popPacket(); // nothing there: no effect

    const std::vector<uint8_t> first = bytesFrom(0, 8);
    const std::vector<uint8_t> second = bytesFrom(8, 12);
    queue.push(first.data(), first.size());
    queue.push(second.data(), second.size());
    EXPECT_EQ(queue.queuedBytes(), 20u);
    EXPECT_EQ(packetOf(queue), first) << "fragments were merged";
    EXPECT_FALSE(queue.packetSilent());
    queue.popPacket();
    EXPECT_EQ(packetOf(queue), second);
    queue.popPacket();
    EXPECT_EQ(queue.packetBytes(), 0u);
    EXPECT_EQ(queue.queuedBytes(), 0u);
}

TEST(RecordQueueTest, LargeFragmentsAreCutIntoPacketsOfWholeFrames) {
    // Packets of at most 10 bytes become 8 (two 4-byte frames).
    RecordQueue queue(4, 1000, 10);
    const std::vector<uint8_t> first = bytesFrom(0, 22); // 5 frames and 2 bytes
    const std::vector<uint8_t> second = bytesFrom(22, 10);
    queue.push(first.data(), first.size());
    queue.push(second.data(), second.size());
    queue.push(nullptr, 8); // a hole of two frames
    std::vector<uint8_t> all;
    std::vector<size_t> sizes;
    while (queue.packetBytes() > 0) {
        const std::vector<uint8_t> packet = packetOf(queue);
        EXPECT_EQ(packet.size() % 4, 0u);
        EXPECT_LE(packet.size(), 8u);
        sizes.push_back(packet.size());
        all.insert(all.end(), packet.begin(), packet.end());
        queue.popPacket();
    }
    // Every byte in order, the partial frame joined to the next fragment, the hole as zeros.
    std::vector<uint8_t> want = bytesFrom(0, 32);
    want.insert(want.end(), 8, 0);
    EXPECT_EQ(all, want);
    EXPECT_EQ(sizes, (std::vector<size_t>{8, 8, 4, 8, 4, 8}));
}

TEST(RecordQueueTest, PartialFramesJoinTheNextFragmentAndHolesAreSilent) {
    RecordQueue queue(4, 1000);
    const std::vector<uint8_t> stream = bytesFrom(1, 17);
    // 6 bytes: one frame and half of the next.
    queue.push(stream.data(), 6);
    EXPECT_EQ(queue.queuedBytes(), 6u);
    EXPECT_EQ(packetOf(queue), bytesFrom(1, 4));
    queue.popPacket();
    EXPECT_EQ(queue.packetBytes(), 0u) << "a partial frame was handed out";
    EXPECT_EQ(queue.queuedBytes(), 2u);
    // 1 byte: still no frame.
    queue.push(stream.data() + 6, 1);
    EXPECT_EQ(queue.packetBytes(), 0u);
    // 10 bytes complete the frame and two more, leaving one byte over.
    queue.push(stream.data() + 7, 10);
    EXPECT_EQ(packetOf(queue), bytesFrom(5, 12));
    queue.popPacket();
    EXPECT_EQ(queue.queuedBytes(), 1u);

    // A hole after sound completes its frame with zeros, and that packet is not silent.
    queue.push(nullptr, 7);
    EXPECT_EQ(packetOf(queue), (std::vector<uint8_t>{17, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(queue.packetSilent());
    queue.popPacket();
    EXPECT_EQ(queue.queuedBytes(), 0u);
    // A hole on its own is a silent packet of zeros, also when it reuses a buffer.
    queue.push(nullptr, 8);
    EXPECT_TRUE(queue.packetSilent());
    EXPECT_EQ(packetOf(queue), std::vector<uint8_t>(8, 0));
    queue.popPacket();
    // A hole ending in a partial frame keeps it silent for the next hole...
    queue.push(nullptr, 6);
    queue.popPacket();
    queue.push(nullptr, 2);
    EXPECT_TRUE(queue.packetSilent());
    EXPECT_EQ(queue.packetBytes(), 4u);
    queue.popPacket();
    // ...and sound after a hole is sound.
    queue.push(nullptr, 2);
    queue.push(stream.data(), 2);
    EXPECT_FALSE(queue.packetSilent());
    EXPECT_EQ(packetOf(queue), (std::vector<uint8_t>{0, 0, 1, 2}));
}

TEST(RecordQueueTest, AFullQueueDropsTheOldestButNotAHandedOutPacket) {
    RecordQueue queue(2, 10);
    std::vector<std::vector<uint8_t>> fragments;
    for (uint8_t i = 0; i < 40; ++i) {
        fragments.push_back(bytesFrom(static_cast<uint8_t>(i * 4), 4));
    }
    queue.push(fragments[0].data(), 4);
    queue.push(fragments[1].data(), 4);
    EXPECT_EQ(queue.queuedBytes(), 8u);
    EXPECT_EQ(queue.droppedBytes(), 0u);
    queue.push(fragments[2].data(), 4);
    queue.push(fragments[3].data(), 4);
    EXPECT_EQ(queue.queuedBytes(), 8u);
    EXPECT_EQ(queue.droppedBytes(), 8u) << "more went than was needed to fit";
    EXPECT_EQ(packetOf(queue), fragments[2]);

    // The handed-out packet stays where it is while many more arrive (growing the ring too).
    queue.setPacketHandedOut(true);
    const uint8_t* handedOut = queue.packetData();
    for (size_t i = 4; i < 40; ++i) {
        queue.push(fragments[i].data(), 4);
        ASSERT_EQ(queue.packetData(), handedOut);
        ASSERT_EQ(packetOf(queue), fragments[2]);
    }
    EXPECT_EQ(queue.queuedBytes(), 8u);
    queue.popPacket();
    EXPECT_FALSE(queue.packetHandedOut());
    EXPECT_EQ(packetOf(queue), fragments[39]) << "not the newest that was kept";

    // A single fragment larger than the limit is kept whole rather than lost.
    const std::vector<uint8_t> large = bytesFrom(0, 30);
    queue.push(large.data(), large.size());
    EXPECT_EQ(packetOf(queue), large);
    EXPECT_EQ(queue.queuedBytes(), 30u);
}

TEST(RecordQueueTest, ManyFragmentsInFlightKeepTheirOrder) {
    RecordQueue queue(3, 100000);
    std::vector<uint8_t> expected;
    std::vector<uint8_t> got;
    uint8_t next = 0;
    // Pushing up to 20 fragments of varying length between reads grows the ring and wraps it.
    for (size_t round = 0; round < 50; ++round) {
        for (size_t i = 0; i < round % 20 + 1; ++i) {
            const std::vector<uint8_t> fragment = bytesFrom(next, (round + i) % 11 + 1);
            next = static_cast<uint8_t>(next + fragment.size());
            expected.insert(expected.end(), fragment.begin(), fragment.end());
            queue.push(fragment.data(), fragment.size());
        }
        while (queue.packetBytes() != 0) {
            EXPECT_EQ(queue.packetBytes() % 3, 0u);
            const std::vector<uint8_t> packet = packetOf(queue);
            got.insert(got.end(), packet.begin(), packet.end());
            queue.popPacket();
        }
        EXPECT_EQ(queue.queuedBytes(), expected.size() - got.size());
    }
    expected.resize(got.size());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(queue.droppedBytes(), 0u);
}

} // namespace
