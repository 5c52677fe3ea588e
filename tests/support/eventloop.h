#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <thread>

/// Serves the event loop (and with it the capture hand-off) until `done` holds; false when
/// `guard` passes first, so that a test fails instead of hanging.
inline bool processUntil(const std::function<bool()>& done,
                         std::chrono::seconds guard = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}
