// orvanta-rec on other outputs of the private sound server: what plays in the centre channel
// alone of a 5.1 output (a film's dialogue) must reach both sides of the stereo file at the
// downmix's level, and a change of the default output keeps the recording's timeline.
#include "support/qtprint.h"
#include "support/recprocess.h"
#include "support/soundfile.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

constexpr int Rate = 48000;
const QString SurroundSink = QStringLiteral("orvanta_surround");
const QString SurroundMap =
    QStringLiteral("front-left,front-right,front-center,lfe,rear-left,rear-right");

/// A null sink loaded for one test (made the default output when asked); unloaded again,
/// and the test sink made the default again, also when the test fails.
class ExtraSink {
public:
    ExtraSink(const QString& name, const QString& description, int channels, const QString& map,
              bool makeDefault)
        : m_name(name) {
        QStringList args = {QStringLiteral("load-module"),
                            QStringLiteral("module-null-sink"),
                            QStringLiteral("sink_name=") + name,
                            QStringLiteral("sink_properties=device.description=") + description,
                            QStringLiteral("format=float32le"),
                            QStringLiteral("rate=48000"),
                            QStringLiteral("channels=%1").arg(channels)};
        if (!map.isEmpty())
            args << QStringLiteral("channel_map=") + map;
        m_index = pactl(args);
        if (!m_index.isEmpty() && makeDefault)
            setDefault(name);
    }
    ~ExtraSink() {
        setDefault(TestSink);
        if (!m_index.isEmpty())
            pactl({QStringLiteral("unload-module"), m_index});
    }
    ExtraSink(const ExtraSink&) = delete;
    ExtraSink& operator=(const ExtraSink&) = delete;

    bool loaded() const { return !m_index.isEmpty(); }
    bool isDefault() const { return defaultSink() == m_name; }

    static QString defaultSink() {
        QProcess p;
        p.start(QStringLiteral("pactl"), {QStringLiteral("get-default-sink")});
        return p.waitForFinished(20000) && p.exitCode() == 0
                   ? QString::fromUtf8(p.readAllStandardOutput()).trimmed()
                   : QString();
    }
    static void setDefault(const QString& sink) {
        pactl({QStringLiteral("set-default-sink"), sink});
        // PipeWire names the new default a moment after pactl returns.
        for (int i = 0; i < 100 && defaultSink() != sink; ++i)
            QThread::msleep(100);
    }

private:
    QString m_name;
    QString m_index;
};

/// `seconds` of a sine of `hz` at half scale, stereo.
std::vector<int16_t> tone(double hz, int seconds) {
    std::vector<int16_t> samples(size_t{2} * Rate * seconds);
    for (size_t f = 0; f < samples.size() / 2; ++f)
        samples[2 * f] = samples[2 * f + 1] = static_cast<int16_t>(
            std::lround(16384.0 * std::sin(2.0 * M_PI * hz * double(f) / Rate)));
    return samples;
}

/// The power of `hz` in `n` frames of the left channel from frame `at` (Goertzel).
double powerAt(const std::vector<int16_t>& samples, size_t at, size_t n, double hz) {
    const double k = 2.0 * std::cos(2.0 * M_PI * hz / Rate);
    double s1 = 0;
    double s2 = 0;
    for (size_t f = at; f < at + n; ++f) {
        const double s0 = samples[2 * f] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return (s1 * s1 + s2 * s2 - k * s1 * s2) / double(n * n);
}

} // namespace

TEST(OrvantaRecSurround, CentreChannelReachesBothSidesAtTheDownmixLevel) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ExtraSink sink(SurroundSink, QStringLiteral("OrvantaSurround"), 6, SurroundMap, true);
    ASSERT_TRUE(sink.isDefault());

    // Half a second of silence, two seconds of a 500 Hz tone at half scale in the centre
    // channel only, half a second of silence; played with the sink's own channel map, so
    // the server mixes nothing.
    constexpr size_t Lead = Rate / 2;
    constexpr size_t Tone = 2 * Rate;
    std::vector<int16_t> played(size_t{6} * (Lead + Tone + Lead), 0);
    for (size_t f = 0; f < Tone; ++f)
        played[6 * (Lead + f) + 2] = static_cast<int16_t>(
            std::lround(16384.0 * std::sin(2.0 * M_PI * 500.0 * double(f) / Rate)));
    const QString signalFile = dir.filePath(QStringLiteral("centre.wav"));
    ASSERT_TRUE(writeWav16(signalFile, Rate, 6, played));

    ProgramRun rec(QStringLiteral(ORVANTA_REC),
                   {QStringLiteral("--output"), dir.filePath(QStringLiteral("out")),
                    QStringLiteral("--duration"), QStringLiteral("120")});
    ASSERT_TRUE(rec.waitForError(QStringLiteral("receiving audio"))) << rec.errors().toStdString();
    QProcess player;
    player.start(QStringLiteral("paplay"),
                 {QStringLiteral("--device=") + SurroundSink,
                  QStringLiteral("--channel-map=") + SurroundMap, signalFile});
    ASSERT_TRUE(player.waitForFinished(60000) && player.exitStatus() == QProcess::NormalExit &&
                player.exitCode() == 0)
        << player.readAllStandardError().toStdString();
    rec.terminate();
    ASSERT_EQ(rec.finish(), 0) << rec.errors().toStdString();

    const DecodedSound sound = decodeSound(rec.output().trimmed());
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    ASSERT_EQ(sound.channels, 2);
    ASSERT_EQ(sound.sampleRate, Rate);

    // The centre at -3 dB, normalised by the weights of one side: front 1, centre 0.7071,
    // LFE 0.5, rear 0.7071. Half scale therefore peaks at about 3975.
    const double peak = 0.5 * 0.70710678 / (1.0 + 0.70710678 + 0.5 + 0.70710678) * 32767.0;
    int highest = 0;
    size_t toneFrames = 0;
    size_t unequal = 0;
    for (size_t f = 0; f + 1 < sound.samples.size(); f += 2) {
        const int left = sound.samples[f];
        const int right = sound.samples[f + 1];
        highest = std::max({highest, std::abs(left), std::abs(right)});
        toneFrames += std::abs(left) > peak / 2;
        unequal += std::abs(left - right) > 1;
    }
    EXPECT_NEAR(highest, peak, peak * 0.01) << "the centre channel came back at another level";
    EXPECT_EQ(unequal, 0u) << "the centre channel is not in the middle";
    // A third of each period lies above half the peak: the whole tone came back.
    EXPECT_GE(toneFrames, Tone / 3 - Rate / 50);
}

