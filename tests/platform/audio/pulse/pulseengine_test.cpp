// The PulseAudio engine against the private sound server of the test command: a float32
// stereo 48 kHz null sink as default sink. Signals are played by the server itself
// (upload-sample, play-sample), so no client of ours can underrun.
#include "platform/audio/pulse/pulseengine.h"

#include <QByteArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>

using namespace audio;

namespace {

QString testSink() {
    const QByteArray name = qgetenv("ORVANTA_TEST_SINK");
    return name.isEmpty() ? QStringLiteral("orvanta_test") : QString::fromUtf8(name);
}

struct ProcessResult {
    int exitCode = -1;
    QString output;
};

ProcessResult pactl(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return {-1, QStringLiteral("pactl did not finish")};
    }
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return {code,
            QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError())};
}

/// A module loaded for one test and unloaded again, also when the test fails.
class LoadedModule {
public:
    explicit LoadedModule(const QStringList& arguments) {
        if (arguments.isEmpty()) {
            return;
        }
        const ProcessResult result = pactl(QStringList{QStringLiteral("load-module")} + arguments);
        if (result.exitCode == 0) {
            m_index = result.output.trimmed();
        }
    }
    ~LoadedModule() { unload(); }
    bool loaded() const { return !m_index.isEmpty(); }
    void unload() {
        if (!m_index.isEmpty()) {
            pactl({QStringLiteral("unload-module"), m_index});
            m_index.clear();
        }
    }

private:
    QString m_index;
};

/// Sets an environment variable for one scope.
class EnvironmentOverride {
public:
    EnvironmentOverride(const char* name, const QByteArray& value)
        : m_name(name), m_hadValue(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        qputenv(name, value);
    }
    ~EnvironmentOverride() {
        if (m_hadValue) {
            qputenv(m_name, m_old);
        } else {
            qunsetenv(m_name);
        }
    }

private:
    const char* m_name;
    bool m_hadValue;
    QByteArray m_old;
};

/// Polls `done` every 10 ms; false only when the hang guard runs out.
bool waitUntil(const std::function<bool()>& done) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > guard) {
            return false;
        }
        QThread::msleep(10);
    }
    return true;
}

/// Reads every packet waiting, as the capture thread does, appending its samples (zeros for
/// a silent packet). The first failing status ends it.
HRESULT drain(IAudioCaptureClient& capture, uint32_t channels, std::vector<float>* samples) {
    uint32_t next = 0;
    HRESULT status = capture.GetNextPacketSize(&next);
    while (status == S_OK && next != 0) {
        uint8_t* data = nullptr;
        uint32_t frames = 0;
        uint32_t flags = 0;
        uint64_t position = 0;
        status = capture.GetBuffer(&data, &frames, &flags, &position, nullptr);
        if (status != S_OK) {
            return status;
        }
        EXPECT_EQ(frames, next) << "the packet is not the size announced";
        EXPECT_EQ(position, samples->size() / channels) << "the device position skipped";
        const size_t count = size_t{frames} * channels;
        const size_t at = samples->size();
        samples->resize(at + count, 0.0f);
        if (!(flags & AUDCLNT_BUFFERFLAGS_SILENT)) {
            std::memcpy(samples->data() + at, data, count * sizeof(float));
        }
        status = capture.ReleaseBuffer(frames);
        if (status == S_OK) {
            status = capture.GetNextPacketSize(&next);
        }
    }
    return status;
}

WaveFormatExtensible floatFormat(uint32_t rate, uint16_t channels) {
    WaveFormatExtensible format;
    format.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.wBitsPerSample = 32;
    format.Format.nBlockAlign = static_cast<uint16_t>(channels * 4);
    format.Format.nAvgBytesPerSec = rate * format.Format.nBlockAlign;
    return format;
}

QStringList idsOf(const std::vector<std::unique_ptr<IMMDevice>>& devices) {
    QStringList ids;
    for (const auto& device : devices) {
        QString id;
        EXPECT_EQ(device->GetId(&id), S_OK);
        ids << id;
    }
    return ids;
}

/// The block of `pactl list <kind>` that belongs to the given application, or empty.
QString listedStreamOf(const QString& kind, const QString& application) {
    const QString listing = pactl({QStringLiteral("list"), kind}).output;
    const QString marker = QStringLiteral("application.name = \"%1\"").arg(application);
    for (const QString& block : listing.split(QStringLiteral("\n\n"))) {
        if (block.contains(marker)) {
            return block;
        }
    }
    return {};
}

