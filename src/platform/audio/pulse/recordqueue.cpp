#include "recordqueue.h"

#include <algorithm>
#include <utility>

namespace audio::pulse {

RecordQueue::RecordQueue(uint32_t frameSize, size_t limitBytes, size_t maxPacketBytes,
                         double bytesPerSecond)
    : m_frameSize(std::max<uint32_t>(frameSize, 1)), m_limitBytes(limitBytes),
      m_maxPacketBytes(maxPacketBytes == 0
                           ? 0
                           : std::max<size_t>(maxPacketBytes / m_frameSize, 1) * m_frameSize),
      m_bytesPerUs(bytesPerSecond / 1e6), m_slots(8) {
    m_partial.reserve(m_frameSize);
}

RecordQueue::Packet& RecordQueue::appendSlot() {
    if (m_count == m_slots.size()) {
        std::vector<Packet> grown(m_slots.size() * 2);
        for (size_t i = 0; i < m_count; ++i) {
            grown[i] = std::move(slot(i)); // moving keeps a handed-out packet's address
        }
        m_slots = std::move(grown);
        m_first = 0;
    }
    Packet& packet = slot(m_count);
    packet.bytes.clear();
    return packet;
}

void RecordQueue::push(const uint8_t* data, size_t bytes, double timeUs) {
    if (bytes == 0) {
        return;
    }
    // A hole completing a frame begun by sound is not silence; one on its own is.
    const bool silent = !data && (m_partial.empty() || m_partialSilent);
    const size_t total = m_partial.size() + bytes;
    const size_t whole = total / m_frameSize * m_frameSize;
    if (whole == 0) {
        if (data) {
            m_partial.insert(m_partial.end(), data, data + bytes);
        } else {
            m_partial.resize(total, 0);
        }
        m_partialSilent = silent;
        return;
    }

    // The partial frame is shorter than a frame, so the first packet takes all of it, and
    // what is left over for the next fragment lies within this one.
    size_t offset = 0; // bytes of this fragment used so far
    size_t left = whole;
    bool first = true;
    while (left > 0) {
        const size_t size = m_maxPacketBytes == 0 ? left : std::min(left, m_maxPacketBytes);
        Packet& packet = appendSlot();
        size_t fromFragment = size;
        // The first packet begins with the partial frame, which was played just before.
        const double startByte =
            first ? -static_cast<double>(m_partial.size()) : static_cast<double>(offset);
        packet.timeUs =
            timeUs == 0 || m_bytesPerUs <= 0 ? timeUs : timeUs + startByte / m_bytesPerUs;
        if (first) {
            packet.bytes.reserve(size);
            packet.bytes.insert(packet.bytes.end(), m_partial.begin(), m_partial.end());
            fromFragment -= m_partial.size();
            first = false;
        }
        if (data) {
            packet.bytes.insert(packet.bytes.end(), data + offset, data + offset + fromFragment);
        } else {
            packet.bytes.resize(packet.bytes.size() + fromFragment, 0);
        }
        packet.silent = silent;
        ++m_count;
        m_packetBytes += size;
        offset += fromFragment;
        left -= size;
    }
    const size_t taken = offset;

    m_partial.clear();
    if (data) {
        m_partial.insert(m_partial.end(), data + taken, data + bytes);
    } else {
        m_partial.resize(bytes - taken, 0);
    }
    m_partialSilent = silent;

    // A consumer that falls behind by more than the buffer loses the oldest audio, as it
    // would from a device's ring buffer, so that memory stays bounded; the newest packet
    // and a handed-out one stay.
    while (m_packetBytes > m_limitBytes && m_count > (m_handedOut ? 2u : 1u)) {
        dropOldest();
    }
}

void RecordQueue::dropOldest() {
    if (m_handedOut) {
        // The second packet is the oldest that may go: the handed-out one moves into its
        // slot, its buffer and so its address unchanged.
        std::swap(slot(0), slot(1));
    }
    m_droppedBytes += slot(0).bytes.size();
    m_packetBytes -= slot(0).bytes.size();
    m_first = (m_first + 1) % m_slots.size();
    --m_count;
}

void RecordQueue::popPacket() {
    if (m_count == 0) {
        return;
    }
    m_packetBytes -= slot(0).bytes.size();
    m_first = (m_first + 1) % m_slots.size();
    --m_count;
    m_handedOut = false;
}

} // namespace audio::pulse