TEST(OrvantaRecSurround, ADefaultOutputChangeGoesOnWithoutAHole) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString other = QStringLiteral("orvanta_other");
    ExtraSink sink(other, QStringLiteral("OrvantaOther"), 2, QString(), false);
    ASSERT_TRUE(sink.loaded());

    // A tone on each output for the whole run: the low one's player follows the default
    // output (the server moves it along), the high one's stays on the other output.
    const QString low = dir.filePath(QStringLiteral("low.wav"));
    const QString high = dir.filePath(QStringLiteral("high.wav"));
    ASSERT_TRUE(writeWav16(low, Rate, 2, tone(440, 20)));
    ASSERT_TRUE(writeWav16(high, Rate, 2, tone(1000, 20)));
    QProcess lowPlayer;
    QProcess highPlayer;
    lowPlayer.start(QStringLiteral("paplay"), {QStringLiteral("--latency-msec=20"), low});
    highPlayer.start(QStringLiteral("paplay"), {QStringLiteral("--device=") + other,
                                                QStringLiteral("--latency-msec=20"), high});
    ASSERT_TRUE(lowPlayer.waitForStarted() && highPlayer.waitForStarted());
    QThread::msleep(500);

    ProgramRun rec(QStringLiteral(ORVANTA_REC),
                   {QStringLiteral("--format"), QStringLiteral("wav"), QStringLiteral("--output"),
                    dir.filePath(QStringLiteral("out")), QStringLiteral("--duration"),
                    QStringLiteral("4")});
    ASSERT_TRUE(rec.waitForError(QStringLiteral("receiving audio"))) << rec.errors().toStdString();
    QThread::msleep(1500);
    ExtraSink::setDefault(other);
    ASSERT_EQ(rec.finish(), 0) << rec.errors().toStdString();
    lowPlayer.kill();
    highPlayer.kill();
    lowPlayer.waitForFinished();
    highPlayer.waitForFinished();
    EXPECT_TRUE(rec.errors().contains(QStringLiteral("OrvantaOther")))
        << rec.errors().toStdString();

    const DecodedSound sound = decodeSound(rec.output().trimmed());
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    ASSERT_EQ(sound.channels, 2);
    const size_t frames = sound.samples.size() / 2;
    EXPECT_NEAR(double(frames), 4.0 * Rate, Rate / 20.0);

    // In each 5 ms of the file: the low tone from the start to the end, but for the moment
    // its player takes to move, and the high one from the change on.
    constexpr size_t Window = Rate / 200;
    constexpr double Heard = 1e6;
    size_t firstHigh = frames;
    size_t holesInLow = 0;
    size_t holesInHigh = 0;
    for (size_t at = 0; at + Window <= frames; at += Window) {
        const bool low = powerAt(sound.samples, at, Window, 440) > Heard;
        const bool high = powerAt(sound.samples, at, Window, 1000) > Heard;
        if (high && firstHigh == frames)
            firstHigh = at;
        holesInLow += !low;
        holesInHigh += !high && firstHigh < frames;
    }
    ASSERT_LT(firstHigh, frames) << "the new output's tone is missing";
    EXPECT_GT(firstHigh, size_t{Rate}) << "the old output's tone is missing";
    const bool pipewire = pactl({QStringLiteral("info")}).contains(QStringLiteral("PipeWire"));
    // Both servers may drop a few ms of an output's monitor as streams join it (the moved
    // player, the silent stream that follows the default). PipeWire also pauses the old
    // output's monitor as the default changes, and a new record stream begins a quantum
    // (85 ms) late.
    EXPECT_LE(double(holesInHigh * Window) * 1000.0 / Rate, pipewire ? 100.0 : 50.0);
    EXPECT_LE(double(holesInLow * Window) * 1000.0 / Rate, pipewire ? 300.0 : 100.0);
}
