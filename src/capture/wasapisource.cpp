#include "wasapisource.h"

#include "audioclienterrors.h"
#include "capturegain.h"

#include "common/handoff.h"
#include "common/messages.h"
#include "platform/audio/audioplatform.h"

#include <cmath>
#include <stdexcept>

namespace {

constexpr int32_t NonFloatMixFormat = -960;
constexpr uint32_t InvalidArgument = 0x80070057u;
constexpr int32_t StateActive = 1;
constexpr int32_t DataFlowRender = 0;
// While the sound server is away each attempt to capture again costs one refused connection.
constexpr int ReconnectIntervalMs = 500;
// Attempts that find the server answering but cannot start capture yet: a server that has
// just come back may list its devices a few seconds later. After that the failure is shown
// as at start-up, and the attempts end.
constexpr int QuietReconnectStarts = 20;

const QString AudioDeviceErrorCaption = QStringLiteral("Audio Device Error");

void showError(const QString& text, const QString& caption) {
    messages().show(text, caption, MessageIcon::Error, MessageButtons::Ok);
}

// "h:nn:ss" of a span of days: hours of the day without a leading zero.
QString formatSessionDuration(TDateTime span) {
    int64_t ms = std::llround(span * datetime::MsPerDay);
    if (ms < 0)
        ms = 0;
    const int64_t seconds = (ms / 1000) % 86400;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString exceptionText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

} // namespace

TWASAPISource::TWASAPISource(WindowThreadHandoff& handoff, CaptureThreadFactory* threads,
                             Clock& clock)
    : m_handoff(handoff), m_threads(threads), m_clock(clock) {
    setCaptureGain(1.0f);
    m_reconnect.setInterval(ReconnectIntervalMs);
    QObject::connect(&m_reconnect, &QTimer::timeout, [this] { reconnect(); });
}

TWASAPISource::~TWASAPISource() {
    stop();
}

void TWASAPISource::propagate() {
    if (m_engine) {
        // The list read so far is kept; start-up goes on with it.
        try {
            enumdevices();
        } catch (...) {
            showError(QStringLiteral("Audio devices enumeration error: ") +
                          exceptionText(std::current_exception()),
                      AudioDeviceErrorCaption);
        }
    }
    fillinputs(fcard);
}

void TWASAPISource::fillinputs(int32_t card) {
    inputs.clear();
    if (card < 0 || card >= cards.Count())
        return;
    const TWASAPIDevice& item = cards.GetItem(card);
    if (!item.inputs)
        return;
    for (int i = 0; i < item.inputs->Count(); ++i)
        inputs.append(item.inputs->GetItem(i).Description);
}

bool TWASAPISource::startnew(int32_t i, int32_t inp, const tWAVEFORMATEX& PCM) {
    // A start from outside ends the attempts to capture again.
    if (!m_reconnecting)
        m_reconnect.stop();
    m_serverLost = false;
    stop();
    fPCM = PCM;
    fcard = i;
    finput = inp;
    sessionduration = m_clock.now();
    m_deliveryFailureShown = false;
    try {
        return launch(i, finput);
    } catch (...) {
        showStartError(QStringLiteral("Could not initialize selected audio device."),
                       AudioDeviceErrorCaption);
        return false;
    }
}

bool TWASAPISource::launch(int32_t card, int32_t input) {
    fillinputs(card);
    if (!m_threads)
        throw std::logic_error("no capture backend");
    if (card < 0 || card >= cards.Count())
        throw std::out_of_range("card index out of range");
    const TWASAPIDevice& cardItem = cards.GetItem(card);
    if (!cardItem.inputs || input < 0 || input >= cardItem.inputs->Count())
        throw std::out_of_range("endpoint index out of range");
    const TWASAPIDevice& endpoint = cardItem.inputs->GetItem(input);

    const bool result = endpoint.State == StateActive;
    FLoopback = endpoint.DataFlow == DataFlowRender;

    if (FLoopback) {
        FPLaybackThread = m_threads->createRenderThread(*this);
        if (!FPLaybackThread)
            throw std::runtime_error("no render thread");
        FPLaybackThread->card = endpoint.ID;
        FPLaybackThread->Init();
        if (FPLaybackThread->started != 0)
            showStartError(QStringLiteral("Playback thread init failed."), QStringLiteral("Error"));
        // Its body returns at once when initialisation failed.
        FPLaybackThread->start();
    }

    // Blocks queued while nothing ran are delivered now.
    m_delivering = true;
    if (fqueue.size() > 0)
        wakeStorage();

    FInputRecordThread = m_threads->createCaptureThread(*this, OnData, fPCM);
    if (!FInputRecordThread)
        throw std::runtime_error("no capture thread");
    FInputRecordThread->setPriority(ThreadPriority::Highest);
    FInputRecordThread->Loopback = FLoopback;
    FInputRecordThread->card = endpoint.ID;
    FInputRecordThread->inputname = endpoint.Description;
    FInputRecordThread->cardname = cardItem.Description;
    FInputRecordThread->application = FLoopback ? m_application : QString();
    FInputRecordThread->waitForApplication = m_waitForApplication;

    const int32_t rc = FInputRecordThread->Init();
    FInputRecordThread->started = rc;
    FInputRecordThread->onTerminate = [this](WorkerThread& sender) { onterminate(sender); };

    if (rc != 0) {
        const QString text =
            FInputRecordThread->errmsg + QStringLiteral("\nReturn code: ") + statusHex(rc);
        if ((rc == NonFloatMixFormat || static_cast<uint32_t>(rc) == InvalidArgument) && OnError)
            OnError(this, text);
        showStartError(text, AudioDeviceErrorCaption);
        started = false;
    } else {
        started = true;
    }
    // Its body returns at once, with return value 0, when Init failed.
    FInputRecordThread->start();
    return result;
}

void TWASAPISource::stop() {
    // Each thread is taken out of its field before the wait: the wait serves hand-offs,
    // and a step that reaches stop() again must not find a thread that is being stopped.
    // The capture thread goes first, so nothing is queued once the storage thread ends.
    if (std::unique_ptr<CaptureThread> capture = std::move(FInputRecordThread)) {
        capture->terminate();
        capture->waitFor();
    }
    // Nothing captures any more, whatever the next start brings.
    started = false;
    if (std::unique_ptr<RenderThread> render = std::move(FPLaybackThread)) {
        render->terminate();
        render->waitFor();
    }
    // What is still queued waits for the next start.
    m_delivering = false;
    m_handoff.cancel(this);
    m_drainPosted = false;
}

void TWASAPISource::changeApplication(const QString& application) {
    // A later start, after the server came back say, records the same.
    m_application = application;
    m_waitForApplication = true;
    if (FInputRecordThread && FLoopback)
        FInputRecordThread->changeApplication(application);
}

void TWASAPISource::setvolume(int32_t LV) {
    setCaptureGain(static_cast<float>(LV) / 50.0f);
}

bool TWASAPISource::IsActive() const {
    if (fcard < 0 || fcard >= cards.Count())
        return false;
    if (!cards.GetItem(fcard).inputs)
        return false;
    const TWASAPIDevices& endpoints = *cards.GetItem(fcard).inputs;
    if (finput < 0 || finput >= endpoints.Count())
        return false;
    return endpoints.GetItem(finput).State == StateActive;
}

void TWASAPISource::onterminate(WorkerThread& Sender) {
    const int32_t rv = Sender.returnValue();
    if (rv == 0)
        return;
    started = false;
    const auto* thread = dynamic_cast<CaptureThread*>(&Sender);
    const QString errmsg = thread ? thread->errmsg : QString();
    const QString cardname = thread ? thread->cardname : QString();
    const QString inputname = thread ? thread->inputname : QString();
    QString text =
        QStringLiteral("Recording thread returned: ") + errmsg + QStringLiteral("\nReturn code:") +
        statusHex(rv) + QStringLiteral("\nSession duration: ") +
        formatSessionDuration(m_clock.now() - sessionduration) + QStringLiteral("\nDevice name: ") +
        cardname + QStringLiteral("\nInput name: ") + inputname;
    text = AudioClientErrorText(text, rv, QString());
    // The description of the status speaks of a service; this says what happened.
    m_serverLost = rv == audio::AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (m_serverLost)
        text += QStringLiteral("\nThe sound server stopped.");
    const bool carryOn = m_serverLost && OnServerLost;
    if (OnError)
        OnError(this, text);
    if (OnData)
        OnData(this, nullptr, -1);
    if (carryOn) {
        // Nobody has to answer a box for the program to go on once the server is back.
        if (OnServerLost) {
            OnServerLost(this, text);
            m_reconnectFailures = 0;
            m_reconnect.start();
        }
        return;
    }
    showError(text, QStringLiteral("Recording thread terminated"));
}

void TWASAPISource::reconnect() {
    if (!OnServerLost || !m_engine) {
        m_reconnect.stop();
        return;
    }
    // A worker's step lower on the stack (a box of the data handler) would keep stop()
    // waiting for ever, and an attempt may already be on the stack below a box of its own:
    // the next tick tries again.
    if (m_reconnecting || m_handoff.inWorkerStep())
        return;
    {
        std::unique_ptr<audio::IMMDeviceEnumerator> probe;
        if (audio::failed(m_engine->CreateEnumerator(&probe)) || !probe)
            return; // still away
    }
    m_reconnecting = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{m_reconnecting};
    // The endpoints as at start-up; new recordings keep the rate they were made at.
    const int32_t rate = defaultrate;
    cards.Clear();
    try {
        enumdevices();
    } catch (...) {
        // What could be listed stays listed; a start that fails on it is tried again at the
        // next tick.
    }
    defaultrate = rate;
    const bool lastTry = ++m_reconnectFailures >= QuietReconnectStarts;
    m_quietStart = !lastTry;
    startnew(defaultcard, defaultinput, fPCM);
    m_quietStart = false;
    if (!started) {
        stop();
        if (lastTry)
            m_reconnect.stop();
        return;
    }
    m_reconnect.stop();
    m_reconnectFailures = 0;
    if (OnServerBack)
        OnServerBack(this, inputs.value(finput));
}

void TWASAPISource::showStartError(const QString& text, const QString& caption) {
    // A server that has just come back may not be ready for a start yet; the next attempt
    // will tell.
    if (!m_quietStart)
        showError(text, caption);
}

void TWASAPISource::StoreData() {
    CapturedBlock block;
    while (fqueue.tryDequeue(block)) {
        // The block is owned here, so it is freed also when the handler throws.
        const CapturedBlock current = std::move(block);
        m_blockEndMs = capturedBlockEndMs(current);
        if (OnData)
            OnData(this, current.get() + 4, capturedBlockSize(current));
    }
}

void TWASAPISource::queueBlock(CapturedBlock block, StorageWake wake) {
    fqueue.enqueue(std::move(block));
    if (wake == StorageWake::Now)
        wakeStorage();
}

void TWASAPISource::wakeStorage() {
    // One drain waits at a time: blocks queued before it runs travel with it, and nobody
    // waits for it, so the capture thread goes straight back to the stream.
    if (m_delivering && !m_drainPosted.exchange(true))
        m_handoff.post(this, [this] { deliver(); });
}

void TWASAPISource::deliver() {
    // Cleared before the drain: a block queued while it runs posts the next one.
    m_drainPosted = false;
    // A message box of the data handler runs posted steps in its own event loop; the drain
    // below it on the stack takes the new blocks once the box has closed.
    if (m_draining)
        return;
    m_draining = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{m_draining};
    try {
        StoreData();
    } catch (...) {
        // The handler's failure ends this drain only; the capture thread keeps queueing, so
        // delivery goes on, and the blocks behind the one that failed follow at once.
        const QString text = exceptionText(std::current_exception());
        try {
            reportDeliveryFailure(text);
        } catch (...) {
            // A failing error handler must not stop delivery either.
        }
        if (fqueue.size() > 0)
            wakeStorage();
    }
}

void TWASAPISource::deviceFollowed(const QString& id, const QString& name) {
    // A capture thread that stop() is already waiting for is on its way out; nothing
    // follows it.
    if (!FInputRecordThread)
        return;
    if (FLoopback && m_threads) {
        // The silence has to go where the monitor is now read, or an idle output would
        // deliver no packets. A failure here costs only that, so it is not shown: a message
        // box would hold up the capture thread, which waits for this step.
        if (std::unique_ptr<RenderThread> render = std::move(FPLaybackThread)) {
            render->terminate();
            render->waitFor();
        }
        FPLaybackThread = m_threads->createRenderThread(*this);
        if (FPLaybackThread) {
            FPLaybackThread->card = id;
            FPLaybackThread->Init();
            FPLaybackThread->start();
        }
    }
    refreshEndpoints(id);
    if (OnDeviceChange)
        OnDeviceChange(this, name);
}

void TWASAPISource::refreshEndpoints(const QString& capturedId) {
    if (!m_engine)
        return;
    // The capture goes on at the recording's rate whatever the new default's rate is, so
    // the rate new recordings are made at stays as it was.
    const int32_t rate = defaultrate;
    cards.Clear();
    try {
        enumdevices();
    } catch (...) {
        // What could be listed stays listed; the capture itself is not affected.
    }
    defaultrate = rate;
    for (int32_t c = 0; c < cards.Count(); ++c) {
        const TWASAPIDevice& card = cards.GetItem(c);
        if (!card.inputs)
            continue;
        for (int32_t e = 0; e < card.inputs->Count(); ++e) {
            if (card.inputs->GetItem(e).ID == capturedId) {
                fcard = c;
                finput = e;
            }
        }
    }
    fillinputs(fcard);
}

bool TWASAPISource::hasThreads() const {
    return FInputRecordThread || FPLaybackThread;
}

void TWASAPISource::reportDeliveryFailure(const QString& text) {
    // Once per capture: a writer that fails keeps failing for every block.
    if (m_deliveryFailureShown)
        return;
    m_deliveryFailureShown = true;
    const QString message = QStringLiteral("Error while processing recorded audio: ") + text;
    if (OnError)
        OnError(this, message);
    showError(message, AudioDeviceErrorCaption);
}

QString statusHex(int32_t status) {
    return QStringLiteral("%1")
        .arg(static_cast<uint32_t>(status), 8, 16, QLatin1Char('0'))
        .toUpper();
}
