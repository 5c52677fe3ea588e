#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

/// The record data of one stream between the server's fragments and the capture client's
/// packets: each fragment becomes packets of whole frames (of at most `maxPacketBytes` each,
/// when given), a partial frame at its end waits for the next fragment. Not thread-safe;
/// PulseStream guards it with its own mutex.
namespace audio::pulse {

class RecordQueue {
public:
    /// `limitBytes`: at most this much is kept (see push()). `maxPacketBytes`: the largest
    /// packet, rounded down to whole frames (0: one packet per fragment). `bytesPerSecond`
    /// dates the packets cut from a fragment (0: their time is the fragment's).
    RecordQueue(uint32_t frameSize, size_t limitBytes, size_t maxPacketBytes = 0,
                double bytesPerSecond = 0);

    /// Appends a fragment, or a hole of `bytes` silent bytes when `data` is null, whose first
    /// byte was played at `timeUs` (microseconds of the monotonic clock; 0: unknown). When
    /// the queue then holds more than its limit, the oldest packets are dropped, but never
    /// the one just added nor one that is handed out. May throw std::bad_alloc; the fragment
    /// is then lost and the queue is otherwise unchanged.
    void push(const uint8_t* data, size_t bytes, double timeUs = 0);
    void setLimitBytes(size_t limitBytes) { m_limitBytes = limitBytes; }

    /// The oldest packet: its bytes (whole frames, 0 when none waits) and whether it is a
    /// hole. Its data stays at the same address until popPacket(), whatever is pushed.
    size_t packetBytes() const { return m_count == 0 ? 0 : slot(0).bytes.size(); }
    bool packetSilent() const { return m_count != 0 && slot(0).silent; }
    uint8_t* packetData() { return m_count == 0 ? nullptr : slot(0).bytes.data(); }
    /// When the oldest packet's first frame was played (see push()).
    double packetTimeUs() const { return m_count == 0 ? 0 : slot(0).timeUs; }
    /// While the oldest packet is handed out, push() does not drop it.
    void setPacketHandedOut(bool handedOut) { m_handedOut = handedOut; }
    bool packetHandedOut() const { return m_handedOut; }
    /// Removes the oldest packet; its buffer is kept for a later fragment.
    void popPacket();

    /// Every byte waiting, the partial frame included.
    size_t queuedBytes() const { return m_packetBytes + m_partial.size(); }
    /// Bytes dropped so far because the queue was full.
    uint64_t droppedBytes() const { return m_droppedBytes; }

private:
    struct Packet {
        std::vector<uint8_t> bytes;
        bool silent = false;
        double timeUs = 0;
    };

    Packet& slot(size_t i) { return m_slots[(m_first + i) % m_slots.size()]; }
    const Packet& slot(size_t i) const { return m_slots[(m_first + i) % m_slots.size()]; }
    void dropOldest();
    Packet& appendSlot();

    uint32_t m_frameSize;
    size_t m_limitBytes;
    size_t m_maxPacketBytes;
    double m_bytesPerUs;
    /// A ring of packets, m_count of them from m_first on. Slots outside the ring keep the
    /// capacity of the packets they held, so steady recording does not allocate.
    std::vector<Packet> m_slots;
    size_t m_first = 0;
    size_t m_count = 0;
    size_t m_packetBytes = 0;
    bool m_handedOut = false;
    /// The start of a frame that the last fragment did not complete, and whether the packet
    /// it came from was a hole.
    std::vector<uint8_t> m_partial;
    bool m_partialSilent = false;
    uint64_t m_droppedBytes = 0;
};

} // namespace audio::pulse
