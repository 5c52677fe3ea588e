#include "audioclienterrors.h"

namespace {

constexpr uint32_t E_INVALIDARG = 0x80070057u;

struct Description {
    uint32_t status;
    const char* text;
};

// The descriptions of the audio-client statuses. Some deliberately end in a blank: the text
// that may follow (the format report for an invalid argument) is appended directly.
constexpr Description Descriptions[] = {
    {0x08890001u, "The call succeeded and *pNumFramesToRead is 0, indicating that no capture "
                  "data is available to be read. "},
    {0x08890002u, ""},
    {0x08890003u, "The IAudioClient::Start method has not been called for this stream. "},
    {0x80004003u, "Parameter pFormat is NULL."},
    {0x8007000Eu, "Out of memory"},
    {0x80070057u, "Parameter pFormat points to an invalid format description. "},
    {0x88890001u, "The audio stream has not been successfully initialized."},
    {0x88890002u, "The IAudioClient object is already initialized."},
    {0x88890003u, "The AUDCLNT_STREAMFLAGS_LOOPBACK flag is set but the endpoint device is a "
                  "capture device, not a rendering device."},
    {0x88890004u, "The audio endpoint device has been unplugged, or the audio hardware or "
                  "associated hardware resources have been reconfigured, disabled, removed, or "
                  "otherwise made unavailable for use."},
    {0x88890005u, "The audio stream was not stopped at the time the call was made. "},
    {0x88890006u, "The NumFramesRequested value exceeds the available buffer space (buffer size "
                  "minus padding size). "},
    {0x88890007u, "A previous IAudioRenderClient::GetBuffer call is still in effect."},
    {0x88890008u, "The audio engine (shared mode) or audio endpoint device (exclusive mode) does "
                  "not support the specified format."},
    {0x88890009u, "The NumFramesRead parameter is set to a value other than the data packet "
                  "size or 0."},
    {0x8889000Au, "The endpoint device is already in use. Either the device is being used in "
                  "exclusive mode, or the device is being used in shared mode and the caller "
                  "asked to use the device in exclusive mode."},
    {0x8889000Bu, "The client is currently writing to or reading from the buffer. "},
    {0x8889000Cu, ""},
    {0x8889000Eu, "The caller is requesting exclusive-mode use of the endpoint device, but the "
                  "user has disabled exclusive-mode use of the device."},
    {0x8889000Fu, "The method failed to create the audio endpoint. This can occur if the audio "
                  "endpoint device has been unplugged, or the audio hardware or associated "
                  "hardware resources have been reconfigured, disabled, removed, or otherwise "
                  "made unavailable for use."},
    // On Linux the service behind the endpoints is the sound server.
    {0x88890010u, "The audio service (PulseAudio or PipeWire) is not running."},
    {0x88890011u, "The audio stream was not initialized for event-driven buffering. "},
    {0x88890012u, ""},
    {0x88890013u, "The AUDCLNT_STREAMFLAGS_EVENTCALLBACK flag is set but parameters "
                  "hnsBufferDuration and hnsPeriodicity are not equal."},
    {0x88890014u, "The audio stream is configured to use event-driven buffering, but the caller "
                  "has not called IAudioClient::SetEventHandle to set the event handle on the "
                  "stream."},
    {0x88890015u, ""},
    {0x88890016u, "Indicates that the buffer duration value requested by an exclusive-mode "
                  "client is out of range. The requested duration value for pull mode must not "
                  "be greater than 500 milliseconds; for push mode the duration value must not "
                  "be greater than 2 seconds."},
    {0x88890017u, "Indicates that the process-pass duration exceeded the maximum CPU usage. The "
                  "audio engine keeps track of CPU usage by maintaining the number of times the "
                  "process-pass duration exceeds the maximum CPU usage. "},
    {0x88890018u, "GetBuffer failed to retrieve a data buffer and *ppData points to NULL."},
    {0x88890019u, "The requested buffer size is not aligned."},
    {0x88890020u, "Indicates that the requested device period specified with the PeriodInFrames "
                  "is not an integral multiple of the fundamental periodicity of the audio "
                  "engine, is shorter than the engine's minimum period, or is longer than the "
                  "engine's maximum period. "},
    {0x88890021u, ""},
    {0x88890022u, ""},
    {0x88890023u, ""},
    {0x88890024u, ""},
    {0x88890025u, ""},
    {0x88890026u, ""},
    {0x88890027u, ""},
    {0x88890028u, "The client specified AUDCLNT_STREAMOPTIONS_MATCH_FORMAT when calling "
                  "IAudioClient2::SetClientProperties, but the periodicity of the audio engine "
                  "has been locked by another client. "},
    {0x88890029u, "The client specified AUDCLNT_STREAMOPTIONS_MATCH_FORMAT when calling "
                  "IAudioClient2::SetClientProperties, but the format of the audio engine has "
                  "been locked by another client."},
    {0x88890030u, ""},
    {0x88890040u, ""},
};

QString description(uint32_t status) {
    for (const Description& d : Descriptions)
        if (d.status == status)
            return QString::fromLatin1(d.text);
    return QStringLiteral("Unknown error");
}

} // namespace

QString AudioClientErrorText(const QString& caption, int32_t code, const QString& extra) {
    const auto status = static_cast<uint32_t>(code);
    QString text = caption + QLatin1Char('\n') + description(status);
    if (status == E_INVALIDARG)
        text += extra;
    return text;
}
