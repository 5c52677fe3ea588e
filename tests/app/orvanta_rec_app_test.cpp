// orvanta-rec recording one application: two clients play two tones into the private sound
// server, and the recording of one of them holds only its tone. When that application's
// stream ends and a new one of it starts two seconds later, the same file goes on, with the
// time between kept as silence of its true length.
#include "common/clock.h"
#include "support/qtprint.h"
#include "support/recprocess.h"
#include "support/soundfile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int Rate = 48000;
constexpr double ToneA = 440.0;
constexpr double ToneB = 660.0;
constexpr double ToneA2 = 880.0;

/// `seconds` of a sine at `frequency`, stereo.
QByteArray tone(double frequency, double seconds) {
    QByteArray data;
    const auto frames = static_cast<size_t>(seconds * Rate);
    data.resize(static_cast<qsizetype>(frames * 4));
    auto* s = reinterpret_cast<int16_t*>(data.data());
    for (size_t i = 0; i < frames; ++i)
        s[2 * i] = s[2 * i + 1] =
            static_cast<int16_t>(8000 * std::sin(2 * M_PI * frequency * double(i) / Rate));
    return data;
}

/// A client of the server that plays, as application `name`, a raw file; play() says when
/// its first frame was played (monotonicMs()), or 0.
class Client {
public:
    Client(const QString& name, const QString& file) {
        m_pacat.setReadChannel(QProcess::StandardError);
        m_pacat.start(QStringLiteral("pacat"),
                      {QStringLiteral("-v"), QStringLiteral("--device=") + TestSink,
                       QStringLiteral("--latency-msec=20"), QStringLiteral("--raw"),
                       QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                       QStringLiteral("--channels=2"),
                       QStringLiteral("--property=application.name=") + name, file});
    }
    ~Client() {
        m_pacat.kill();
        m_pacat.waitForFinished(2000);
    }
    double started() {
        QByteArray said;
        while (!said.contains("Stream started") && m_pacat.waitForReadyRead(10000))
            said += m_pacat.readAllStandardError();
        return said.contains("Stream started") ? monotonicMs() : 0;
    }
    bool finish() { return m_pacat.waitForFinished(15000); }

private:
    QProcess m_pacat;
};

/// Writes `seconds` of a sine at `frequency` as raw stereo into `path`.
bool writeTone(const QString& path, double frequency, double seconds) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(tone(frequency, seconds)) > 0;
}

} // namespace