constexpr int64_t kFiveSeconds = 50000000;
constexpr int64_t kTwoSeconds = 20000000;

class PulseEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(connect(QStringLiteral("orvanta-pulse-test")));
    }

    void connect(const QString& application) {
        m_engine = createPulseEngine(application);
        ASSERT_EQ(m_engine->CreateEnumerator(&m_enumerator), S_OK)
            << "no sound server answers; the test command starts one with "
               "tests/audio/sound-server.sh start";
    }

    void device(const QString& id, std::unique_ptr<IMMDevice>* device) {
        ASSERT_EQ(m_enumerator->GetDevice(id, device), S_OK) << id.toStdString();
    }

    /// A started loopback stream of an output endpoint, initialised as the capture thread
    /// does it.
    void openLoopback(IMMDevice& endpoint, std::unique_ptr<IAudioClient>* client,
                      std::unique_ptr<IAudioCaptureClient>* capture) {
        ASSERT_EQ(endpoint.Activate(client), S_OK);
        WaveFormatExtensible mix;
        ASSERT_EQ((*client)->GetMixFormat(&mix), S_OK);
        ASSERT_EQ(
            (*client)->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                  AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
                                  kFiveSeconds, 0, mix),
            S_OK);
        ASSERT_EQ((*client)->GetCaptureClient(capture), S_OK);
        ASSERT_EQ((*client)->Start(), S_OK);
    }

    std::unique_ptr<AudioEngine> m_engine;
    std::unique_ptr<IMMDeviceEnumerator> m_enumerator;
};

