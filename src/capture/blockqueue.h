#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

/// One captured block: a signed 32-bit little-endian length N followed by N bytes of
/// interleaved 16-bit stereo PCM, in one allocation.
using CapturedBlock = std::unique_ptr<uint8_t[]>;

/// Allocates a block holding a copy of `size` bytes at `pcm`.
inline CapturedBlock makeCapturedBlock(const void* pcm, int32_t size) {
    CapturedBlock block(new uint8_t[static_cast<size_t>(size) + 4]);
    std::memcpy(block.get(), &size, 4);
    if (size > 0)
        std::memcpy(block.get() + 4, pcm, static_cast<size_t>(size));
    return block;
}

inline int32_t capturedBlockSize(const CapturedBlock& block) {
    int32_t size = 0;
    std::memcpy(&size, block.get(), 4);
    return size;
}

/// An unbounded, thread-safe first-in-first-out queue of blocks. enqueue never blocks for
/// lack of room; tryDequeue returns false at once when the queue is empty. Any thread.
class BlockQueue {
public:
    void enqueue(CapturedBlock block) {
        std::lock_guard lock(m_mutex);
        m_items.push_back(std::move(block));
    }
    bool tryDequeue(CapturedBlock& block) {
        std::lock_guard lock(m_mutex);
        if (m_items.empty())
            return false;
        block = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }
    size_t size() const {
        std::lock_guard lock(m_mutex);
        return m_items.size();
    }

private:
    mutable std::mutex m_mutex;
    std::deque<CapturedBlock> m_items;
};
