#include "inputrecordthread.h"

#include "audioclienterrors.h"
#include "blockqueue.h"
#include "enginecalls.h"
#include "formats.h"
#include "wasapisource.h"

#include "common/clock.h"
#include "common/handoff.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

using namespace audio;

namespace {

constexpr int32_t NonFloatMixFormat = -960;
constexpr int32_t ConversionFailed = 1975;
constexpr int64_t CaptureBufferDuration = 50000000; // 5 s in 100-ns units
constexpr uint32_t PollIntervalMs = 100;
// Woken by the data, the body still looks this often for the default output and the rest.
constexpr uint32_t EventDrivenWaitMs = 1000;
// How often a followed default output is looked up when the engine does not tell of
// changes. With the pulse engine a look-up is two server round trips, cheap at this rate.
constexpr int64_t DefaultCheckMs = 1000;
// Where the engine tells of changes, a look-up now and then still guards against a missed
// one.
constexpr int64_t NotifiedCheckMs = 5000;
// After a switch the old stream is read on until the new one delivers, for at most this
// long, looking every few ms, so that the new stream's first frame is seen soon after it
// arrives.
constexpr int MaxHandOverMs = 1000;
constexpr int HandOverPollMs = 5;
// Polls an invalidated output may go on failing while no other output can be opened. Some
// seconds, not one: PipeWire names a new default a moment after the old device is gone, at
// times more than a second later.
constexpr int InvalidatedPolls = 30;
// The silence for a device change covers at most this much. The clock is local wall-clock
// time, and a daylight-saving or clock adjustment during a switch must not put an hour of
// silence into the recording.
constexpr int64_t MaxGapMs = 60000;
// How often a recorded application that has no stream is looked for again.
constexpr double ApplicationLookupMs = 250;
// A new stream may be told of before it is linked to an output (PipeWire): for a while
// after the server's word, it is looked for this often.
constexpr double ApplicationSoonLookupMs = 10;
constexpr double ApplicationSoonWindowMs = 600;

/// The three work buffers of one capture: raw packets in the mix format, stereo float and
/// 16-bit stereo. They are sized once per start from the endpoint buffer: a packet never
/// exceeds the endpoint buffer, and a block is cut once the accumulation passes the
/// threshold, so threshold plus one endpoint buffer always suffices. (A fixed 8 MiB would
/// be too small for a 5-second buffer of many channels at high rates.) Only an engine that
/// hands out a packet larger than its own buffer makes them grow in the loop.
class WorkBuffers {
public:
    void reserve(uint64_t frames, uint32_t frameSize) {
        // After a device change the frames may be larger than before (more channels).
        if (frames <= m_frames && frameSize <= m_frameSize)
            return;
        m_frames = std::max(frames, m_frames);
        m_frameSize = std::max(frameSize, m_frameSize);
        accumulation.resize(static_cast<size_t>(m_frames * m_frameSize));
        stereo.resize(static_cast<size_t>(m_frames * 2));
        pcm.resize(static_cast<size_t>(m_frames * 2));
    }

    std::vector<uint8_t> accumulation;
    std::vector<float> stereo;
    std::vector<int16_t> pcm;

private:
    uint64_t m_frames = 0;
    uint32_t m_frameSize = 0;
};

} // namespace

TInputRecordThread::TInputRecordThread(WindowThreadHandoff& handoff, TWASAPISource& AOwner,
                                       TDataEvent Event, const tWAVEFORMATEX& Format,
                                       AudioEngine& engine)
    : CaptureThread(handoff), m_engine(engine), OwnerEvent(std::move(Event)), Owner(AOwner),
      fPCM(Format) {
    started = 0;
}

TInputRecordThread::~TInputRecordThread() {
    // The body uses this object's members, which are gone once the base destructor waits.
    stopAndWait();
}