TEST_F(PulseEngineTest, ListsTheNullSinkAsActiveOutputAndHidesMonitors) {
    const QString sinkId = QStringLiteral("sink:") + testSink();
    std::vector<std::unique_ptr<IMMDevice>> all;
    ASSERT_EQ(m_enumerator->EnumAudioEndpoints(eAll, 0xB, &all), S_OK);
    const QStringList ids = idsOf(all);
    ASSERT_TRUE(ids.contains(sinkId)) << ids.join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(ids.contains(QStringLiteral("source:%1.monitor").arg(testSink())));

    std::vector<std::unique_ptr<IMMDevice>> again;
    ASSERT_EQ(m_enumerator->EnumAudioEndpoints(eAll, 0xB, &again), S_OK);
    EXPECT_EQ(idsOf(again), ids) << "the order is not stable";

    std::vector<std::unique_ptr<IMMDevice>> outputs;
    std::vector<std::unique_ptr<IMMDevice>> inputs;
    ASSERT_EQ(m_enumerator->EnumAudioEndpoints(eRender, 0xB, &outputs), S_OK);
    ASSERT_EQ(m_enumerator->EnumAudioEndpoints(eCapture, 0xB, &inputs), S_OK);
    EXPECT_EQ(idsOf(outputs) + idsOf(inputs), ids);
    for (const auto& output : outputs) {
        int flow = -1;
        EXPECT_EQ(output->GetDataFlow(&flow), S_OK);
        EXPECT_EQ(flow, eRender);
    }
    std::vector<std::unique_ptr<IMMDevice>> none;
    EXPECT_EQ(m_enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_DISABLED, &none), S_OK);
    EXPECT_TRUE(none.empty());

    std::unique_ptr<IMMDevice> sink;
    ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eRender, eMultimedia, &sink), S_OK);
    QString id;
    ASSERT_EQ(sink->GetId(&id), S_OK);
    EXPECT_EQ(id, sinkId);
    uint32_t state = 0;
    EXPECT_EQ(sink->GetState(&state), S_OK);
    EXPECT_EQ(state, DEVICE_STATE_ACTIVE);
    QString description;
    QString card;
    EXPECT_EQ(sink->GetProperty(DeviceProperty::DeviceDescription, &description), S_OK);
    EXPECT_EQ(sink->GetProperty(DeviceProperty::DeviceInterfaceFriendlyName, &card), S_OK);
    EXPECT_FALSE(description.isEmpty());
    EXPECT_EQ(card, description) << "a null sink has no card; its own name stands in";

    // The server's only source is the sink's monitor, which is no input endpoint.
    std::unique_ptr<IMMDevice> other;
    EXPECT_EQ(m_enumerator->GetDefaultAudioEndpoint(eCapture, eMultimedia, &other), E_NOTFOUND);
    EXPECT_EQ(m_enumerator->GetDevice(QStringLiteral("source:%1.monitor").arg(testSink()), &other),
              E_NOTFOUND);
    EXPECT_EQ(m_enumerator->GetDevice(QStringLiteral("sink:orvanta_no_such_sink"), &other),
              E_NOTFOUND);
    EXPECT_EQ(m_enumerator->GetDevice(testSink(), &other), E_NOTFOUND);

    std::unique_ptr<IAudioClient> client;
    ASSERT_EQ(sink->Activate(&client), S_OK);
    WaveFormatExtensible mix;
    ASSERT_EQ(client->GetMixFormat(&mix), S_OK);
    EXPECT_EQ(mix.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(mix.Format.nChannels, 2);
    EXPECT_EQ(mix.Format.nSamplesPerSec, 48000u);
    EXPECT_EQ(mix.Format.wBitsPerSample, 32);
    EXPECT_EQ(mix.Format.nBlockAlign, 8);
    EXPECT_EQ(mix.Format.nAvgBytesPerSec, 384000u);
    EXPECT_EQ(mix.Format.cbSize, 22);
    EXPECT_EQ(mix.wValidBitsPerSample, 32);
    EXPECT_EQ(mix.dwChannelMask, 0x3u);
    EXPECT_EQ(mix.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

TEST_F(PulseEngineTest, AudioClientChecksItsCallsAndFormats) {
    std::unique_ptr<IMMDevice> sink;
    ASSERT_NO_FATAL_FAILURE(device(QStringLiteral("sink:") + testSink(), &sink));
    std::unique_ptr<IAudioClient> client;
    ASSERT_EQ(sink->Activate(&client), S_OK);
    uint32_t frames = 0;
    std::unique_ptr<IAudioCaptureClient> capture;
    EXPECT_EQ(client->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->GetCurrentPadding(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->GetCaptureClient(&capture), AUDCLNT_E_NOT_INITIALIZED);

    WaveFormatExtensible mix;
    ASSERT_EQ(client->GetMixFormat(&mix), S_OK);
    WaveFormatExtensible pcm = mix;
    pcm.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    pcm.Format.wBitsPerSample = 16;
    pcm.wValidBitsPerSample = 16;
    pcm.Format.nBlockAlign = 4;
    const uint32_t loopback = AUDCLNT_STREAMFLAGS_LOOPBACK;
    const uint32_t converting = loopback | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, converting, kFiveSeconds, 0, pcm),
              AUDCLNT_E_UNSUPPORTED_FORMAT);
    const WaveFormatExtensible other = floatFormat(44100, 2);
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, loopback, kFiveSeconds, 0, other),
              AUDCLNT_E_UNSUPPORTED_FORMAT);
    EXPECT_TRUE(failed(client->Initialize(1, loopback, kFiveSeconds, 0, mix)));

    // The server converts another float format, and keeps at least five seconds.
    ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, converting, kFiveSeconds / 5, 0, other),
              S_OK);
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, converting, kFiveSeconds, 0, other),
              AUDCLNT_E_ALREADY_INITIALIZED);
    ASSERT_EQ(client->GetBufferSize(&frames), S_OK);
    EXPECT_GE(frames, 5u * 44100u);
    std::unique_ptr<IAudioRenderClient> render;
    EXPECT_EQ(client->GetRenderClient(&render), AUDCLNT_E_WRONG_ENDPOINT_TYPE);

    // Nothing arrives before Start.
    ASSERT_EQ(client->GetCaptureClient(&capture), S_OK);
    uint32_t next = 1;
    EXPECT_EQ(capture->GetNextPacketSize(&next), S_OK);
    EXPECT_EQ(next, 0u);
    uint8_t* data = nullptr;
    uint32_t flags = 0;
    frames = 1;
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_S_BUFFER_EMPTY);
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(capture->ReleaseBuffer(0), S_OK);
    EXPECT_EQ(capture->ReleaseBuffer(10), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(client->Stop(), S_FALSE);
    EXPECT_EQ(client->Start(), S_OK);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(client->Stop(), S_OK);
}

