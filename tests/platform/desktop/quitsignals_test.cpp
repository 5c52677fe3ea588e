#include "platform/desktop/quitsignals.h"
#include "support/eventloop.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <thread>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_testHandlerRuns = 0;
volatile sig_atomic_t g_testHandlerLast = 0;

void testHandler(int signalNumber) {
    g_testHandlerRuns = g_testHandlerRuns + 1;
    g_testHandlerLast = signalNumber;
}

// Gives a stray extra emission the chance to show up.
void processForAWhile() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct Received {
    std::vector<int> numbers;
    explicit Received(QuitSignals& source) {
        QObject::connect(&source, &QuitSignals::quitRequested,
                         [this](int n) { numbers.push_back(n); });
    }
};

// Every test starts with a handler of its own on both signals, so that a fault in
// QuitSignals counts in the test instead of ending the test program.
class QuitSignalsTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_testHandlerRuns = 0;
        g_testHandlerLast = 0;
        struct sigaction action {};
        action.sa_handler = testHandler;
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(sigaction(SIGTERM, &action, &m_oldTerm), 0);
        ASSERT_EQ(sigaction(SIGHUP, &action, &m_oldHup), 0);
    }
    void TearDown() override {
        sigaction(SIGTERM, &m_oldTerm, nullptr);
        sigaction(SIGHUP, &m_oldHup, nullptr);
    }

private:
    struct sigaction m_oldTerm {};
    struct sigaction m_oldHup {};
};

} // namespace

TEST_F(QuitSignalsTest, EachSignalGivesExactlyOneQuitRequestInTheEventLoop) {
    QuitSignals quit;
    ASSERT_TRUE(quit.isInstalled());
    Received received(quit);

    ASSERT_EQ(raise(SIGTERM), 0);
    // The handler only writes to the pipe; the emission waits for the event loop.
    EXPECT_TRUE(received.numbers.empty());
    ASSERT_TRUE(processUntil([&] { return !received.numbers.empty(); }));
    processForAWhile();
    EXPECT_EQ(received.numbers, std::vector<int>{SIGTERM});

    received.numbers.clear();
    ASSERT_EQ(raise(SIGHUP), 0);
    ASSERT_TRUE(processUntil([&] { return !received.numbers.empty(); }));
    processForAWhile();
    EXPECT_EQ(received.numbers, std::vector<int>{SIGHUP});

    // From outside the thread's own raise(): the kernel may pick any thread to run it on.
    for (const int signalNumber : {SIGTERM, SIGHUP}) {
        received.numbers.clear();
        ASSERT_EQ(kill(getpid(), signalNumber), 0);
        ASSERT_TRUE(processUntil([&] { return !received.numbers.empty(); }));
        processForAWhile();
        EXPECT_EQ(received.numbers, std::vector<int>{signalNumber});
    }
    EXPECT_EQ(g_testHandlerRuns, 0);
}

TEST_F(QuitSignalsTest, ABurstOfSignalsIsNotLost) {
    QuitSignals quit;
    ASSERT_TRUE(quit.isInstalled());
    Received received(quit);

    std::vector<int> sent;
    for (int i = 0; i < 100; ++i) {
        const int signalNumber = i % 3 == 0 ? SIGHUP : SIGTERM;
        ASSERT_EQ(raise(signalNumber), 0);
        sent.push_back(signalNumber);
    }
    ASSERT_TRUE(processUntil([&] { return received.numbers.size() >= sent.size(); }));
    processForAWhile();
    EXPECT_EQ(received.numbers, sent);
}