int32_t TInputRecordThread::Init() {
    errmsg.clear();
    try {
        MMDevEnum.reset();
        MMDev.reset();
        // Without an enumerator (no sound server) the device cannot be got either; that
        // failure is reported with the status that caused it.
        HRESULT status = handedOut(m_engine.CreateEnumerator(&MMDevEnum), MMDevEnum);
        m_appStream.reset();
        m_startWaiting = false;
        if (!failed(status) && Loopback && !application.isEmpty()) {
            // The application's stream is recorded from the output it plays to.
            audio::PlayingApplication app;
            if (findApplication(&app)) {
                card = app.outputId;
                m_appStream = app.stream;
                m_appName = app.name.isEmpty() ? application : app.name;
            } else if (waitForApplication) {
                // The output's stream is opened all the same, as the clock of the silence
                // recorded until the application plays.
                m_startWaiting = true;
                m_appName = application;
            } else {
                errmsg =
                    QStringLiteral("No application \"%1\" is playing sound now.").arg(application);
                return E_NOTFOUND;
            }
        }
        if (!failed(status))
            status = handedOut(MMDevEnum->GetDevice(card, &MMDev), MMDev);
        if (failed(status)) {
            errmsg = QStringLiteral("MMDevEnum.GetDevice failed.");
            return status;
        }

        State = 0;
        MMDev->GetState(&State);
        const QString device =
            QStringLiteral("[") + inputname + QStringLiteral("(") + cardname + QStringLiteral(")]");
        QString stateText;
        switch (State) {
        case DEVICE_STATE_DISABLED:
            stateText = QStringLiteral("Sorry, this device ") + device +
                        QStringLiteral(" is disabled. Please activate it in the system's sound "
                                       "settings or select another output device there");
            break;
        case DEVICE_STATE_NOTPRESENT:
            stateText = QStringLiteral("This device ") + device +
                        QStringLiteral(" not present. Please select another output device in "
                                       "the system's sound settings.");
            break;
        case DEVICE_STATE_UNPLUGGED:
            stateText = QStringLiteral("This device ") + device +
                        QStringLiteral(" is unplugged. Please check connections or select "
                                       "another output device in the system's sound settings.");
            break;
        default:
            break;
        }
        if (!stateText.isEmpty()) {
            errmsg = QStringLiteral("Audio Device Error. ") + stateText;
            return -1;
        }
        // There is no multimedia class scheduler to register with; the source raises the
        // thread's priority instead. The stream is opened at the recording's rate, which the
        // file header was written with, whatever rate the output has taken since.
        return InitAudioClient(fPCM.nSamplesPerSec);
    } catch (...) {
        // Shown on the window thread; the body then ends at its first call with a
        // termination report.
        handleException(std::current_exception());
        return 0;
    }
}

int32_t TInputRecordThread::InitAudioClient(uint32_t requestedRate) {
    errmsg.clear();
    VolumeClient.reset();
    CaptureClient.reset();
    AudioClient.reset();

    HRESULT status = handedOut(MMDev->Activate(&AudioClient), AudioClient);
    if (failed(status)) {
        AudioClient.reset();
        errmsg = QStringLiteral("MMDev.Activate failed.");
        return status;
    }
    if (Loopback && m_appStream) {
        status = AudioClient->SetLoopbackApplication(*m_appStream);
        if (failed(status)) {
            errmsg = QStringLiteral("This sound server cannot record one application alone.");
            return status;
        }
    }
    pWfx = WaveFormatExtensible();
    status = AudioClient->GetMixFormat(&pWfx);
    if (failed(status)) {
        errmsg = QStringLiteral("Device does not return mix format");
        return status;
    }
    const QString report = WaveFormatReport(pWfx);
    if (!IsFloatFormat(pWfx)) {
        errmsg = QStringLiteral("Non PCM audio stream not supported. \n") + report;
        return NonFloatMixFormat;
    }

    if (requestedRate != 0 && requestedRate != pWfx.Format.nSamplesPerSec) {
        // The recording's rate holds from the start and across a device change; the server
        // converts.
        pWfx.Format.nSamplesPerSec = requestedRate;
        pWfx.Format.nAvgBytesPerSec = requestedRate * pWfx.Format.nBlockAlign;
    }
    FrameSize = pWfx.Format.nBlockAlign;
    hnsRequestedDuration = CaptureBufferDuration;
    StreamFlags = Loopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0;
    status = AudioClient->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                     StreamFlags | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
                                     hnsRequestedDuration, 0, pWfx);
    if (failed(status)) {
        errmsg = AudioClientErrorText(QStringLiteral("AudioClient.Initialization"), status, report);
        return status;
    }
    status = AudioClient->GetBufferSize(&BufferFrameCount);
    if (failed(status)) {
        errmsg = QStringLiteral("AudioClient.GetBufferSize Failed. ");
        return status;
    }
    status = handedOut(AudioClient->GetCaptureClient(&CaptureClient), CaptureClient);
    if (!failed(status))
        status = handedOut(AudioClient->GetSimpleAudioVolume(&VolumeClient), VolumeClient);
    if (failed(status)) {
        errmsg = QStringLiteral("AudioClient.GetService Failed. ");
        return status;
    }
    // The stream's own volume must not scale what is recorded; failures change nothing.
    VolumeClient->SetMasterVolume(1.0f);
    VolumeClient->SetMute(false);
    // Woken by the data where the engine can, the body sleeps between fragments instead of
    // looking ten times a second.
    m_eventDriven = !failed(AudioClient->SetEventHandle([this] { wake(); }));
    return 0;
}