TEST_F(PulseEngineTest, InputEndpointIsCapturedDirectlyAndRefusesLoopback) {
    LoadedModule source(
        {QStringLiteral("module-null-source"), QStringLiteral("source_name=orvanta_mic"),
         QStringLiteral("description=OrvantaMic"), QStringLiteral("format=float32le"),
         QStringLiteral("rate=44100"), QStringLiteral("channels=1")});
    // PipeWire's pulse server has no null source; its null sink makes one when asked.
    LoadedModule pipewireSource(
        source.loaded()
            ? QStringList{}
            : QStringList{QStringLiteral("module-null-sink"),
                          QStringLiteral("sink_name=orvanta_mic"),
                          QStringLiteral("media.class=Audio/Source/Virtual"),
                          QStringLiteral("sink_properties=device.description=OrvantaMic"),
                          QStringLiteral("format=float32le"), QStringLiteral("rate=44100"),
                          QStringLiteral("channels=1")});
    ASSERT_TRUE(source.loaded() || pipewireSource.loaded());
    ASSERT_EQ(pactl({QStringLiteral("set-default-source"), QStringLiteral("orvanta_mic")}).exitCode,
              0);

    std::vector<std::unique_ptr<IMMDevice>> inputs;
    ASSERT_EQ(m_enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &inputs), S_OK);
    EXPECT_TRUE(idsOf(inputs).contains(QStringLiteral("source:orvanta_mic")));
    std::unique_ptr<IMMDevice> mic;
    // PipeWire announces the new default a moment after pactl returns, and may not take it
    // at all while the new node is still being set up: ask again now and then.
    HRESULT found = E_FAIL;
    for (int attempt = 0; attempt < 300 && found != S_OK; ++attempt) {
        if (attempt > 0 && attempt % 20 == 0)
            pactl({QStringLiteral("set-default-source"), QStringLiteral("orvanta_mic")});
        found = m_enumerator->GetDefaultAudioEndpoint(eCapture, eMultimedia, &mic);
        QString current;
        if (found == S_OK &&
            (mic->GetId(&current) != S_OK || current != QStringLiteral("source:orvanta_mic")))
            found = E_FAIL;
        if (found != S_OK)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(found, S_OK);
    QString id;
    QString description;
    QString card;
    int flow = -1;
    EXPECT_EQ(mic->GetId(&id), S_OK);
    EXPECT_EQ(id, QStringLiteral("source:orvanta_mic"));
    EXPECT_EQ(mic->GetDataFlow(&flow), S_OK);
    EXPECT_EQ(flow, eCapture);
    EXPECT_EQ(mic->GetProperty(DeviceProperty::DeviceDescription, &description), S_OK);
    EXPECT_EQ(mic->GetProperty(DeviceProperty::DeviceInterfaceFriendlyName, &card), S_OK);
    EXPECT_EQ(description, QStringLiteral("OrvantaMic"));
    EXPECT_EQ(card, QStringLiteral("OrvantaMic"));

    std::unique_ptr<IAudioClient> client;
    ASSERT_EQ(mic->Activate(&client), S_OK);
    WaveFormatExtensible mix;
    ASSERT_EQ(client->GetMixFormat(&mix), S_OK);
    EXPECT_EQ(mix.Format.nChannels, 1);
    EXPECT_EQ(mix.Format.nSamplesPerSec, 44100u);
    EXPECT_EQ(mix.Format.nBlockAlign, 4);
    EXPECT_EQ(mix.dwChannelMask, 0x4u) << "mono is the centre speaker";
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                 AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
                                 kFiveSeconds, 0, mix),
              AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
                                 kFiveSeconds, 0, mix),
              S_OK);
    std::unique_ptr<IAudioCaptureClient> capture;
    ASSERT_EQ(client->GetCaptureClient(&capture), S_OK);
    ASSERT_EQ(client->Start(), S_OK);
    std::vector<float> samples;
    HRESULT status = S_OK;
    EXPECT_TRUE(waitUntil([&] {
        status = drain(*capture, 1, &samples);
        return status != S_OK || samples.size() >= 4410;
    }));
    EXPECT_EQ(status, S_OK);
}

