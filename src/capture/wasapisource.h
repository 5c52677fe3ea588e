#pragma once

#include "blockqueue.h"
#include "capturethreads.h"
#include "devices.h"

#include "common/clock.h"
#include "common/tdatetime.h"
#include "common/waveformat.h"
#include "common/workerthread.h"

#include <QStringList>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <memory>

class WindowThreadHandoff;

/// Whether queueing a block has the window thread deliver it at once. The capture thread cuts
/// several blocks from one round of packets; asking once for the round lets them travel to
/// the window thread together instead of one each.
enum class StorageWake { Now, Later };

namespace audio {
class AudioEngine;
}

/// The one object through which the recorder receives audio. It owns the endpoint list,
/// starts capture on one endpoint and delivers every captured block to OnData on the
/// window thread.
///
/// Threads: every member function is called on the window thread, except queueBlock() and
/// wakeStorage(), which the capture thread calls, and clock(), which any thread may call.
/// Delivery runs through the hand-off: wakeStorage() posts one drain of the queue (StoreData())
/// to the window thread without waiting for it, so no thread wakes only to pass blocks on.
class TWASAPISource {
public:
    /// `threads` makes the capture and render threads (null: capture cannot start).
    TWASAPISource(WindowThreadHandoff& handoff, CaptureThreadFactory* threads,
                  Clock& clock = systemClock());
    ~TWASAPISource();

    TWASAPISource(const TWASAPISource&) = delete;
    TWASAPISource& operator=(const TWASAPISource&) = delete;

    /// The engine whose endpoints enumdevices() lists (null: none; propagate then only fills
    /// `inputs`). It must outlive the source.
    void setAudioEngine(audio::AudioEngine* engine) { m_engine = engine; }
    /// Appends the engine's endpoints to `cards`, grouped by card name, moves the card of the
    /// default output endpoint to the front and sets `defaultcard`, `defaultinput` and
    /// `defaultrate`. Throws std::runtime_error with the text of the step that failed; the
    /// endpoints filed before stay listed.
    void enumdevices();
    /// enumdevices(), showing a failure to the user, then fillinputs(fcard).
    void propagate();
    /// `inputs` := the descriptions of that card's endpoints (empty for a bad index).
    void fillinputs(int32_t card);
    /// Stops any running capture and starts capture on endpoint `inp` of card `i`.
    /// True when the endpoint's state is active.
    bool startnew(int32_t i, int32_t inp, const tWAVEFORMATEX& PCM);
    /// Ends and frees the running threads, serving hand-offs while it waits.
    void stop();
    /// Capture gain := LV / 50 (50 is unity, 0 silence, 100 double).
    void setvolume(int32_t LV);
    /// True when the selected endpoint's state is 1 (active).
    bool IsActive() const;
    /// Termination notification of the capture thread (window thread).
    void onterminate(WorkerThread& Sender);
    /// Drains the queue into OnData (window thread). Frees every block, also when the
    /// handler throws; the exception then ends the drain and passes on.
    void StoreData();

    /// Capture thread: queues a block and, unless told to wait, has it delivered.
    void queueBlock(CapturedBlock block, StorageWake wake = StorageWake::Now);
    /// Capture thread: has the blocks queued with StorageWake::Later delivered. While no
    /// capture runs, blocks stay queued for the next start.
    void wakeStorage();
    /// Window thread, run by the capture thread through the hand-off: capture has moved to
    /// output endpoint `id` (described as `name`) because the recorded one went away or the
    /// default output changed. Moves the silent render thread to that endpoint, lists the
    /// endpoints again (keeping `defaultrate`, the rate capture goes on at), selects the
    /// new endpoint and calls OnDeviceChange.
    void deviceFollowed(const QString& id, const QString& name);
    /// Any thread: the clock that times the session and the gap of a device change.
    Clock& clock() const { return m_clock; }
    /// The last capture ended because the sound server went away.
    bool serverLost() const { return m_serverLost; }
    /// The source is trying to capture again after the sound server went away.
    bool waitingForServer() const { return m_reconnect.isActive(); }
    /// Window thread, in OnData: when the last frame of the block in hand was played, in ms
    /// of monotonicMs(); 0 when the engine does not date its audio.
    double blockEndMs() const { return m_blockEndMs; }
    /// Any thread: how long the recorded output takes from a player's stream to being played
    /// (its latency, as the engine last reported it); 0 when not known.
    double outputLatencyMs() const {
        return static_cast<double>(m_outputLatencyUs.load(std::memory_order_relaxed)) / 1000.0;
    }
    /// Capture thread: the engine's latest report of that latency.
    void setOutputLatencyUs(int64_t us) { m_outputLatencyUs.store(us, std::memory_order_relaxed); }