QString TInputRecordThread::defaultOutputId(std::unique_ptr<IMMDevice>* device) {
    std::unique_ptr<IMMDevice> found;
    QString id;
    if (!MMDevEnum ||
        failed(handedOut(MMDevEnum->GetDefaultAudioEndpoint(eRender, eConsole, &found), found)) ||
        failed(found->GetId(&id)))
        return QString();
    if (device)
        *device = std::move(found);
    return id;
}

TInputRecordThread::Follow TInputRecordThread::switchToDefault(std::unique_ptr<IMMDevice> device,
                                                               const QString& id,
                                                               OpenStream* previous) {
    // The old stream stays usable until the new one is ready, so that a default that
    // cannot be opened costs nothing when the old endpoint is still there.
    OpenStream old;
    old.device = std::move(MMDev);
    old.client = std::move(AudioClient);
    old.capture = std::move(CaptureClient);
    old.volume = std::move(VolumeClient);
    old.format = pWfx;
    old.frameSize = FrameSize;
    old.bufferFrames = BufferFrameCount;
    const QString oldError = errmsg;

    MMDev = std::move(device);
    uint32_t state = 0;
    const bool active = !failed(MMDev->GetState(&state)) && state == DEVICE_STATE_ACTIVE;
    if (!active || InitAudioClient(fPCM.nSamplesPerSec) != 0) {
        MMDev = std::move(old.device);
        AudioClient = std::move(old.client);
        CaptureClient = std::move(old.capture);
        VolumeClient = std::move(old.volume);
        pWfx = old.format;
        FrameSize = old.frameSize;
        BufferFrameCount = old.bufferFrames;
        errmsg = oldError;
        return Follow::Kept;
    }
    errmsg = oldError;
    *previous = std::move(old);

    const HRESULT status = AudioClient->Start();
    if (failed(status)) {
        previous->client->Stop();
        errmsg = QStringLiteral("AudioClient.Start Failed.");
        setReturnValue(status);
        return Follow::Failed;
    }
    // A reconfigured output opened anew is no change the user needs to hear of.
    if (id != card)
        announceDevice(id);
    return Follow::Switched;
}

void TInputRecordThread::announceDevice(const QString& id) {
    QString name;
    QString cardName;
    MMDev->GetProperty(DeviceProperty::DeviceDescription, &name);
    MMDev->GetProperty(DeviceProperty::DeviceInterfaceFriendlyName, &cardName);
    try {
        // The names are read by the termination report on the window thread, so they are
        // changed there.
        handoff().call([&] {
            card = id;
            inputname = name;
            cardname = cardName;
            Owner.deviceFollowed(id, name.isEmpty() ? cardName : name);
        });
    } catch (...) {
        // The window is closing, or a handler failed: neither is a reason to stop capturing.
        card = id;
    }
}

bool TInputRecordThread::findApplication(audio::PlayingApplication* found) {
    std::vector<audio::PlayingApplication> apps;
    // An application without name or program would match nothing chosen.
    if (application.isEmpty() || !MMDevEnum || failed(MMDevEnum->EnumPlayingApplications(&apps)))
        return false;
    const audio::PlayingApplication* app = findPlayingApplication(apps, application);
    if (!app)
        return false;
    *found = *app;
    return true;
}

void TInputRecordThread::changeApplication(const QString& wanted) {
    {
        const std::lock_guard<std::mutex> lock(m_changeMutex);
        m_changedApplication = wanted;
    }
    m_applicationChanged.store(true);
    wake();
}