TEST_F(PulseEngineTest, LoopbackDeliversContinuousSilenceBesideARenderStream) {
    std::unique_ptr<IMMDevice> sink;
    ASSERT_NO_FATAL_FAILURE(device(QStringLiteral("sink:") + testSink(), &sink));

    // The silent render stream, filled as the render thread fills it.
    std::unique_ptr<IAudioClient> player;
    ASSERT_EQ(sink->Activate(&player), S_OK);
    WaveFormatExtensible mix;
    ASSERT_EQ(player->GetMixFormat(&mix), S_OK);
    ASSERT_EQ(player->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, kTwoSeconds, 0, mix), S_OK);
    uint32_t bufferFrames = 0;
    ASSERT_EQ(player->GetBufferSize(&bufferFrames), S_OK);
    // Two seconds were asked for; the sink gets 100 ms of latency (200 ms of buffer, as the
    // server rounds it, PipeWire at times 300 ms) and two requests of a second lie on top.
    EXPECT_GT(bufferFrames, 96000u);
    EXPECT_LE(bufferFrames, 120000u);
    std::unique_ptr<IAudioRenderClient> render;
    std::unique_ptr<IAudioCaptureClient> wrong;
    ASSERT_EQ(player->GetRenderClient(&render), S_OK);
    EXPECT_EQ(player->GetCaptureClient(&wrong), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    uint32_t padding = 1;
    ASSERT_EQ(player->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, 0u);
    uint8_t* data = nullptr;
    EXPECT_EQ(render->GetBuffer(bufferFrames + 1, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    EXPECT_EQ(render->ReleaseBuffer(10, 0), AUDCLNT_E_OUT_OF_ORDER);
    ASSERT_EQ(render->GetBuffer(bufferFrames, &data), S_OK);
    ASSERT_NE(data, nullptr);
    std::memset(data, 0x55, size_t{bufferFrames} * mix.Format.nBlockAlign); // not silence...
    EXPECT_EQ(render->ReleaseBuffer(bufferFrames + 1, 0), AUDCLNT_E_INVALID_SIZE);
    // ...but the silent flag writes zeros whatever the buffer holds.
    ASSERT_EQ(render->ReleaseBuffer(bufferFrames, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
    ASSERT_EQ(player->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, bufferFrames);
    EXPECT_EQ(render->GetBuffer(1, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    uint64_t written = bufferFrames;

    std::unique_ptr<IAudioClient> recorder;
    std::unique_ptr<IAudioCaptureClient> capture;
    ASSERT_NO_FATAL_FAILURE(openLoopback(*sink, &recorder, &capture));
    ASSERT_EQ(player->Start(), S_OK);

    std::vector<float> samples;
    HRESULT status = S_OK;
    uint64_t consumed = 0;
    const auto step = [&] {
        status = drain(*capture, 2, &samples);
        if (status == S_OK) {
            status = player->GetCurrentPadding(&padding);
        }
        const uint32_t room = bufferFrames - padding;
        if (status == S_OK && room > 0 && (status = render->GetBuffer(room, &data)) == S_OK) {
            std::memset(data, 0, size_t{room} * mix.Format.nBlockAlign);
            status = render->ReleaseBuffer(room, 0);
            written += room;
            padding += room;
        }
        consumed = written - padding;
        return status != S_OK;
    };
    ASSERT_TRUE(waitUntil([&] { return step() || samples.size() >= 2 * 24000; }));
    ASSERT_EQ(status, S_OK);
    const uint64_t capturedBefore = samples.size() / 2;
    const uint64_t consumedBefore = consumed;
    ASSERT_TRUE(waitUntil([&] { return step() || samples.size() / 2 >= capturedBefore + 96000; }));
    ASSERT_EQ(status, S_OK);

    // The sink's clock drives both streams: what loopback delivered matches what the sink
    // took from the render stream meanwhile, give or take the requests in flight.
    const double captured = static_cast<double>(samples.size() / 2 - capturedBefore);
    const double played = static_cast<double>(consumed - consumedBefore);
    EXPECT_NEAR(captured, played, 0.1 * played);
    size_t nonZero = 0;
    for (float sample : samples) {
        nonZero += sample != 0.0f;
    }
    EXPECT_EQ(nonZero, 0u) << "loopback of a sink playing silence carried sound";
    EXPECT_EQ(recorder->Stop(), S_OK);
    EXPECT_EQ(player->Stop(), S_OK);
}

TEST_F(PulseEngineTest, LoopbackReturnsAPlayedSignalInOrder) {
    // A seeded pseudo-random signal, never exactly zero, after half a second of silence: the
    // server mixes a new stream in by rewriting what the sink has rendered ahead, and the
    // monitor has already passed on the first few milliseconds of that, so the head of
    // whatever starts playing is lost on the monitor. The silence is what gets lost here.
    constexpr size_t kLead = 24000;
    constexpr size_t kFrames = 12000;
    std::vector<float> signal(kFrames * 2);
    uint32_t seed = 0x2545F491u;
    for (float& sample : signal) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        const float magnitude = 0.01f + 0.49f * static_cast<float>(seed >> 8) / float(1 << 24);
        sample = (seed & 1) ? magnitude : -magnitude;
    }
    std::vector<float> file(kLead * 2, 0.0f);
    file.insert(file.end(), signal.begin(), signal.end());
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("signal.wav"));
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* wav = sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info);
    ASSERT_NE(wav, nullptr) << sf_strerror(nullptr);
    const auto fileFrames = static_cast<sf_count_t>(file.size() / 2);
    EXPECT_EQ(sf_writef_float(wav, file.data(), fileFrames), fileFrames);
    sf_close(wav);
    std::unique_ptr<IMMDevice> sink;
    ASSERT_NO_FATAL_FAILURE(device(QStringLiteral("sink:") + testSink(), &sink));
    std::unique_ptr<IAudioClient> client;
    std::unique_ptr<IAudioCaptureClient> capture;
    ASSERT_NO_FATAL_FAILURE(openLoopback(*sink, &client, &capture));
    std::vector<float> samples;
    HRESULT status = S_OK;
    ASSERT_TRUE(waitUntil([&] {
        status = drain(*capture, 2, &samples);
        return status != S_OK || !samples.empty();
    }));
    ASSERT_EQ(status, S_OK);
    // A player client rather than a sample cached in the server: PipeWire's pulse server of
    // Debian 12 plays a cached sample's tail first and then crashes.
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("--device=") + testSink(), path});
    ASSERT_TRUE(player.waitForStarted(10000)) << player.errorString().toStdString();

    // The first frame that is not silence, and where it lies in the signal.
    constexpr size_t kNone = std::numeric_limits<size_t>::max();
    size_t start = kNone;
    EXPECT_TRUE(waitUntil([&] {
        status = drain(*capture, 2, &samples);
        for (size_t i = 0; start == kNone && i < samples.size(); i += 2) {
            if (samples[i] != 0.0f || samples[i + 1] != 0.0f) {
                start = i;
            }
        }
        return status != S_OK || (start != kNone && samples.size() >= start + 2 * (kFrames + 4800));
    }));
    ASSERT_EQ(status, S_OK);
    ASSERT_TRUE(player.waitForFinished(60000));
    EXPECT_EQ(player.exitCode(), 0) << player.readAllStandardError().toStdString();
    ASSERT_NE(start, kNone) << "the signal never came back";
    size_t offset = kNone;
    for (size_t k = 0; offset == kNone && k < signal.size(); k += 2) {
        if (std::fabs(samples[start] - signal[k]) <= 1e-6f &&
            std::fabs(samples[start + 1] - signal[k + 1]) <= 1e-6f) {
            offset = k;
        }
    }
    ASSERT_NE(offset, kNone) << "what came back is not the signal";
    EXPECT_EQ(offset / 2, 0u) << "the first frames of the signal were lost";

    size_t mismatches = 0;
    for (size_t i = offset; i < signal.size(); ++i) {
        const float got = samples[start + i - offset];
        if (std::fabs(got - signal[i]) > 1e-6f && mismatches++ < 5) {
            ADD_FAILURE() << "sample " << i << ": " << got << " instead of " << signal[i];
        }
    }
    EXPECT_EQ(mismatches, 0u);
    for (size_t i = start + signal.size() - offset; i < samples.size(); ++i) {
        ASSERT_EQ(samples[i], 0.0f) << "something follows the signal at " << i - start;
    }
}

TEST_F(PulseEngineTest, LoopbackDeliversTheChannelsInTheOrderOfTheSpeakerMask) {
    // A sink whose map does not start with the front pair: centre, left, right.
    const QString map = QStringLiteral("front-center,front-left,front-right");
    LoadedModule module({QStringLiteral("module-null-sink"),
                         QStringLiteral("sink_name=orvanta_centre_first"),
                         QStringLiteral("format=float32le"), QStringLiteral("rate=48000"),
                         QStringLiteral("channels=3"), QStringLiteral("channel_map=") + map});
    ASSERT_TRUE(module.loaded());
    std::unique_ptr<IMMDevice> sink;
    ASSERT_TRUE(waitUntil([&] {
        return m_enumerator->GetDevice(QStringLiteral("sink:orvanta_centre_first"), &sink) == S_OK;
    }));
    std::unique_ptr<IAudioClient> client;
    std::unique_ptr<IAudioCaptureClient> capture;
    ASSERT_NO_FATAL_FAILURE(openLoopback(*sink, &client, &capture));
    WaveFormatExtensible mix;
    ASSERT_EQ(client->GetMixFormat(&mix), S_OK);
    ASSERT_EQ(mix.Format.nChannels, 3);
    EXPECT_EQ(mix.dwChannelMask, SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER);

    // A quarter of full scale in the centre only, between half seconds of silence (the head
    // of what starts playing does not reach the monitor), played in the sink's order.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("centre.wav"));
    std::vector<float> file(size_t{3} * 72000, 0.0f);
    for (size_t f = 24000; f < 48000; ++f) {
        file[3 * f] = 0.25f;
    }
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 3;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* wav = sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info);
    ASSERT_NE(wav, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(sf_writef_float(wav, file.data(), 72000), 72000);
    sf_close(wav);
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("--device=orvanta_centre_first"),
                                            QStringLiteral("--channel-map=") + map, path});
    ASSERT_TRUE(player.waitForFinished(60000));
    EXPECT_EQ(player.exitCode(), 0) << player.readAllStandardError().toStdString();

    // In the mask's order the centre is the third channel.
    std::vector<float> samples;
    HRESULT status = S_OK;
    size_t loud = 0;
    EXPECT_TRUE(waitUntil([&] {
        status = drain(*capture, 3, &samples);
        loud = 0;
        for (size_t i = 0; i + 2 < samples.size(); i += 3) {
            EXPECT_NEAR(samples[i], 0.0f, 1e-6f) << "frame " << i / 3;
            EXPECT_NEAR(samples[i + 1], 0.0f, 1e-6f) << "frame " << i / 3;
            loud += std::fabs(samples[i + 2] - 0.25f) < 1e-6f;
            if (::testing::Test::HasFailure()) {
                return true;
            }
        }
        return status != S_OK || loud >= 20000;
    }));
    EXPECT_EQ(status, S_OK);
    EXPECT_GE(loud, 20000u);
    EXPECT_EQ(client->Stop(), S_OK);
}

