// The hand-off of worker steps to the window thread.

#include "common/handoff.h"
#include "support/eventloop.h"

#include <QCoreApplication>
#include <QEvent>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Swallows the hand-off's posted events, so that a step stays queued.
class HoldEvents final : public QObject {
public:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() < QEvent::User)
            return false;
        seen = true;
        return true;
    }
    std::atomic<bool> seen{false};
};

TEST(WindowThreadHandoff, CallFromWorkerRunsOnWindowThreadAndWaitsForIt) {
    WindowThreadHandoff handoff;
    EXPECT_TRUE(handoff.isWindowThread());
    const auto windowThread = std::this_thread::get_id();
    std::thread::id ranOn;
    int runs = 0;
    std::atomic<bool> calling{false};
    std::atomic<bool> returned{false};
    bool stepDoneWhenReturned = false;
    std::thread worker([&] {
        EXPECT_FALSE(handoff.isWindowThread());
        calling = true;
        handoff.call([&] {
            ranOn = std::this_thread::get_id();
            ++runs;
        });
        stepDoneWhenReturned = runs == 1;
        returned = true;
    });
    while (!calling)
        std::this_thread::yield();
    // Nobody serves the step yet, so the worker cannot have come back.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(returned);
    ASSERT_TRUE(processUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_EQ(ranOn, windowThread);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(stepDoneWhenReturned);

    // On the window thread a step runs at once.
    handoff.call([&] { ++runs; });
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(handoff.check(), 0);
}

TEST(WindowThreadHandoff, ExceptionOfTheStepIsRethrownInTheWorker) {
    WindowThreadHandoff handoff;
    std::string message;
    int code = 0;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        try {
            handoff.call([] { throw std::runtime_error("disk full"); });
        } catch (const std::runtime_error& e) {
            message = e.what();
        }
        try {
            handoff.call([] { throw 42; });
        } catch (int e) {
            code = e;
        }
        // The hand-off keeps working after a failed step.
        handoff.call([&] { message += " / ok"; });
        done = true;
    });
    ASSERT_TRUE(processUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(message, "disk full / ok");
    EXPECT_EQ(code, 42);
}

TEST(WindowThreadHandoff, StepsOfOtherWorkersRunInsideANestedEventLoop) {
    WindowThreadHandoff handoff;
    std::vector<std::string> log;
    std::atomic<bool> firstRunning{false};
    std::atomic<bool> secondReturned{false};
    std::atomic<bool> firstReturned{false};
    std::thread first([&] {
        handoff.call([&] {
            log.push_back("first begins");
            firstRunning = true;
            // A message box's loop: serves events until the other worker has been served.
            EXPECT_TRUE(processUntil([&] { return secondReturned.load(); }));
            log.push_back("first ends");
        });
        firstReturned = true;
    });
    std::thread second([&] {
        while (!firstRunning)
            std::this_thread::yield();
        handoff.call([&] {
            log.push_back("second");
            EXPECT_FALSE(firstReturned);
        });
        secondReturned = true;
    });
    ASSERT_TRUE(processUntil([&] { return firstReturned.load(); }));
    first.join();
    second.join();
    EXPECT_EQ(log, (std::vector<std::string>{"first begins", "second", "first ends"}));
}

TEST(WindowThreadHandoff, WaitUntilServesStepsWithoutAnEventLoop) {
    WindowThreadHandoff handoff;
    int steps = 0;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i)
            handoff.call([&] { ++steps; });
        finished = true;
        handoff.wake();
    });
    // The window thread waits for the worker, which itself waits for the window thread.
    handoff.waitUntil([&] { return finished.load(); });
    worker.join();
    EXPECT_EQ(steps, 3);
    // The events posted for those steps find nothing left to do.
    QCoreApplication::processEvents();
    EXPECT_EQ(steps, 3);
}

TEST(WindowThreadHandoff, DestructionReleasesAWaitingWorkerWithClosed) {
    auto handoff = std::make_unique<WindowThreadHandoff>();
    WindowThreadHandoff* h = handoff.get();
    HoldEvents hold;
    h->installEventFilter(&hold);
    std::atomic<int> outcome{0};
    std::thread worker([&] {
        try {
            h->call([] { ADD_FAILURE() << "step ran after the hand-off closed"; });
            outcome = 1;
        } catch (const WindowThreadHandoff::Closed&) {
            outcome = 2;
        }
    });
    // The event is posted after the step is queued, so the worker now waits for it.
    ASSERT_TRUE(processUntil([&] { return hold.seen.load(); }));
    handoff.reset();
    worker.join();
    EXPECT_EQ(outcome, 2);
}

TEST(WindowThreadHandoff, ManyWorkersCallingAtOnce) {
    WindowThreadHandoff handoff;
    constexpr int Workers = 8;
    constexpr int Calls = 500;
    int total = 0; // touched on the window thread only
    std::vector<int> perWorker(Workers, 0);
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < Workers; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < Calls; ++i)
                handoff.call([&, w, i] {
                    EXPECT_TRUE(handoff.isWindowThread());
                    EXPECT_EQ(perWorker[w], i); // each worker's steps in its own order
                    ++perWorker[w];
                    ++total;
                });
            ++finished;
        });
    ASSERT_TRUE(processUntil([&] { return finished == Workers; }));
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(total, Workers * Calls);
}

} // namespace
