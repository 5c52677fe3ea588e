#pragma once

#include "platform/audio/audioplatform.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// A scripted audio engine for tests: endpoints with their formats and states, capture
/// packets the test queues, render streams whose padding the test controls and whose
/// written bytes it can inspect, and failures injected at any call.
///
/// Threads: every function of the engine and of the objects it hands out may be called on
/// any thread at any time; one mutex guards the whole simulated service. The scripting
/// functions may be called while a capture or render thread is using the engine. The
/// objects handed out keep the simulated service alive, so they may outlive the engine.
namespace audio {

/// The calls a failure can be injected at, named after the interface functions.
enum class SimCall {
    CreateEnumerator,
    EnumAudioEndpoints,
    GetDefaultAudioEndpoint,
    GetDevice,
    GetId,
    GetDataFlow,
    GetState,
    GetProperty,
    Activate,
    GetMixFormat,
    Initialize,
    GetBufferSize,
    GetCurrentPadding,
    Start,
    Stop,
    GetCaptureClient,
    GetRenderClient,
    GetSimpleAudioVolume,
    GetNextPacketSize,
    CaptureGetBuffer,
    CaptureReleaseBuffer,
    RenderGetBuffer,
    RenderReleaseBuffer,
    SetMasterVolume,
    SetMute,
};

/// A failure of one call. The first `after` matching calls pass this rule; the `times`
/// calls after them fail (a negative count: every later call). Several rules may name one
/// call; each counts the matching calls on its own and the first that fires wins. A call
/// that fails does nothing but return the status (also a success code such as
/// AUDCLNT_S_BUFFER_EMPTY), with its outputs zero, empty or null.
struct SimFailure {
    SimCall call = SimCall::CreateEnumerator;
    HRESULT status = E_FAIL;
    int after = 0;
    int times = -1;
    /// Only calls concerning this endpoint; empty: any call, also those that concern no
    /// endpoint (CreateEnumerator, EnumAudioEndpoints, GetDefaultAudioEndpoint).
    QString endpoint;
    /// Non-empty: the call throws std::runtime_error with this message instead.
    std::string throwMessage;
};

struct SimEndpoint {
    QString id;
    int dataFlow = eRender;
    uint32_t state = DEVICE_STATE_ACTIVE;
    QString cardName;
    QString endpointName;
    WaveFormatExtensible mixFormat;
    /// Status of every activation of an audio client on this endpoint.
    HRESULT activateStatus = S_OK;
    /// Endpoint buffer size in frames; 0: the duration asked for at Initialize.
    uint32_t bufferFrames = 0;
};

/// One capture packet. `data` holds frames x block alignment bytes in the mix format;
/// when it is empty while `frames` is not, GetBuffer hands out a null pointer (a hole).
struct SimPacket {
    uint32_t frames = 0;
    std::vector<uint8_t> data;
    uint32_t flags = 0;
    /// What GetBuffer returns for this packet (S_OK or AUDCLNT_S_BUFFER_EMPTY, say).
    HRESULT status = S_OK;
    /// When its first frame was played, in 100-ns units (0: the engine cannot tell).
    uint64_t qpc = 0;
};

/// What the render streams of one endpoint were given.
struct SimRenderStats {
    int initializations = 0; ///< render streams initialised on the endpoint
    int starts = 0;
    int stops = 0;
    int writes = 0; ///< released render buffers
    uint64_t framesWritten = 0;
    bool onlyZeros = true; ///< every byte released so far was zero
};

/// One audio client that was initialised, for inspection.
struct SimStream {
    QString endpoint;
    int shareMode = 0;
    uint32_t streamFlags = 0;
    int64_t bufferDuration = 0;
    int64_t periodicity = 0;
    uint32_t bufferFrames = 0;
    uint32_t rate = 0;           ///< the rate asked for at Initialize
    WaveFormatExtensible format; ///< the whole format asked for at Initialize
    bool started = false;
    int stops = 0;
    bool volumeSet = false;
    float volume = 0.0f;
    bool muteSet = false;
    bool mute = false;
    /// The application stream recorded alone (SetLoopbackApplication); none: the whole mix.
    std::optional<uint32_t> application;
};

class SimEngine final : public AudioEngine {
public:
    enum class FormatTag { Plain, Extensible };

    SimEngine();
    ~SimEngine() override;

    SimEngine(const SimEngine&) = delete;
    SimEngine& operator=(const SimEngine&) = delete;

    HRESULT CreateEnumerator(std::unique_ptr<IMMDeviceEnumerator>* enumerator) override;

    // Formats and packets.
    /// Extensible: the speaker mask names the first `channels` positions in mask order
    /// (front left, front right, front centre, LFE, back left, back right, ...).
    static WaveFormatExtensible floatFormat(uint32_t rate, uint16_t channels,
                                            FormatTag tag = FormatTag::Extensible);
    /// Extensible float with the given speaker mask.
    static WaveFormatExtensible floatFormat(uint32_t rate, uint16_t channels, uint32_t channelMask);
    static WaveFormatExtensible pcm16Format(uint32_t rate, uint16_t channels,
                                            FormatTag tag = FormatTag::Extensible);
    /// A packet of interleaved float samples (samples.size() / channels frames).
    static SimPacket floatPacket(const std::vector<float>& samples, uint16_t channels,
                                 uint32_t flags = 0);
    /// A hole: `frames` frames flagged silent, with no data.
    static SimPacket holePacket(uint32_t frames);

    // Endpoints. Enumeration lists them in the order they were added.
    void addEndpoint(const SimEndpoint& endpoint);
    void setState(const QString& id, uint32_t state);
    void setMixFormat(const QString& id, const WaveFormatExtensible& format);
    void setActivateStatus(const QString& id, HRESULT status);
    /// The default endpoint of a data flow (empty: none, E_NOTFOUND).
    void setDefaultEndpoint(int dataFlow, const QString& id);
    /// The application streams EnumPlayingApplications lists.
    void setPlayingApplications(std::vector<PlayingApplication> applications);

    // Capture.
    void queuePacket(const QString& id, SimPacket packet);
    void queuePackets(const QString& id, std::vector<SimPacket> packets);
    size_t pendingPackets(const QString& id) const;
    uint64_t releasedPackets(const QString& id) const;

    // Render.
    /// Frames queued in the endpoint's render buffer; written frames add to it.
    void setPadding(const QString& id, uint32_t frames);
    uint32_t padding(const QString& id) const;
    SimRenderStats renderStats(const QString& id) const;

    // Failures and inspection.
    void inject(const SimFailure& failure);
    void failAt(SimCall call, HRESULT status, int after = 0, int times = -1,
                const QString& endpoint = QString());
    /// The call after the first `after` matching calls throws std::runtime_error(message),
    /// once.
    void throwAt(SimCall call, const std::string& message, int after = 0,
                 const QString& endpoint = QString());
    void clearFailures();
    /// Calls made so far, failed ones included.
    int callCount(SimCall call) const;
    /// Every audio client initialised so far, in order.
    std::vector<SimStream> streams() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace audio