TEST_F(PulseEngineTest, VanishedSinkInvalidatesItsStreamsWithoutMovingThem) {
    const QString application = QStringLiteral("orvanta-vanish-test");
    ASSERT_NO_FATAL_FAILURE(connect(application));
    LoadedModule module({QStringLiteral("module-null-sink"),
                         QStringLiteral("sink_name=orvanta_vanish"),
                         QStringLiteral("format=float32le"), QStringLiteral("rate=48000"),
                         QStringLiteral("channels=2")});
    ASSERT_TRUE(module.loaded());
    std::unique_ptr<IMMDevice> sink;
    ASSERT_NO_FATAL_FAILURE(device(QStringLiteral("sink:orvanta_vanish"), &sink));
    std::unique_ptr<IAudioClient> client;
    std::unique_ptr<IAudioCaptureClient> capture;
    ASSERT_NO_FATAL_FAILURE(openLoopback(*sink, &client, &capture));
    std::unique_ptr<IAudioClient> player;
    ASSERT_EQ(sink->Activate(&player), S_OK);
    WaveFormatExtensible mix;
    ASSERT_EQ(player->GetMixFormat(&mix), S_OK);
    ASSERT_EQ(player->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, kTwoSeconds, 0, mix), S_OK);
    ASSERT_EQ(player->Start(), S_OK);
    std::unique_ptr<IAudioClient> late;
    ASSERT_EQ(sink->Activate(&late), S_OK);

    std::vector<float> samples;
    HRESULT status = S_OK;
    ASSERT_TRUE(waitUntil([&] {
        status = drain(*capture, 2, &samples);
        return status != S_OK || !samples.empty();
    }));
    ASSERT_EQ(status, S_OK);
    EXPECT_FALSE(listedStreamOf(QStringLiteral("source-outputs"), application).isEmpty());

    module.unload();
    ASSERT_TRUE(waitUntil([&] {
        status = drain(*capture, 2, &samples);
        return status != S_OK;
    }));
    EXPECT_EQ(status, AUDCLNT_E_DEVICE_INVALIDATED);
    uint8_t* data = nullptr;
    uint32_t frames = 0;
    uint32_t flags = 0;
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr),
              AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(capture->ReleaseBuffer(0), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(client->Stop(), AUDCLNT_E_DEVICE_INVALIDATED);
    uint32_t padding = 0;
    EXPECT_TRUE(waitUntil([&] { return player->GetCurrentPadding(&padding) != S_OK; }));
    EXPECT_EQ(player->GetCurrentPadding(&padding), AUDCLNT_E_DEVICE_INVALIDATED);

    // Neither stream went on from another device.
    EXPECT_TRUE(listedStreamOf(QStringLiteral("source-outputs"), application).isEmpty());
    EXPECT_TRUE(listedStreamOf(QStringLiteral("sink-inputs"), application).isEmpty());

    EXPECT_EQ(late->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, kFiveSeconds,
                               0, mix),
              AUDCLNT_E_DEVICE_INVALIDATED);
    uint32_t state = 0;
    EXPECT_EQ(sink->GetState(&state), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(state, DEVICE_STATE_NOTPRESENT);
    std::unique_ptr<IAudioClient> again;
    EXPECT_EQ(sink->Activate(&again), AUDCLNT_E_DEVICE_INVALIDATED);
    std::unique_ptr<IMMDevice> gone;
    EXPECT_EQ(m_enumerator->GetDevice(QStringLiteral("sink:orvanta_vanish"), &gone), E_NOTFOUND);
}

