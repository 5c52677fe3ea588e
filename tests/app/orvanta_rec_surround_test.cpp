// orvanta-rec on a 5.1 output of the private sound server: what plays in the centre channel
// alone (a film's dialogue) must reach both sides of the stereo file at the downmix's level.
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

QString pactl(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    if (!p.waitForFinished(20000) || p.exitCode() != 0) {
        ADD_FAILURE() << "pactl " << args.join(' ').toStdString()
                      << " failed: " << p.readAllStandardError().toStdString();
        return {};
    }
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

/// The 5.1 null sink, made the default output for one test; unloaded again, and the test
/// sink made the default again, also when the test fails.
class SurroundDefault {
public:
    SurroundDefault() {
        m_index =
            pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                   QStringLiteral("sink_name=") + SurroundSink,
                   QStringLiteral("sink_properties=device.description=OrvantaSurround"),
                   QStringLiteral("format=float32le"), QStringLiteral("rate=48000"),
                   QStringLiteral("channels=6"), QStringLiteral("channel_map=") + SurroundMap});
        if (m_index.isEmpty())
            return;
        pactl({QStringLiteral("set-default-sink"), SurroundSink});
        // PipeWire names the new default a moment after pactl returns.
        for (int i = 0; i < 100 && !isDefault(); ++i)
            QThread::msleep(100);
    }
    ~SurroundDefault() {
        pactl({QStringLiteral("set-default-sink"), TestSink});
        if (!m_index.isEmpty())
            pactl({QStringLiteral("unload-module"), m_index});
    }
    SurroundDefault(const SurroundDefault&) = delete;
    SurroundDefault& operator=(const SurroundDefault&) = delete;

    bool isDefault() const {
        QProcess p;
        p.start(QStringLiteral("pactl"), {QStringLiteral("get-default-sink")});
        return p.waitForFinished(20000) && p.exitCode() == 0 &&
               QString::fromUtf8(p.readAllStandardOutput()).trimmed() == SurroundSink;
    }

private:
    QString m_index;
};

} // namespace

TEST(OrvantaRecSurround, CentreChannelReachesBothSidesAtTheDownmixLevel) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SurroundDefault sink;
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