    TDataEvent OnData;
    TErrorEvent OnError;
    /// Capture goes on on another output endpoint; the text names it (window thread).
    TDeviceChangeEvent OnDeviceChange;
    /// The capture thread ended because the sound server went away (window thread, after
    /// OnError and OnData(null, -1)); the text is its termination report. When assigned, it
    /// takes the place of the report's message box, and the source tries twice a second to
    /// capture again on the default output, as at start-up, until OnServerBack tells that it
    /// does. Clearing it ends the attempts.
    TErrorEvent OnServerLost;
    /// Capture runs again after the sound server came back; the text names the endpoint.
    TDeviceChangeEvent OnServerBack;
    /// The application recorded alone has no stream any more (`waiting`), or has one again;
    /// window thread.
    std::function<void(TWASAPISource* Sender, const QString& application, bool waiting)>
        OnApplicationWaiting;

    /// Before a start: record only this application (its name, program or process id) of
    /// the output; empty for everything it plays.
    /// `waitIfAbsent`: one that is not playing at the start is waited for, with silence,
    /// instead of failing the start.
    void setApplication(const QString& application, bool waitIfAbsent = false) {
        m_application = application;
        m_waitForApplication = waitIfAbsent;
    }
    /// While capturing: record `application` from now on (empty: everything), without a
    /// break in the blocks; it is waited for when it is not playing.
    void changeApplication(const QString& application);
    const QString& application() const { return m_application; }
    /// Window thread, from the capture thread: see OnApplicationWaiting.
    void applicationWaiting(const QString& application, bool waiting) {
        if (FInputRecordThread && OnApplicationWaiting)
            OnApplicationWaiting(this, application, waiting);
    }

    int32_t defaultinput = 0;
    int32_t defaultcard = 0;
    int32_t defaultrate = 44100;
    QStringList inputs;
    TWASAPIDevices cards;
    bool started = false;

    // Inspection, for tests and the program's own diagnostics.
    bool hasThreads() const;
    size_t queuedBlocks() const { return fqueue.size(); }
    bool Loopback() const { return FLoopback; }

private:
    bool launch(int32_t card, int32_t input);
    /// Window thread: the posted drain.
    void deliver();
    void reportDeliveryFailure(const QString& text);
    void refreshEndpoints(const QString& capturedId);
    /// One attempt to capture again after the sound server went away (window thread).
    void reconnect();
    void showStartError(const QString& text, const QString& caption);

    WindowThreadHandoff& m_handoff;
    CaptureThreadFactory* m_threads;
    Clock& m_clock;
    audio::AudioEngine* m_engine = nullptr;

    std::unique_ptr<CaptureThread> FInputRecordThread;
    std::unique_ptr<RenderThread> FPLaybackThread;
    int32_t fcard = 0;
    int32_t finput = 0;
    tWAVEFORMATEX fPCM;
    bool FLoopback = false;
    TDateTime sessionduration = 0.0;
    BlockQueue fqueue;
    std::atomic<bool> m_delivering{false}; ///< a capture runs; its blocks are delivered
    std::atomic<bool> m_drainPosted{false};
    bool m_draining = false; ///< window thread: a drain is on the stack
    QString m_application;
    bool m_waitForApplication = false;
    bool m_deliveryFailureShown = false;
    bool m_serverLost = false;
    double m_blockEndMs = 0;
    std::atomic<int64_t> m_outputLatencyUs{0};
    QTimer m_reconnect;
    bool m_reconnecting = false; ///< an attempt is on the stack
    bool m_quietStart = false;   ///< a failed start is not shown
    int m_reconnectFailures = 0; ///< starts that failed while the server answered
};

/// Hexadecimal text of a status, 8 upper-case digits (two's complement: -1 is FFFFFFFF).
QString statusHex(int32_t status);