TEST_F(QuitSignalsTest, AFullPipeNeitherBlocksNorChangesErrno) {
    QuitSignals quit;
    ASSERT_TRUE(quit.isInstalled());
    Received received(quit);

    // More than a pipe holds (64 KiB by default), so that the handler's writes start to
    // fail; the interrupted code must not see their errno.
    constexpr size_t kRaised = 100000;
    size_t errnoChanged = 0;
    for (size_t i = 0; i < kRaised; ++i) {
        errno = EDOM;
        raise(SIGTERM);
        if (errno != EDOM)
            ++errnoChanged;
    }
    EXPECT_EQ(errnoChanged, 0u);
    ASSERT_TRUE(processUntil([&] { return !received.numbers.empty(); }));
    processForAWhile();
    EXPECT_LT(received.numbers.size(), kRaised);

    // Once read, the pipe takes requests again.
    received.numbers.clear();
    raise(SIGHUP);
    ASSERT_TRUE(processUntil([&] { return !received.numbers.empty(); }));
    EXPECT_EQ(received.numbers, std::vector<int>{SIGHUP});
}

TEST_F(QuitSignalsTest, DestructionRestoresThePreviousHandlers) {
    {
        QuitSignals quit;
        ASSERT_TRUE(quit.isInstalled());
        raise(SIGTERM);
        EXPECT_EQ(g_testHandlerRuns, 0);
        processForAWhile();
    }
    for (const int signalNumber : {SIGTERM, SIGHUP}) {
        struct sigaction current {};
        ASSERT_EQ(sigaction(signalNumber, nullptr, &current), 0);
        EXPECT_EQ(current.sa_handler, &testHandler) << signalNumber;
    }
    raise(SIGTERM);
    EXPECT_EQ(g_testHandlerRuns, 1);
    EXPECT_EQ(g_testHandlerLast, SIGTERM);
    raise(SIGHUP);
    EXPECT_EQ(g_testHandlerRuns, 2);
    EXPECT_EQ(g_testHandlerLast, SIGHUP);

    // A signal that arrived but was never read leaves nothing behind for the next instance.
    {
        QuitSignals quit;
        raise(SIGTERM);
    }
    QuitSignals next;
    ASSERT_TRUE(next.isInstalled());
    Received received(next);
    processForAWhile();
    EXPECT_TRUE(received.numbers.empty());
}

TEST_F(QuitSignalsTest, OnlyOneInstanceAtATime) {
    auto first = std::make_unique<QuitSignals>();
    ASSERT_TRUE(first->isInstalled());
    Received fromFirst(*first);
    {
        QuitSignals second;
        EXPECT_FALSE(second.isInstalled());
        Received fromSecond(second);
        raise(SIGTERM);
        ASSERT_TRUE(processUntil([&] { return !fromFirst.numbers.empty(); }));
        processForAWhile();
        EXPECT_TRUE(fromSecond.numbers.empty());
    }
    // The second one's end took nothing from the first.
    fromFirst.numbers.clear();
    raise(SIGHUP);
    ASSERT_TRUE(processUntil([&] { return !fromFirst.numbers.empty(); }));
    EXPECT_EQ(fromFirst.numbers, std::vector<int>{SIGHUP});
    EXPECT_EQ(g_testHandlerRuns, 0);

    // Once the first is gone, a new one may install.
    first.reset();
    QuitSignals third;
    EXPECT_TRUE(third.isInstalled());
}

TEST_F(QuitSignalsTest, AnIgnoredHangUpStaysIgnored) {
    // As under nohup.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGHUP, &ignore, nullptr), 0);
    {
        QuitSignals quit;
        ASSERT_TRUE(quit.isInstalled());
        Received received(quit);
        raise(SIGHUP);
        raise(SIGTERM);
        ASSERT_TRUE(processUntil([&] { return !received.numbers.empty(); }));
        processForAWhile();
        EXPECT_EQ(received.numbers, std::vector<int>{SIGTERM});
    }
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGHUP, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
}

TEST_F(QuitSignalsTest, AReceiverMayDeleteTheObject) {
    auto quit = std::make_unique<QuitSignals>();
    ASSERT_TRUE(quit->isInstalled());
    int calls = 0;
    QObject::connect(quit.get(), &QuitSignals::quitRequested, [&](int) {
        ++calls;
        quit.reset();
    });
    raise(SIGTERM);
    raise(SIGTERM);
    ASSERT_TRUE(processUntil([&] { return calls > 0; }));
    processForAWhile();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(quit, nullptr);
}
