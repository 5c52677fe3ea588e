#pragma once

#include <atomic>

/// The process-wide capture gain: written by the window thread, read by the capture thread
/// for every sample. A stale value is harmless, so relaxed ordering serves.
inline std::atomic<float>& captureGainStorage() {
    static std::atomic<float> gain{1.0f};
    return gain;
}
inline float captureGain() {
    return captureGainStorage().load(std::memory_order_relaxed);
}
inline void setCaptureGain(float gain) {
    captureGainStorage().store(gain, std::memory_order_relaxed);
}
