#pragma once

#include "common/waveformat.h"
#include "common/workerthread.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class TWASAPISource;

/// Data event of the capture source: `dsize` bytes of PCM at `data`, valid until the
/// handler returns; `dsize` -1 with a null `data` means capture ended with an error.
using TDataEvent = std::function<void(TWASAPISource* Sender, const void* data, int32_t dsize)>;
/// Error event of the capture source.
using TErrorEvent = std::function<void(TWASAPISource* Sender, const QString& errmsg)>;
/// Device change event of the capture source: the description of the endpoint now captured.
using TDeviceChangeEvent = std::function<void(TWASAPISource* Sender, const QString& name)>;

/// What the capture source needs of a capture thread. The body reads the endpoint and puts
/// blocks into the owner's queue (TWASAPISource::queueBlock).
class CaptureThread : public WorkerThread {
public:
    using WorkerThread::WorkerThread;

    /// Window thread, before start(): opens the endpoint. 0 on success, else an error code,
    /// with a description left in errmsg.
    virtual int32_t Init() = 0;
    /// Window thread, while running: record `wanted` from now on (empty: everything the
    /// output plays) in the same run of blocks, the change as silence of its true length;
    /// waits for it when it is not playing. Ignored by threads that cannot.
    virtual void changeApplication(const QString& wanted) { (void)wanted; }

    bool Loopback = false;
    QString card;      ///< endpoint identifier
    QString cardname;  ///< the card's description, for messages
    QString inputname; ///< the endpoint's description, for messages
    /// Loopback: the application whose stream alone is recorded (its name, program or
    /// process id); empty for everything the output plays.
    QString application;
    /// Loopback, for an application that is not playing at the start: capture starts with
    /// silence and waits for it, instead of failing.
    bool waitForApplication = false;
    int32_t started = 0; ///< result of Init, stored by the source before start()
    QString errmsg;      ///< description of the last failure
};

/// What the capture source needs of the silent render thread.
class RenderThread : public WorkerThread {
public:
    using WorkerThread::WorkerThread;

    /// Window thread, before start(): opens the endpoint; the outcome is left in `started`
    /// (0 = success).
    virtual void Init() = 0;

    QString card; ///< endpoint identifier
    int32_t started = 0;
};

/// Makes the threads of one capture. The capture issue's backends and tests implement it.
class CaptureThreadFactory {
public:
    virtual ~CaptureThreadFactory() = default;
    virtual std::unique_ptr<CaptureThread> createCaptureThread(TWASAPISource& owner,
                                                               const TDataEvent& event,
                                                               const tWAVEFORMATEX& format) = 0;
    virtual std::unique_ptr<RenderThread> createRenderThread(TWASAPISource& owner) = 0;
};