void TInputRecordThread::announceApplication(bool waiting) {
    try {
        handoff().call([&] { Owner.applicationWaiting(m_appName, waiting); });
    } catch (...) {
        // The window is closing, or a handler failed: neither is a reason to stop capturing.
    }
}

void TInputRecordThread::execute() {
    setReturnValue(0);
    errmsg.clear();
    if (started != 0)
        return;
    if (!AudioClient || !CaptureClient) {
        // Init was cut short by an exception (already shown): the stream was never set up.
        errmsg = QStringLiteral("AudioClient.Start Failed.");
        setReturnValue(AUDCLNT_E_NOT_INITIALIZED);
        return;
    }
    HRESULT status = AudioClient->Start();
    if (failed(status)) {
        errmsg = QStringLiteral("AudioClient.Start Failed.");
        setReturnValue(status);
        return;
    }

    m_sleeptime = PollIntervalMs;
    Clock& clock = Owner.clock();
    WorkBuffers work;
    uint64_t threshold = 0;
    uint64_t bytes = 0;
    uint64_t frames = 0;
    StereoDownmix downmix;
    // Sized for the stream now read; run again after a device change.
    const auto prepare = [&] {
        threshold = (uint64_t{pWfx.Format.nSamplesPerSec} * pWfx.Format.nChannels) / 10;
        // The speaker positions come with the extensible format only.
        downmix = stereoDownmixFor(
            pWfx.Format.nChannels,
            pWfx.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? pWfx.dwChannelMask : 0);
        work.reserve((FrameSize ? threshold / FrameSize : 0) + BufferFrameCount + 1, FrameSize);
        bytes = 0;
        frames = 0;
    };
    prepare();

    // Times in ms. An engine that dates its packets by the stream's own clock (monotonic)
    // gives exact gaps; otherwise a packet counts as played when it is read, by the session's
    // clock.
    bool streamTimes = false;
    const auto clockMs = [&] { return clock.now() * datetime::MsPerDay; };
    const auto nowMs = [&] { return streamTimes ? monotonicMs() : clockMs(); };
    const double rate = fPCM.nSamplesPerSec;
    // The packet's first and (one past) last frame.
    const auto packetSpan = [&](uint64_t qpc, uint32_t n) -> std::pair<double, double> {
        if (qpc == 0) {
            const double read = clockMs();
            return {read, read};
        }
        streamTimes = true;
        const double first = static_cast<double>(qpc) / 1e4;
        return {first, first + n * 1000.0 / rate};
    };
    // What a block says of when it was played: only times by the streams' clock mean
    // anything outside the capture.
    const auto blockTime = [&](double ms) { return streamTimes ? ms : 0.0; };
    // The end of the last frame taken from a stream; none before the first.
    double lastEnd = 0;
    bool haveEnd = false;
    // While the application chosen has not played yet, the output's whole stream is read only
    // as the clock of the silence recorded meanwhile.
    bool silentClock = m_startWaiting;

    // A default output that is being recorded is followed when the default changes; an
    // output the user picked besides the default stays recorded as long as it exists. The
    // engine tells of changes where it can; otherwise the default is looked up now and then.
    bool followDefault = Loopback && application.isEmpty() && defaultOutputId() == card;
    bool notified = false;
    const auto listen = [&] {
        if (notified || !(followDefault || !application.isEmpty()) || !MMDevEnum)
            return;
        notified = !failed(MMDevEnum->RegisterEndpointNotificationCallback([this] {
            m_outputsChanged.store(true);
            wake();
        }));
    };
    listen();
    TDateTime lastDefaultCheck = clock.now();

    // The blocks of one round go to the storage thread together; whatever way the loop is
    // left, nothing queued stays unsignalled.
    bool queued = false;
    struct WakeOnExit {
        TWASAPISource& owner;
        bool& queued;
        ~WakeOnExit() {
            if (queued)
                owner.wakeStorage();
        }
    } wakeOnExit{Owner, queued};

    const auto conversionFailed = [&](int64_t srcsize, uint32_t frameSize) {
        errmsg = QStringLiteral("Format Conversion Failed. Exception raised: "
                                "block size%1, frame size%2")
                     .arg(srcsize)
                     .arg(frameSize);
        setReturnValue(ConversionFailed);
    };
    // Converts `n` frames at `from`, played up to `endMs`, into one block.
    const auto queueConverted = [&](uint8_t* from, uint64_t n, uint32_t frameSize,
                                    const StereoDownmix& mix, double endMs) -> bool {
        try {
            ConvertToStereo(from, static_cast<int64_t>(n), frameSize, work.stereo.data(), mix);
            FloatToPcm16(work.stereo.data(), work.pcm.data(), static_cast<int64_t>(n) * 2);
        } catch (...) {
            conversionFailed(static_cast<int64_t>(n) * 8, frameSize);
            return false;
        }
        // The block is the loop's only allocation.
        Owner.queueBlock(
            makeCapturedBlock(work.pcm.data(), static_cast<int32_t>(n * 4), blockTime(endMs)),
            StorageWake::Later);
        queued = true;
        return true;
    };

    // Converts what has gathered into one block. False (errmsg and return value set) when
    // the conversion failed.
    const auto cutBlock = [&]() -> bool {
        if (frames > 0 &&
            !queueConverted(work.accumulation.data(), frames, FrameSize, downmix, lastEnd))
            return false;
        bytes = 0;
        frames = 0;
        return true;
    };

    // Queues `ms` of zeros from `fromMs` on, in blocks no larger than the ones cut from
    // packets.
    const auto queueGap = [&](double fromMs, double ms) {
        const double gapMs = std::clamp(ms, 0.0, static_cast<double>(MaxGapMs));
        auto silent = static_cast<uint64_t>(std::llround(gapMs * fPCM.nSamplesPerSec / 1000.0));
        const uint64_t perBlock = std::max<uint64_t>(uint64_t{fPCM.nSamplesPerSec} / 40 + 1, 1);
        std::vector<int16_t> zeros;
        uint64_t done = 0;
        while (silent > 0) {
            const uint64_t n = std::min(silent, perBlock);
            zeros.assign(static_cast<size_t>(n * 2), 0);
            done += n;
            Owner.queueBlock(makeCapturedBlock(zeros.data(), static_cast<int32_t>(n * 4),
                                               blockTime(fromMs + done * 1000.0 / rate)),
                             StorageWake::Later);
            queued = true;
            silent -= n;
        }
    };

    struct Failure {
        const char* text = nullptr; ///< null: errmsg and the return value are already set
        HRESULT status = S_OK;
    };
    // Reads every packet waiting and cuts blocks as they fill.
    const auto drain = [&]() -> Failure {
        uint32_t PacketLength = 0;
        HRESULT s = CaptureClient->GetNextPacketSize(&PacketLength);
        if (failed(s))
            return {"CaptureClient.GetNextPacketSize Failed.", s};
        int64_t latencyUs = 0;
        if (CaptureClient->GetOutputLatency(&latencyUs) == S_OK)
            Owner.setOutputLatencyUs(latencyUs);
        while (PacketLength != 0 && !terminated()) {
            uint8_t* pData = nullptr;
            uint32_t NumFramesAvailable = 0;
            uint32_t Flags = 0;
            uint64_t uDummy = 0;
            uint64_t qpc = 0;
            s = CaptureClient->GetBuffer(&pData, &NumFramesAvailable, &Flags, &uDummy, &qpc);
            if (s != S_OK && s != AUDCLNT_S_BUFFER_EMPTY)
                return {"CaptureClient.GetBuffer Failed.", s};

            const uint32_t n = NumFramesAvailable;
            const auto [first, end] = packetSpan(qpc, n);
            // Within one stream the frames are the timeline: the servers keep it, holes
            // included, and a stream that arrives late under load delivers what it owes
            // afterwards, so a late packet is no gap (filling it wrote seconds too much on a
            // busy PipeWire).
            const uint64_t packetBytes = uint64_t{n} * FrameSize;
            work.reserve(frames + n, FrameSize);
            if (packetBytes > 0) {
                // Silence is written into our own buffer rather than over the engine's, which
                // may be read-only or, for a hole in the stream, absent.
                uint8_t* to = work.accumulation.data() + bytes;
                if ((Flags & AUDCLNT_BUFFERFLAGS_SILENT) || !pData || silentClock)
                    std::memset(to, 0, static_cast<size_t>(packetBytes));
                else
                    std::memcpy(to, pData, static_cast<size_t>(packetBytes));
            }
            s = CaptureClient->ReleaseBuffer(n);
            if (failed(s))
                return {"CaptureClient.ReleaseBuffer Failed.", s};
            bytes += packetBytes;
            frames += n;
            if (n > 0) {
                lastEnd = end;
                haveEnd = true;
            }

            if (bytes > threshold && !cutBlock())
                return {nullptr, ConversionFailed};

            s = CaptureClient->GetNextPacketSize(&PacketLength);
            if (failed(s))
                return {"CaptureClient.GetNextPacketSize2 Failed.", s};
        }
        return {};
    };

    // One packet of a stream, as GetBuffer hands it out.
    struct Packet {
        uint8_t* data = nullptr;
        uint32_t frames = 0;
        uint32_t flags = 0;
        uint64_t qpc = 0;
    };
    const auto getPacket = [](IAudioCaptureClient& client, Packet& p) {
        uint64_t position = 0;
        return client.GetBuffer(&p.data, &p.frames, &p.flags, &position, &p.qpc);
    };

    // The hand-over from the old stream, which still runs when only the default changed,
    // to the new one: the old stream is read on until the new one delivers, what it played
    // before the new stream's first frame is kept, and the time between the two is silence.
    const auto handOver = [&](OpenStream& old, bool oldAlive) -> bool {
        std::vector<uint8_t> tail;
        uint64_t tailFrames = 0;
        double tailStart = 0;
        double tailEnd = 0;
        bool tailTimed = false;
        // When the new stream's first frame was played; a packet looked at and released
        // unread is handed out again.
        double newStart = 0;
        bool newDelivered = false;
        for (int waited = 0;; waited += HandOverPollMs) {
            uint32_t waiting = 0;
            while (oldAlive) {
                if (failed(old.capture->GetNextPacketSize(&waiting))) {
                    oldAlive = false;
                    break;
                }
                if (waiting == 0)
                    break;
                Packet p;
                const HRESULT got = getPacket(*old.capture, p);
                if (got != S_OK) {
                    oldAlive = got == AUDCLNT_S_BUFFER_EMPTY;
                    break;
                }
                const auto [first, end] = packetSpan(p.qpc, p.frames);
                if (tailFrames == 0) {
                    tailStart = first;
                    tailTimed = p.qpc != 0;
                }
                const size_t at = tail.size();
                const size_t bytes = size_t{p.frames} * old.frameSize;
                tail.resize(at + bytes, 0);
                if (p.data && !(p.flags & AUDCLNT_BUFFERFLAGS_SILENT) && !silentClock)
                    std::memcpy(tail.data() + at, p.data, bytes);
                tailFrames += p.frames;
                tailEnd = end;
                if (failed(old.capture->ReleaseBuffer(p.frames)))
                    oldAlive = false;
            }
            if (!newDelivered) {
                uint32_t next = 0;
                if (failed(CaptureClient->GetNextPacketSize(&next)))
                    break;
                Packet p;
                if (next > 0 && getPacket(*CaptureClient, p) == S_OK) {
                    newStart = packetSpan(p.qpc, p.frames).first;
                    newDelivered = true;
                    CaptureClient->ReleaseBuffer(0);
                }
            }
            // By the streams' clocks the old one is read up to the new one's start: what it
            // played by then may still be on its way when the new stream's first packet
            // arrives.
            const double oldEnd = tailFrames > 0 ? tailEnd : lastEnd;
            if (newDelivered && (!oldAlive || !streamTimes || oldEnd >= newStart))
                break;
            if (waited >= MaxHandOverMs || sleepFor(HandOverPollMs))
                break;
        }
        old.client->Stop();
        if (!newDelivered)
            newStart = nowMs();

        uint64_t keep = tailFrames;
        if (tailTimed) {
            const double before = (newStart - tailStart) * rate / 1000.0;
            keep = static_cast<uint64_t>(
                std::clamp(std::llround(before), 0LL, static_cast<long long>(tailFrames)));
            tailEnd = tailStart + keep * 1000.0 / rate;
        }
        if (keep > 0) {
            const StereoDownmix oldMix = stereoDownmixFor(
                old.format.Format.nChannels, old.format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE
                                                 ? old.format.dwChannelMask
                                                 : 0);
            const uint64_t perBlock = std::max<uint64_t>(uint64_t{fPCM.nSamplesPerSec} / 40, 1);
            work.reserve(perBlock, old.frameSize);
            for (uint64_t done = 0; done < keep;) {
                const uint64_t n = std::min(perBlock, keep - done);
                done += n;
                if (!queueConverted(tail.data() + (done - n) * old.frameSize, n, old.frameSize,
                                    oldMix, tailStart + done * 1000.0 / rate))
                    return false;
            }
            lastEnd = tailEnd;
            haveEnd = true;
        }
        if (haveEnd)
            queueGap(lastEnd, newStart - lastEnd);
        lastEnd = newStart;
        haveEnd = true;
        return true;
    };

    // After a switch: the rest of the old stream, the gap as silence, then the new stream.
    const auto follow = [&](SwitchReason reason) -> Follow {
        std::unique_ptr<IMMDevice> device;
        const QString id = defaultOutputId(&device);
        // An invalidated endpoint that is still the default was reconfigured; it is opened
        // anew like any other.
        if (id.isEmpty() || (reason == SwitchReason::DefaultChanged && id == card))
            return Follow::Kept;
        if (!cutBlock())
            return Follow::Failed;
        OpenStream old;
        const Follow result = switchToDefault(std::move(device), id, &old);
        if (result != Follow::Switched)
            return result;
        if (!handOver(old, reason == SwitchReason::DefaultChanged))
            return Follow::Failed;
        lastDefaultCheck = clock.now();
        // Whatever made the switch, the new stream is the default output now.
        followDefault = application.isEmpty();
        listen();
        prepare();
        return result;
    };

    // A recorded application whose stream ended is looked for until a new stream of it
    // appears; the recording meanwhile goes on with silence, and the time between the two
    // streams stays silence of its true length.
    bool waitingForApp = false;
    double lastAppLookup = 0;
    // Opens the application's stream in place of the current one, if it plays now.
    const auto attachApplication = [&](bool oldAlive) -> Follow {
        audio::PlayingApplication app;
        std::unique_ptr<IMMDevice> device;
        if (!findApplication(&app) ||
            failed(handedOut(MMDevEnum->GetDevice(app.outputId, &device), device)))
            return Follow::Kept;
        if (!cutBlock())
            return Follow::Failed;
        const std::optional<uint32_t> oldStream = m_appStream;
        m_appStream = app.stream;
        OpenStream old;
        const Follow result = switchToDefault(std::move(device), app.outputId, &old);
        if (result != Follow::Switched) {
            m_appStream = oldStream;
            return result;
        }
        if (!handOver(old, oldAlive))
            return Follow::Failed;
        prepare();
        followDefault = false;
        silentClock = false;
        if (waitingForApp || m_startWaiting) {
            waitingForApp = false;
            m_startWaiting = false;
            announceApplication(false);
        }
        return result;
    };
    // A new stream is told of at once where the engine can; else it is looked for now and
    // then.
    double lookSoonUntil = 0;
    const auto timeToLook = [&] {
        const double now = nowMs();
        const bool told = m_outputsChanged.exchange(false);
        if (told)
            lookSoonUntil = now + ApplicationSoonWindowMs;
        const double every = now < lookSoonUntil ? ApplicationSoonLookupMs : ApplicationLookupMs;
        if (!told && now - lastAppLookup < every)
            return false;
        lastAppLookup = now;
        return true;
    };
    const auto waitForApplication = [&]() -> bool {
        if (timeToLook() && attachApplication(false) != Follow::Kept)
            return returnValue() == 0;
        const double now = nowMs();
        if (haveEnd && now > lastEnd) {
            queueGap(lastEnd, now - lastEnd);
            lastEnd = now;
            queued = true;
        }
        return true;
    };
    // The user chose another application, or everything the output plays.
    const auto changeTo = [&](const QString& wanted) -> bool {
        if (wanted == application)
            return true;
        const bool reading = !waitingForApp;
        application = wanted;
        if (wanted.isEmpty()) {
            m_appStream.reset();
            std::unique_ptr<IMMDevice> device;
            const QString id = defaultOutputId(&device);
            if (id.isEmpty() || !cutBlock())
                return !id.isEmpty();
            OpenStream old;
            const Follow result = switchToDefault(std::move(device), id, &old);
            if (result == Follow::Failed)
                return false;
            if (result == Follow::Switched && !handOver(old, reading))
                return false;
            prepare();
            silentClock = false;
            if (waitingForApp || m_startWaiting) {
                waitingForApp = false;
                m_startWaiting = false;
                announceApplication(false);
            }
            followDefault = defaultOutputId() == card;
            listen();
            return true;
        }
        m_appName = wanted;
        listen();
        const Follow result = attachApplication(reading);
        if (result == Follow::Failed)
            return false;
        if (result == Follow::Kept) {
            // Not playing now: what is read goes on only as the clock of the silence.
            if (!waitingForApp) {
                m_appStream.reset();
                silentClock = true;
                followDefault = false;
            }
            announceApplication(true);
        }
        return true;
    };

    int invalidatedPolls = 0;
    if (m_startWaiting)
        announceApplication(true);
    while (!terminated()) {
        const bool lookingSoon = (waitingForApp || silentClock) && nowMs() < lookSoonUntil;
        // Waiting for an application, the silence is queued as time passes.
        const bool polling = !m_eventDriven || waitingForApp || silentClock;
        if (sleepFor(lookingSoon ? static_cast<int>(ApplicationSoonLookupMs)
                     : polling   ? static_cast<int>(m_sleeptime)
                                 : static_cast<int>(EventDrivenWaitMs)))
            break;
        if (m_applicationChanged.exchange(false)) {
            QString wanted;
            {
                const std::lock_guard<std::mutex> lock(m_changeMutex);
                wanted = m_changedApplication;
            }
            if (!changeTo(wanted))
                return;
        }
        if (waitingForApp) {
            if (!waitForApplication())
                return;
            if (queued) {
                Owner.wakeStorage();
                queued = false;
            }
            continue;
        }
        Failure failure = drain();
        if (failure.status == S_OK && silentClock && timeToLook() &&
            attachApplication(true) == Follow::Failed)
            return;
        // A server may keep the stream going when the application's stream ends, and then
        // deliver everything the output plays: an application stream that is gone ends it
        // here, as soon as the server tells.
        if (failure.status == S_OK && m_appStream && m_outputsChanged.exchange(false)) {
            std::vector<audio::PlayingApplication> apps;
            if (!failed(MMDevEnum->EnumPlayingApplications(&apps)) &&
                std::none_of(apps.begin(), apps.end(),
                             [&](const auto& a) { return a.stream == *m_appStream; }))
                failure = {"", AUDCLNT_E_DEVICE_INVALIDATED};
        }
        if (failure.status != S_OK) {
            if (!failure.text)
                return;
            if (m_appStream && failure.status == AUDCLNT_E_DEVICE_INVALIDATED) {
                // The application closed its stream (at the end of a track, or quitting).
                // Nothing more is read from ours.
                if (!cutBlock())
                    return;
                AudioClient->Stop();
                waitingForApp = true;
                lastAppLookup = 0;
                announceApplication(true);
                continue;
            }
            // A vanished output is replaced by the default one; a failure of any other kind
            // ends capture with the old stream's failure. The server may name the new
            // default a moment after the old stream fails, so a few polls pass before no
            // output left counts as final. Polls count until one succeeds, so that an
            // output that fails again right after it was opened ends capture instead of
            // being reopened for ever.
            if (Loopback && failure.status == AUDCLNT_E_DEVICE_INVALIDATED &&
                invalidatedPolls++ < InvalidatedPolls) {
                if (follow(SwitchReason::Invalidated) == Follow::Failed)
                    return;
                continue;
            }
            errmsg = QString::fromLatin1(failure.text);
            setReturnValue(failure.status);
            return;
        }
        invalidatedPolls = 0;
        const TDateTime now = clock.now();
        const bool heard = m_outputsChanged.exchange(false);
        const int64_t checkMs = notified ? NotifiedCheckMs : DefaultCheckMs;
        if (followDefault && !terminated() &&
            (heard || (now - lastDefaultCheck) * datetime::MsPerDay >= checkMs)) {
            lastDefaultCheck = now;
            if (follow(SwitchReason::DefaultChanged) == Follow::Failed)
                return;
        }
        if (queued) {
            Owner.wakeStorage();
            queued = false;
        }
    }
    // Asked to stop; what has gathered short of a block is dropped.
    AudioClient->Stop();
}