TEST(PulseEngineWithoutServer, ReportsTheServiceAsNotRunning) {
    const QByteArray working = qgetenv("PULSE_SERVER");
    auto engine =
        createPulseEngine(QStringLiteral("orvanta-no-server-test"), std::chrono::milliseconds(300));
    std::unique_ptr<IMMDeviceEnumerator> enumerator;
    {
        EnvironmentOverride server("PULSE_SERVER", "unix:/nonexistent/orvanta/native");
        EXPECT_EQ(engine->CreateEnumerator(&enumerator), AUDCLNT_E_SERVICE_NOT_RUNNING);
        EXPECT_EQ(enumerator, nullptr);
    }

    // A socket that accepts connections but never answers them.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray path = dir.filePath(QStringLiteral("silent")).toLocal8Bit();
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(static_cast<size_t>(path.size()), sizeof(address.sun_path));
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    {
        EnvironmentOverride server("PULSE_SERVER", "unix:" + path);
        EXPECT_EQ(engine->CreateEnumerator(&enumerator), AUDCLNT_E_SERVICE_NOT_RUNNING);
        EXPECT_EQ(enumerator, nullptr);
    }
    ::close(listener);

    // Once a server answers, the same engine connects.
    ASSERT_FALSE(working.isEmpty()) << "PULSE_SERVER is not set: the test command starts a "
                                       "private server with tests/audio/sound-server.sh";
    EXPECT_EQ(engine->CreateEnumerator(&enumerator), S_OK);
}

