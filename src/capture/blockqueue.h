#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

/// One captured block: a signed 32-bit little-endian length N, N bytes of interleaved
/// 16-bit stereo PCM, and when its last frame was played (a double, ms of monotonicMs();
/// 0: unknown), in one allocation.
using CapturedBlock = std::unique_ptr<uint8_t[]>;

/// Allocates a block holding a copy of `size` bytes at `pcm`, played up to `endMs`.
inline CapturedBlock makeCapturedBlock(const void* pcm, int32_t size, double endMs = 0) {
    const size_t bytes = size > 0 ? static_cast<size_t>(size) : 0;
    CapturedBlock block(new uint8_t[bytes + 4 + sizeof(double)]);
    std::memcpy(block.get(), &size, 4);
    if (bytes > 0)
        std::memcpy(block.get() + 4, pcm, bytes);
    std::memcpy(block.get() + 4 + bytes, &endMs, sizeof(double));
    return block;
}

inline int32_t capturedBlockSize(const CapturedBlock& block) {
    int32_t size = 0;
    std::memcpy(&size, block.get(), 4);
    return size;
}

inline double capturedBlockEndMs(const CapturedBlock& block) {
    const int32_t size = capturedBlockSize(block);
    double endMs = 0;
    std::memcpy(&endMs, block.get() + 4 + (size > 0 ? size : 0), sizeof(double));
    return endMs;
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