TEST(OrvantaRecApp, RecordsOneApplicationAloneAndWaitsForItsNextStream) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    const bool onPipeWire = qgetenv("ORVANTA_TEST_SERVER") == "pipewire";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    const QString a1 = dir.filePath(QStringLiteral("a1.raw"));
    const QString a2 = dir.filePath(QStringLiteral("a2.raw"));
    const QString b1 = dir.filePath(QStringLiteral("b.raw"));
    ASSERT_TRUE(writeTone(a1, ToneA, 3) && writeTone(a2, ToneA2, 1.5) && writeTone(b1, ToneB, 9));
    Client b(QStringLiteral("Tone B"), b1);
    ASSERT_GT(b.started(), 0);
    Client a(QStringLiteral("Tone A"), a1);
    const double aStarted = a.started();
    ASSERT_GT(aStarted, 0);

    ProgramRun list(QStringLiteral(ORVANTA_REC), {QStringLiteral("--list-apps")});
    ASSERT_EQ(list.finish(), 0) << list.errors().toStdString();
    EXPECT_TRUE(list.output().contains(QStringLiteral("Tone A (pacat")))
        << list.output().toStdString();

    ProgramRun rec(QStringLiteral(ORVANTA_REC),
                   {QStringLiteral("--app"), QStringLiteral("tone a"), QStringLiteral("--output"),
                    dir.path(), QStringLiteral("--name"), QStringLiteral("a")});
    ASSERT_TRUE(rec.waitForError(QStringLiteral("receiving audio"))) << rec.errors().toStdString();
    // A's first stream ends 3 s after it started; another stream of A starts 2 s later.
    ASSERT_TRUE(a.finish());
    QThread::msleep(static_cast<unsigned long>(std::max(0.0, aStarted + 5000 - monotonicMs())));
    Client again(QStringLiteral("Tone A"), a2);
    const double againStarted = again.started();
    ASSERT_GT(againStarted, 0);
    ASSERT_TRUE(again.finish());
    rec.terminate();
    ASSERT_EQ(rec.finish(), 0) << rec.errors().toStdString();
    EXPECT_TRUE(rec.errors().contains(QStringLiteral("Waiting for Tone A")))
        << rec.errors().toStdString();

    const QStringList files = QDir(dir.path()).entryList({QStringLiteral("*.wav")}, QDir::Files);
    ASSERT_EQ(files, QStringList{QStringLiteral("a.wav")}) << rec.output().toStdString();
    const DecodedSound sound = decodeSound(dir.filePath(files[0]));
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    // In 10 ms steps: B's tone nowhere, A's first tone, silence, A's second tone.
    const size_t step = Rate / 100;
    const size_t frames = sound.samples.size() / 2;
    double firstEnd = -1;
    double secondStart = -1;
    double secondEnd = -1;
    int foreign = 0;
    // What the file holds, as runs of "A" (the first tone), "B", "a" (the second tone) and
    // "-" (silence) with the ms they start at.
    QString layout;
    QChar last;
    for (size_t at = 0; at + step <= frames; at += step) {
        const double p[] = {tonePower(sound.samples, at, step, ToneA, Rate),
                            tonePower(sound.samples, at, step, ToneB, Rate),
                            tonePower(sound.samples, at, step, ToneA2, Rate)};
        const int loudest = int(std::max_element(p, p + 3) - p);
        const double next =
            std::max({loudest == 0 ? 0 : p[0], loudest == 1 ? 0 : p[1], loudest == 2 ? 0 : p[2]});
        // A tone that begins or ends a few samples into a step spreads over every frequency,
        // and the step tells nothing ("?"); a tone over the whole step stands out clearly.
        const QChar label = p[loudest] < 1e9         ? QLatin1Char('-')
                            : p[loudest] < 10 * next ? QLatin1Char('?')
                                                     : QLatin1String("ABa")[loudest];
        if (label != last)
            layout += QStringLiteral(" %1@%2").arg(label).arg(double(at) * 1000 / Rate);
        last = label;
        if (label == QLatin1Char('-') || label == QLatin1Char('?'))
            continue;
        if (loudest == 1)
            ++foreign;
        if (loudest == 0 && secondStart < 0)
            firstEnd = double(at + step) * 1000 / Rate;
        else if (loudest == 2 && secondStart < 0)
            secondStart = double(at) * 1000 / Rate;
        if (loudest == 2)
            secondEnd = double(at + step) * 1000 / Rate;
    }
    EXPECT_EQ(foreign, 0) << "another application's sound was recorded:" << layout.toStdString();
    ASSERT_GT(firstEnd, 0) << layout.toStdString();
    ASSERT_GT(secondStart, firstEnd) << rec.errors().toStdString() << layout.toStdString();
    const double gapMs = secondStart - firstEnd;
    const double trueGapMs = againStarted - (aStarted + 3000);
    std::printf("silence between the streams: %.0f ms, true gap %.0f ms; second stream %.0f "
                "of 1500 ms;%s\n",
                gapMs, trueGapMs, secondEnd - secondStart, qPrintable(layout));
    // Nothing of either stream is lost at the change. PipeWire reports no latency, so a new
    // stream's first frame is dated by when it arrives, which may be one graph cycle late
    // (85 ms on the test server).
    EXPECT_GT(gapMs, trueGapMs - 50);
    EXPECT_LT(gapMs, trueGapMs + (onPipeWire ? 110 : 50));
    EXPECT_NEAR(secondEnd - secondStart, 1500, 50);
}
