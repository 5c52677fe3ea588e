#include "inputrecordthread.h"

#include "audioclienterrors.h"
#include "blockqueue.h"
#include "enginecalls.h"
#include "formats.h"
#include "wasapisource.h"

#include "common/handoff.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

using namespace audio;

namespace {

constexpr int32_t NonFloatMixFormat = -960;
constexpr int32_t ConversionFailed = 1975;
constexpr int64_t CaptureBufferDuration = 50000000; // 5 s in 100-ns units
constexpr uint32_t PollIntervalMs = 100;
// How often a followed default output is looked up. With the pulse engine a look-up is two
// server round trips, which is cheap at this rate.
constexpr int64_t DefaultCheckMs = 1000;
// Polls an invalidated output may go on failing while no other output can be opened. Some
// seconds, not one: PipeWire names a new default a moment after the old device is gone, at
// times more than a second later.
constexpr int InvalidatedPolls = 30;
// The silence for a device change covers at most this much. The clock is local wall-clock
// time, and a daylight-saving or clock adjustment during a switch must not put an hour of
// silence into the recording.
constexpr int64_t MaxGapMs = 60000;

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
                                                               const QString& id) {
    // The old stream stays usable until the new one is ready, so that a default that
    // cannot be opened costs nothing when the old endpoint is still there.
    std::unique_ptr<IMMDevice> oldDevice = std::move(MMDev);
    std::unique_ptr<IAudioClient> oldClient = std::move(AudioClient);
    std::unique_ptr<IAudioCaptureClient> oldCapture = std::move(CaptureClient);
    std::unique_ptr<ISimpleAudioVolume> oldVolume = std::move(VolumeClient);
    const WaveFormatExtensible oldFormat = pWfx;
    const uint32_t oldFrameSize = FrameSize;
    const uint32_t oldBufferFrames = BufferFrameCount;
    const QString oldError = errmsg;

    MMDev = std::move(device);
    uint32_t state = 0;
    const bool active = !failed(MMDev->GetState(&state)) && state == DEVICE_STATE_ACTIVE;
    if (!active || InitAudioClient(fPCM.nSamplesPerSec) != 0) {
        MMDev = std::move(oldDevice);
        AudioClient = std::move(oldClient);
        CaptureClient = std::move(oldCapture);
        VolumeClient = std::move(oldVolume);
        pWfx = oldFormat;
        FrameSize = oldFrameSize;
        BufferFrameCount = oldBufferFrames;
        errmsg = oldError;
        return Follow::Kept;
    }
    errmsg = oldError;
    oldClient->Stop();
    oldVolume.reset();
    oldCapture.reset();
    oldClient.reset();
    oldDevice.reset();

    const HRESULT status = AudioClient->Start();
    if (failed(status)) {
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

    // A default output that is being recorded is followed when the default changes; an
    // output the user picked besides the default stays recorded as long as it exists.
    bool followDefault = Loopback && defaultOutputId() == card;
    TDateTime lastPacket = clock.now();
    TDateTime lastDefaultCheck = lastPacket;

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

    // Converts what has gathered into one block. False (errmsg and return value set) when
    // the conversion failed.
    const auto cutBlock = [&]() -> bool {
        const int64_t srcsize = static_cast<int64_t>(frames) * 8;
        if (srcsize > 0) {
            try {
                ConvertToStereo(work.accumulation.data(), static_cast<int64_t>(frames), FrameSize,
                                work.stereo.data(), downmix);
                FloatToPcm16(work.stereo.data(), work.pcm.data(), static_cast<int64_t>(frames) * 2);
            } catch (...) {
                errmsg = QStringLiteral("Format Conversion Failed. Exception raised: "
                                        "block size%1, frame size%2")
                             .arg(srcsize)
                             .arg(FrameSize);
                setReturnValue(ConversionFailed);
                return false;
            }
            const auto bufsize = static_cast<int32_t>(frames * 4);
            // The block is the loop's only allocation.
            Owner.queueBlock(makeCapturedBlock(work.pcm.data(), bufsize), StorageWake::Later);
            queued = true;
        }
        bytes = 0;
        frames = 0;
        return true;
    };

    // Queues zeros for the time between the old stream's last packet and the new stream's
    // start, in blocks no larger than the ones cut from packets.
    const auto queueGap = [&](TDateTime from, TDateTime to) {
        const double gapMs =
            std::clamp((to - from) * datetime::MsPerDay, 0.0, static_cast<double>(MaxGapMs));
        auto silent = static_cast<uint64_t>(std::llround(gapMs * fPCM.nSamplesPerSec / 1000.0));
        const uint64_t perBlock = std::max<uint64_t>(uint64_t{fPCM.nSamplesPerSec} / 40 + 1, 1);
        std::vector<int16_t> zeros;
        while (silent > 0) {
            const uint64_t n = std::min(silent, perBlock);
            zeros.assign(static_cast<size_t>(n * 2), 0);
            Owner.queueBlock(makeCapturedBlock(zeros.data(), static_cast<int32_t>(n * 4)),
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
        while (PacketLength != 0 && !terminated()) {
            uint8_t* pData = nullptr;
            uint32_t NumFramesAvailable = 0;
            uint32_t Flags = 0;
            uint64_t uDummy = 0;
            s = CaptureClient->GetBuffer(&pData, &NumFramesAvailable, &Flags, &uDummy, &uDummy);
            if (s != S_OK && s != AUDCLNT_S_BUFFER_EMPTY)
                return {"CaptureClient.GetBuffer Failed.", s};

            const uint64_t packetBytes = uint64_t{NumFramesAvailable} * FrameSize;
            work.reserve(frames + NumFramesAvailable, FrameSize);
            if (packetBytes > 0) {
                // Silence is written into our own buffer rather than over the engine's, which
                // may be read-only or, for a hole in the stream, absent.
                uint8_t* to = work.accumulation.data() + bytes;
                if ((Flags & AUDCLNT_BUFFERFLAGS_SILENT) || !pData)
                    std::memset(to, 0, static_cast<size_t>(packetBytes));
                else
                    std::memcpy(to, pData, static_cast<size_t>(packetBytes));
            }
            const uint32_t n = NumFramesAvailable;
            s = CaptureClient->ReleaseBuffer(n);
            if (failed(s))
                return {"CaptureClient.ReleaseBuffer Failed.", s};
            bytes += packetBytes;
            frames += n;
            if (n > 0)
                lastPacket = clock.now();

            if (bytes > threshold && !cutBlock())
                return {nullptr, ConversionFailed};

            s = CaptureClient->GetNextPacketSize(&PacketLength);
            if (failed(s))
                return {"CaptureClient.GetNextPacketSize2 Failed.", s};
        }
        return {};
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
        const Follow result = switchToDefault(std::move(device), id);
        if (result != Follow::Switched)
            return result;
        const TDateTime started = clock.now();
        queueGap(lastPacket, started);
        lastPacket = started;
        lastDefaultCheck = started;
        // Whatever made the switch, the new stream is the default output now.
        followDefault = true;
        prepare();
        return result;
    };

    int invalidatedPolls = 0;
    while (!terminated()) {
        if (sleepFor(static_cast<int>(m_sleeptime)))
            break;
        const Failure failure = drain();
        if (failure.status != S_OK) {
            if (!failure.text)
                return;
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
        if (followDefault && !terminated() &&
            (now - lastDefaultCheck) * datetime::MsPerDay >= DefaultCheckMs) {
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
