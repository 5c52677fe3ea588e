// Worker threads: start, termination, waiting with hand-offs, failures; the manual-reset
// event.

#include "common/handoff.h"
#include "common/workerthread.h"
#include "support/fakemessages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

class LambdaWorker final : public WorkerThread {
public:
    LambdaWorker(WindowThreadHandoff& handoff, std::function<void(LambdaWorker&)> body)
        : WorkerThread(handoff), m_body(std::move(body)) {}
    // The body uses m_body's captures, so the thread must end before they are destroyed.
    ~LambdaWorker() override { stopAndWait(); }

    using WorkerThread::handoff;
    using WorkerThread::setReturnValue;
    using WorkerThread::sleepFor;

protected:
    void execute() override { m_body(*this); }

private:
    std::function<void(LambdaWorker&)> m_body;
};

TEST(WorkerThread, WaitForServesHandOffsAndRunsTheNotificationAfterTheBody) {
    WindowThreadHandoff handoff;
    std::vector<std::string> log; // written on the window thread only
    std::atomic<int> bodyRuns{0};
    LambdaWorker worker(handoff, [&](LambdaWorker& self) {
        ++bodyRuns;
        for (int i = 0; i < 3; ++i)
            self.handoff().call([&] { log.push_back("step"); });
        self.setReturnValue(7);
    });
    worker.onTerminate = [&](WorkerThread& sender) {
        EXPECT_EQ(&sender, &worker);
        EXPECT_TRUE(handoff.isWindowThread());
        EXPECT_EQ(sender.returnValue(), 7);
        log.push_back("terminated");
    };
    worker.start();
    worker.start(); // a second start does nothing
    // No event loop runs here: waitFor itself must serve the steps.
    EXPECT_EQ(worker.waitFor(), 7);
    EXPECT_TRUE(worker.finished());
    EXPECT_EQ(bodyRuns, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"step", "step", "step", "terminated"}));
    EXPECT_EQ(worker.waitFor(), 7); // waiting again returns at once
}

TEST(WorkerThread, ExceptionInTheBodyIsShownOnTheWindowThread) {
    FakeMessages msgs;
    WindowThreadHandoff handoff;
    bool notified = false;
    LambdaWorker worker(handoff, [](LambdaWorker&) { throw std::runtime_error("capture broke"); });
    worker.onTerminate = [&](WorkerThread&) { notified = true; };
    worker.start();
    EXPECT_EQ(worker.waitFor(), -1);
    ASSERT_EQ(msgs.shown.size(), 1u);
    EXPECT_EQ(msgs.shown[0].text, "capture broke");
    EXPECT_EQ(msgs.shown[0].icon, MessageIcon::Error);
    EXPECT_TRUE(notified);
}

TEST(WorkerThread, NeverStartedThreadIsWaitedForAtOnce) {
    WindowThreadHandoff handoff;
    LambdaWorker worker(handoff, [](LambdaWorker&) { ADD_FAILURE() << "body ran"; });
    worker.terminate();
    EXPECT_EQ(worker.waitFor(), 0);
    EXPECT_FALSE(worker.finished());
}

TEST(WorkerThread, TerminateWakesSleepAndDestructionWaitsServingHandOffs) {
    WindowThreadHandoff handoff;
    std::atomic<bool> sleeping{false};
    std::atomic<bool> wokeEarly{false};
    bool stepRan = false;
    auto worker = std::make_unique<LambdaWorker>(handoff, [&](LambdaWorker& self) {
        sleeping = true;
        // A long sleep; the hang guard of the test runner catches a lost wake-up.
        wokeEarly = self.sleepFor(600000);
        EXPECT_TRUE(self.terminated());
        self.handoff().call([&] { stepRan = true; });
    });
    worker->setPriority(ThreadPriority::AboveNormal);
    worker->start();
    while (!sleeping)
        std::this_thread::yield();
    worker.reset(); // terminates, waits and serves the final step
    EXPECT_TRUE(wokeEarly);
    EXPECT_TRUE(stepRan);
}

TEST(WorkerThread, SleepForTimesOutWithoutTerminate) {
    WindowThreadHandoff handoff;
    std::atomic<bool> result{true};
    LambdaWorker worker(handoff, [&](LambdaWorker& self) { result = self.sleepFor(1); });
    worker.start();
    worker.waitFor();
    EXPECT_FALSE(result);
}

TEST(ManualResetEvent, StaysSignalledUntilReset) {
    ManualResetEvent event;
    EXPECT_FALSE(event.isSet());
    EXPECT_FALSE(event.waitFor(0));
    event.set();
    EXPECT_TRUE(event.isSet());
    EXPECT_TRUE(event.waitFor(0));
    EXPECT_TRUE(event.waitFor(0)); // not consumed by a wait
    event.reset();
    EXPECT_FALSE(event.isSet());
    EXPECT_FALSE(event.waitFor(1));

    std::atomic<bool> waited{false};
    std::thread waiter([&] { waited = event.waitFor(20000); });
    event.set();
    waiter.join();
    EXPECT_TRUE(waited);
}

} // namespace