TEST_F(PulseEngineTest, ObjectsOutliveTheirEngineOnAnyThread) {
    const QString application = QStringLiteral("orvanta-lifetime-test");
    ASSERT_NO_FATAL_FAILURE(connect(application));
    std::unique_ptr<IMMDevice> sink;
    ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &sink), S_OK);
    std::unique_ptr<IAudioClient> client;
    std::unique_ptr<IAudioCaptureClient> capture;
    ASSERT_NO_FATAL_FAILURE(openLoopback(*sink, &client, &capture));
    std::unique_ptr<ISimpleAudioVolume> volume;
    ASSERT_EQ(client->GetSimpleAudioVolume(&volume), S_OK);

    // The stream's own volume, as the server sees it.
    EXPECT_EQ(volume->SetMute(true), S_OK);
    EXPECT_TRUE(listedStreamOf(QStringLiteral("source-outputs"), application)
                    .contains(QStringLiteral("Mute: yes")));
    EXPECT_EQ(volume->SetMute(false), S_OK);
    EXPECT_EQ(volume->SetMasterVolume(1.0f), S_OK);
    EXPECT_EQ(volume->SetMasterVolume(1.5f), E_INVALIDARG);
    EXPECT_EQ(volume->SetMasterVolume(std::nanf("")), E_INVALIDARG);
    EXPECT_TRUE(listedStreamOf(QStringLiteral("source-outputs"), application)
                    .contains(QStringLiteral("Mute: no")));

    m_engine.reset();
    m_enumerator.reset();
    std::thread([&] {
        sink.reset();
        client.reset();
    }).join();
    std::vector<float> samples;
    HRESULT status = S_OK;
    EXPECT_TRUE(waitUntil([&] {
        status = drain(*capture, 2, &samples);
        return status != S_OK || samples.size() >= 2 * 4800;
    }));
    EXPECT_EQ(status, S_OK);
    std::thread([&] {
        volume.reset();
        capture.reset();
    }).join();
    EXPECT_TRUE(listedStreamOf(QStringLiteral("source-outputs"), application).isEmpty());
}

} // namespace
