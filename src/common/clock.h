#pragma once

#include "tdatetime.h"

#include <atomic>

/// The source of "now" for every time-dependent rule (VOX silence, auto-delete, split by
/// time, the scheduler), so that tests can move time by hand instead of sleeping.
/// Any thread may call now().
class Clock {
public:
    virtual ~Clock() = default;
    virtual TDateTime now() const = 0;
};

/// Local wall-clock time. Allocates nothing, so it may be read on the per-block path.
class SystemClock final : public Clock {
public:
    TDateTime now() const override;
};

/// The process-wide system clock.
Clock& systemClock();

/// Milliseconds of the monotonic clock (CLOCK_MONOTONIC), which the audio engine dates
/// captured audio by. Any thread.
double monotonicMs();

/// A clock that only moves when told to. For tests and benchmarks.
class ManualClock final : public Clock {
public:
    explicit ManualClock(TDateTime start = datetime::encode(2024, 8, 8, 22, 15, 7))
        : m_now(start) {}
    TDateTime now() const override { return m_now.load(std::memory_order_relaxed); }
    void set(TDateTime t) { m_now.store(t, std::memory_order_relaxed); }
    void advanceMs(int64_t ms) { set(datetime::addMilliseconds(now(), ms)); }

private:
    std::atomic<double> m_now;
};
