#include "inputrecordthread.h"

#include "audioclienterrors.h"
#include "blockqueue.h"
#include "enginecalls.h"
#include "formats.h"
#include "wasapisource.h"

#include <cstring>
#include <vector>

using namespace audio;

namespace {

constexpr int32_t NonFloatMixFormat = -960;
constexpr int32_t ConversionFailed = 1975;
constexpr int64_t CaptureBufferDuration = 50000000; // 5 s in 100-ns units
constexpr uint32_t PollIntervalMs = 100;

/// The three work buffers of one capture: raw packets in the mix format, stereo float and
/// 16-bit stereo. They are sized once per start from the endpoint buffer: a packet never
/// exceeds the endpoint buffer, and a block is cut once the accumulation passes the
/// threshold, so threshold plus one endpoint buffer always suffices. (A fixed 8 MiB would
/// be too small for a 5-second buffer of many channels at high rates.) Only an engine that
/// hands out a packet larger than its own buffer makes them grow in the loop.
class WorkBuffers {
public:
    void reserve(uint64_t frames, uint32_t frameSize) {
        if (frames <= m_frames)
            return;
        m_frames = frames;
        accumulation.resize(static_cast<size_t>(frames * frameSize));
        stereo.resize(static_cast<size_t>(frames * 2));
        pcm.resize(static_cast<size_t>(frames * 2));
    }

    std::vector<uint8_t> accumulation;
    std::vector<float> stereo;
    std::vector<int16_t> pcm;

private:
    uint64_t m_frames = 0;
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
        // thread's priority instead.
        return InitAudioClient();
    } catch (...) {
        // Shown on the window thread; the body then ends at its first call with a
        // termination report.
        handleException(std::current_exception());
        return 0;
    }
}

int32_t TInputRecordThread::InitAudioClient() {
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
    const uint64_t threshold = (uint64_t{pWfx.Format.nSamplesPerSec} * pWfx.Format.nChannels) / 10;
    WorkBuffers work;
    work.reserve((FrameSize ? threshold / FrameSize : 0) + BufferFrameCount + 1, FrameSize);
    uint64_t bytes = 0;
    uint64_t frames = 0;

    const auto leave = [this](const char* text, int32_t value) {
        errmsg = QString::fromLatin1(text);
        setReturnValue(value);
    };
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

    while (!terminated()) {
        if (sleepFor(static_cast<int>(m_sleeptime)))
            break;
        uint32_t PacketLength = 0;
        status = CaptureClient->GetNextPacketSize(&PacketLength);
        if (failed(status))
            return leave("CaptureClient.GetNextPacketSize Failed.", status);

        while (PacketLength != 0 && !terminated()) {
            uint8_t* pData = nullptr;
            uint32_t NumFramesAvailable = 0;
            uint32_t Flags = 0;
            uint64_t uDummy = 0;
            status =
                CaptureClient->GetBuffer(&pData, &NumFramesAvailable, &Flags, &uDummy, &uDummy);
            if (status != S_OK && status != AUDCLNT_S_BUFFER_EMPTY)
                return leave("CaptureClient.GetBuffer Failed.", status);

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
            status = CaptureClient->ReleaseBuffer(n);
            if (failed(status))
                return leave("CaptureClient.ReleaseBuffer Failed.", status);
            bytes += packetBytes;
            frames += n;

            if (bytes > threshold) {
                const int64_t srcsize = static_cast<int64_t>(frames) * 8;
                if (srcsize > 0) {
                    try {
                        ConvertToStereo(work.accumulation.data(), static_cast<int64_t>(frames),
                                        FrameSize, work.stereo.data());
                        FloatToPcm16(work.stereo.data(), work.pcm.data(),
                                     static_cast<int64_t>(frames) * 2);
                    } catch (...) {
                        errmsg = QStringLiteral("Format Conversion Failed. Exception raised: "
                                                "block size%1, frame size%2")
                                     .arg(srcsize)
                                     .arg(FrameSize);
                        setReturnValue(ConversionFailed);
                        return;
                    }
                    const auto bufsize = static_cast<int32_t>(frames * 4);
                    // The block is the loop's only allocation.
                    Owner.queueBlock(makeCapturedBlock(work.pcm.data(), bufsize),
                                     StorageWake::Later);
                    queued = true;
                }
                bytes = 0;
                frames = 0;
            }

            status = CaptureClient->GetNextPacketSize(&PacketLength);
            if (failed(status))
                return leave("CaptureClient.GetNextPacketSize2 Failed.", status);
        }
        if (queued) {
            Owner.wakeStorage();
            queued = false;
        }
    }
    // Asked to stop; what has gathered short of a block is dropped.
    AudioClient->Stop();
}
