#pragma once

// A capture backend for tests: the capture thread is a producer of numbered blocks that
// can fail in Init or later, and the render thread only follows its script.

#include "capture/capturethreads.h"
#include "capture/wasapisource.h"
#include "support/eventloop.h"

#include <QCoreApplication>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

/// What the producer does.
struct ProducerScript {
    int32_t initResult = 0;
    QString initErrmsg;
    int blocks = 0;         ///< blocks made without being asked (more through allow())
    int framesPerBlock = 4; ///< at least 1; the first frame carries the block's number
    int yieldEvery = 0;     ///< pause briefly after this many blocks, so delivery runs in bursts
    int32_t failWith = 0;   ///< after the allowed blocks, end with this value (0: idle)
    QString failErrmsg;
    bool holdFailure = false; ///< the failure waits for failureGate
    int32_t renderInit = 0;   ///< what the render thread's Init leaves in `started`
};

/// Makes the payload of block `n`: its number in the first four bytes, then a pattern.
inline std::vector<uint8_t> testPayload(uint32_t n, int frames) {
    std::vector<uint8_t> bytes(static_cast<size_t>(frames) * 4);
    for (size_t i = 4; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(n * 7 + i);
    std::memcpy(bytes.data(), &n, 4);
    return bytes;
}

/// The number of a block made by testPayload, and whether the rest of it is intact.
inline bool readPayload(const void* data, int32_t size, int frames, uint32_t& n) {
    if (size != frames * 4)
        return false;
    const auto* bytes = static_cast<const uint8_t*>(data);
    std::memcpy(&n, bytes, 4);
    for (size_t i = 4; i < static_cast<size_t>(size); ++i)
        if (bytes[i] != static_cast<uint8_t>(n * 7 + i))
            return false;
    return true;
}

class FakeCaptureFactory;

class FakeCaptureThread final : public CaptureThread {
public:
    FakeCaptureThread(WindowThreadHandoff& handoff, TWASAPISource& owner,
                      FakeCaptureFactory& factory);
    ~FakeCaptureThread() override;

    int32_t Init() override;

    bool initOnWindowThread = false;

protected:
    void execute() override;

private:
    TWASAPISource& m_owner;
    FakeCaptureFactory& m_factory;
};

class FakeRenderThread final : public RenderThread {
public:
    FakeRenderThread(WindowThreadHandoff& handoff, FakeCaptureFactory& factory);
    ~FakeRenderThread() override;

    void Init() override;

protected:
    void execute() override {
        if (started != 0)
            return;
        while (!sleepFor(1000)) {
        }
    }

private:
    FakeCaptureFactory& m_factory;
};

class FakeCaptureFactory final : public CaptureThreadFactory {
public:
    explicit FakeCaptureFactory(WindowThreadHandoff& handoff) : m_handoff(handoff) {}

    std::unique_ptr<CaptureThread> createCaptureThread(TWASAPISource& owner,
                                                       const TDataEvent& event,
                                                       const tWAVEFORMATEX& format) override {
        ++createdCapture;
        lastFormat = format;
        eventAssigned = static_cast<bool>(event);
        auto thread = std::make_unique<FakeCaptureThread>(m_handoff, owner, *this);
        lastCapture = thread.get();
        return thread;
    }
    std::unique_ptr<RenderThread> createRenderThread(TWASAPISource&) override {
        ++createdRender;
        auto thread = std::make_unique<FakeRenderThread>(m_handoff, *this);
        lastRender = thread.get();
        return thread;
    }

    /// Lets the running producer make n more blocks.
    void allow(int n) { allowed += n; }

    ProducerScript script;
    std::atomic<int> allowed{0};
    std::atomic<int> produced{0};
    std::atomic<bool> failureGate{false};

    int createdCapture = 0;
    int createdRender = 0;
    std::atomic<int> liveCapture{0};
    std::atomic<int> liveRender{0};
    FakeCaptureThread* lastCapture = nullptr; ///< valid while liveCapture > 0
    FakeRenderThread* lastRender = nullptr;   ///< valid while liveRender > 0
    tWAVEFORMATEX lastFormat;
    bool eventAssigned = false;

private:
    WindowThreadHandoff& m_handoff;
};

inline FakeCaptureThread::FakeCaptureThread(WindowThreadHandoff& handoff, TWASAPISource& owner,
                                            FakeCaptureFactory& factory)
    : CaptureThread(handoff), m_owner(owner), m_factory(factory) {
    ++m_factory.liveCapture;
}

inline FakeCaptureThread::~FakeCaptureThread() {
    stopAndWait();
    --m_factory.liveCapture;
}

inline int32_t FakeCaptureThread::Init() {
    initOnWindowThread = QCoreApplication::instance()->thread() == QThread::currentThread();
    m_factory.allowed = m_factory.script.blocks;
    m_factory.produced = 0;
    errmsg = m_factory.script.initErrmsg;
    return m_factory.script.initResult;
}

inline void FakeCaptureThread::execute() {
    if (started != 0)
        return;
    const ProducerScript& script = m_factory.script;
    int n = 0;
    while (!terminated()) {
        if (n < m_factory.allowed.load()) {
            const std::vector<uint8_t> payload =
                testPayload(static_cast<uint32_t>(n), script.framesPerBlock);
            m_owner.queueBlock(
                makeCapturedBlock(payload.data(), static_cast<int32_t>(payload.size())));
            m_factory.produced = ++n;
            if (script.yieldEvery > 0 && n % script.yieldEvery == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        if (script.failWith != 0 && (!script.holdFailure || m_factory.failureGate.load())) {
            errmsg = script.failErrmsg;
            setReturnValue(script.failWith);
            return;
        }
        sleepFor(1);
    }
}

inline FakeRenderThread::FakeRenderThread(WindowThreadHandoff& handoff, FakeCaptureFactory& factory)
    : RenderThread(handoff), m_factory(factory) {
    ++m_factory.liveRender;
}

inline FakeRenderThread::~FakeRenderThread() {
    stopAndWait();
    --m_factory.liveRender;
}

inline void FakeRenderThread::Init() {
    started = m_factory.script.renderInit;
}
