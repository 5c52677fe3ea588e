#pragma once

#include "common/waveformat.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

/// The operations the capture code needs of the system's audio service, shaped like the
/// endpoint API the capture logic was written for: every call returns a 32-bit status
/// (negative on failure) from the table below, so that the capture code's error texts apply
/// unchanged. Two engines implement it: pulse/ (libpulse; also PipeWire through
/// pipewire-pulse) and sim/ (scripted, for tests).
///
/// Threads: an enumerator, its devices and their audio clients may be created and used on
/// any thread; one object is used by one thread at a time (the capture thread takes over a
/// client that the window thread initialised). Engines do their own locking.
namespace audio {

using HRESULT = int32_t;

constexpr HRESULT hr(uint32_t v) {
    return static_cast<HRESULT>(v);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT AUDCLNT_S_BUFFER_EMPTY = hr(0x08890001u);
constexpr HRESULT E_NOTIMPL = hr(0x80004001u);
constexpr HRESULT E_POINTER = hr(0x80004003u);
constexpr HRESULT E_FAIL = hr(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = hr(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = hr(0x80070057u);
constexpr HRESULT E_NOTFOUND = hr(0x80070490u);
constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = hr(0x88890001u);
constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = hr(0x88890002u);
constexpr HRESULT AUDCLNT_E_WRONG_ENDPOINT_TYPE = hr(0x88890003u);
constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = hr(0x88890004u);
constexpr HRESULT AUDCLNT_E_NOT_STOPPED = hr(0x88890005u);
constexpr HRESULT AUDCLNT_E_BUFFER_TOO_LARGE = hr(0x88890006u);
constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = hr(0x88890007u);
constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = hr(0x88890008u);
constexpr HRESULT AUDCLNT_E_INVALID_SIZE = hr(0x88890009u);
constexpr HRESULT AUDCLNT_E_SERVICE_NOT_RUNNING = hr(0x88890010u);
constexpr HRESULT AUDCLNT_E_BUFFER_OPERATION_PENDING = hr(0x8889000Bu);

inline bool failed(HRESULT status) {
    return status < 0;
}

/// Data flow of an endpoint.
constexpr int eRender = 0;
constexpr int eCapture = 1;
constexpr int eAll = 2;

/// Roles for the default endpoint.
constexpr int eConsole = 0;
constexpr int eMultimedia = 1;

/// Endpoint states (a mask in EnumAudioEndpoints).
constexpr uint32_t DEVICE_STATE_ACTIVE = 1;
constexpr uint32_t DEVICE_STATE_DISABLED = 2;
constexpr uint32_t DEVICE_STATE_NOTPRESENT = 4;
constexpr uint32_t DEVICE_STATE_UNPLUGGED = 8;

/// Audio client flags.
constexpr int AUDCLNT_SHAREMODE_SHARED = 0;
constexpr uint32_t AUDCLNT_STREAMFLAGS_LOOPBACK = 0x00020000u;
constexpr uint32_t AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM = 0x80000000u;
constexpr uint32_t AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 1;
constexpr uint32_t AUDCLNT_BUFFERFLAGS_SILENT = 2;

constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

struct Guid {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};
    friend bool operator==(const Guid&, const Guid&) = default;
};

constexpr Guid KSDATAFORMAT_SUBTYPE_PCM{
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr Guid KSDATAFORMAT_SUBTYPE_IEEE_FLOAT{
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

/// Speaker positions, the bits of WaveFormatExtensible::dwChannelMask. The channels of a
/// frame are the speakers of the bits set, in the order of the bits.
constexpr uint32_t SPEAKER_FRONT_LEFT = 0x1;
constexpr uint32_t SPEAKER_FRONT_RIGHT = 0x2;
constexpr uint32_t SPEAKER_FRONT_CENTER = 0x4;
constexpr uint32_t SPEAKER_LOW_FREQUENCY = 0x8;
constexpr uint32_t SPEAKER_BACK_LEFT = 0x10;
constexpr uint32_t SPEAKER_BACK_RIGHT = 0x20;
constexpr uint32_t SPEAKER_FRONT_LEFT_OF_CENTER = 0x40;
constexpr uint32_t SPEAKER_FRONT_RIGHT_OF_CENTER = 0x80;
constexpr uint32_t SPEAKER_BACK_CENTER = 0x100;
constexpr uint32_t SPEAKER_SIDE_LEFT = 0x200;
constexpr uint32_t SPEAKER_SIDE_RIGHT = 0x400;
constexpr uint32_t SPEAKER_TOP_CENTER = 0x800;
constexpr uint32_t SPEAKER_TOP_FRONT_LEFT = 0x1000;
constexpr uint32_t SPEAKER_TOP_FRONT_CENTER = 0x2000;
constexpr uint32_t SPEAKER_TOP_FRONT_RIGHT = 0x4000;
constexpr uint32_t SPEAKER_TOP_BACK_LEFT = 0x8000;
constexpr uint32_t SPEAKER_TOP_BACK_CENTER = 0x10000;
constexpr uint32_t SPEAKER_TOP_BACK_RIGHT = 0x20000;

/// A wave format with the extensible part (valid for tag WAVE_FORMAT_EXTENSIBLE only).
struct WaveFormatExtensible {
    tWAVEFORMATEX Format;
    uint16_t wValidBitsPerSample = 0;
    uint32_t dwChannelMask = 0;
    Guid SubFormat;
};

/// The two names read from an endpoint's property store.
enum class DeviceProperty {
    DeviceInterfaceFriendlyName, ///< the card's (adapter's) name
    DeviceDescription,           ///< the endpoint's own description
};

/// An application's stream on an output, as the sound server lists it. Beyond the endpoint
/// calls above: the engines that can tell implement it.
struct PlayingApplication {
    uint32_t stream = 0; ///< the server's index of the stream
    QString name;        ///< what the application calls itself
    QString binary;      ///< the file name of its program
    QString iconName;    ///< the icon theme's name for it
    QString mediaName;   ///< what the stream says it plays
    int64_t pid = 0;     ///< its process, 0 when not told
    QString outputId;    ///< the id of the output endpoint it plays to
    bool corked = false; ///< paused by the application
};

/// The stream of the application `wanted` names (its name or program, in any case, or its
/// process id): one that plays rather than a paused one, the newest of those; null when
/// there is none.
inline const PlayingApplication*
findPlayingApplication(const std::vector<PlayingApplication>& applications, const QString& wanted) {
    bool isPid = false;
    const qlonglong pid = wanted.toLongLong(&isPid);
    const PlayingApplication* best = nullptr;
    for (const PlayingApplication& app : applications) {
        const bool named = isPid ? app.pid == pid
                                 : app.name.compare(wanted, Qt::CaseInsensitive) == 0 ||
                                       app.binary.compare(wanted, Qt::CaseInsensitive) == 0;
        if (named && (!best || (best->corked && !app.corked) ||
                      (best->corked == app.corked && app.stream > best->stream)))
            best = &app;
    }
    return best;
}

class IAudioCaptureClient {
public:
    virtual ~IAudioCaptureClient() = default;
    /// Frames in the next packet; 0 when none is waiting.
    virtual HRESULT GetNextPacketSize(uint32_t* frames) = 0;
    /// The next packet: its data (valid until ReleaseBuffer), frame count and flags
    /// (AUDCLNT_BUFFERFLAGS_SILENT: treat the data as silence). AUDCLNT_S_BUFFER_EMPTY with
    /// 0 frames when nothing is waiting. `qpcPosition`: when the packet's first frame was
    /// played, in 100-ns units of the monotonic clock (CLOCK_MONOTONIC), by the stream's own
    /// clock; 0 when the engine cannot tell.
    virtual HRESULT GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags,
                              uint64_t* devicePosition, uint64_t* qpcPosition) = 0;
    /// Releases the packet got last; `frames` is its frame count (or 0).
    virtual HRESULT ReleaseBuffer(uint32_t frames) = 0;
    /// For a loopback capture: how long the captured output takes from a player's stream to
    /// being played (the output's latency), in microseconds, as last reported. Any thread.
    virtual HRESULT GetOutputLatency(int64_t* microseconds) {
        *microseconds = 0;
        return E_NOTIMPL;
    }
};

class IAudioRenderClient {
public:
    virtual ~IAudioRenderClient() = default;
    /// Room for `frames` frames to fill; valid until ReleaseBuffer.
    virtual HRESULT GetBuffer(uint32_t frames, uint8_t** data) = 0;
    virtual HRESULT ReleaseBuffer(uint32_t frames, uint32_t flags) = 0;
};

class ISimpleAudioVolume {
public:
    virtual ~ISimpleAudioVolume() = default;
    virtual HRESULT SetMasterVolume(float level) = 0;
    virtual HRESULT SetMute(bool mute) = 0;
};

class IAudioClient {
public:
    virtual ~IAudioClient() = default;
    /// The endpoint's own format (for an output endpoint: what loopback delivers).
    virtual HRESULT GetMixFormat(WaveFormatExtensible* format) = 0;
    /// shareMode AUDCLNT_SHAREMODE_SHARED; flags AUDCLNT_STREAMFLAGS_*; durations in 100 ns.
    virtual HRESULT Initialize(int shareMode, uint32_t streamFlags, int64_t bufferDuration,
                               int64_t periodicity, const WaveFormatExtensible& format) = 0;
    virtual HRESULT GetBufferSize(uint32_t* frames) = 0;
    /// Frames queued in the endpoint buffer (render streams).
    virtual HRESULT GetCurrentPadding(uint32_t* frames) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT GetCaptureClient(std::unique_ptr<IAudioCaptureClient>* client) = 0;
    virtual HRESULT GetRenderClient(std::unique_ptr<IAudioRenderClient>* client) = 0;
    virtual HRESULT GetSimpleAudioVolume(std::unique_ptr<ISimpleAudioVolume>* volume) = 0;
    /// Before Initialize with AUDCLNT_STREAMFLAGS_LOOPBACK: record only the application
    /// stream `stream` (PlayingApplication::stream) of the output, not its whole mix. When
    /// that stream ends, the capture fails as for a device that went away.
    virtual HRESULT SetLoopbackApplication(uint32_t stream) {
        (void)stream;
        return E_NOTIMPL;
    }
    /// After Initialize of a capture stream: `signal` is called, on any thread, whenever
    /// packets arrive or the stream fails, so that the reader can sleep until then instead
    /// of polling. It must not call back into the engine. E_NOTIMPL: the reader polls.
    virtual HRESULT SetEventHandle(std::function<void()> signal) {
        (void)signal;
        return E_NOTIMPL;
    }
};

class IMMDevice {
public:
    virtual ~IMMDevice() = default;
    virtual HRESULT GetId(QString* id) = 0;
    virtual HRESULT GetDataFlow(int* dataFlow) = 0;
    virtual HRESULT GetState(uint32_t* state) = 0;
    /// An absent property gives S_OK with an empty text.
    virtual HRESULT GetProperty(DeviceProperty key, QString* value) = 0;
    virtual HRESULT Activate(std::unique_ptr<IAudioClient>* client) = 0;
};

class IMMDeviceEnumerator {
public:
    virtual ~IMMDeviceEnumerator() = default;
    /// Endpoints of a data flow (eAll for both) whose state is in `stateMask`, in a stable
    /// order.
    virtual HRESULT EnumAudioEndpoints(int dataFlow, uint32_t stateMask,
                                       std::vector<std::unique_ptr<IMMDevice>>* devices) = 0;
    /// E_NOTFOUND when there is none.
    virtual HRESULT GetDefaultAudioEndpoint(int dataFlow, int role,
                                            std::unique_ptr<IMMDevice>* device) = 0;
    virtual HRESULT GetDevice(const QString& id, std::unique_ptr<IMMDevice>* device) = 0;
    /// Asks to hear when the default endpoints, the set of endpoints or the applications
    /// playing may have changed:
    /// `changed` then runs on a thread of the engine and must only signal (it may run for
    /// other changes too). It stays registered while the enumerator lives. E_NOTIMPL when
    /// the engine cannot tell; its users then look now and then.
    virtual HRESULT RegisterEndpointNotificationCallback(std::function<void()> changed) {
        (void)changed;
        return E_NOTIMPL;
    }
    /// The application streams now playing on any output, our own left out.
    virtual HRESULT EnumPlayingApplications(std::vector<PlayingApplication>* applications) {
        (void)applications;
        return E_NOTIMPL;
    }
};

/// An audio service: creates enumerators. AUDCLNT_E_SERVICE_NOT_RUNNING when no sound
/// server answers.
class AudioEngine {
public:
    virtual ~AudioEngine() = default;
    virtual HRESULT CreateEnumerator(std::unique_ptr<IMMDeviceEnumerator>* enumerator) = 0;
};

/// The application streams the engine lists now.
inline HRESULT listPlayingApplications(AudioEngine& engine,
                                       std::vector<PlayingApplication>* applications) {
    std::unique_ptr<IMMDeviceEnumerator> enumerator;
    HRESULT status = engine.CreateEnumerator(&enumerator);
    if (!failed(status))
        status = enumerator ? enumerator->EnumPlayingApplications(applications) : E_POINTER;
    return status;
}

} // namespace audio
