// The command-line recorder end to end, through the private sound server of the test
// command: what the server plays into the null sink must come back in the file.
#include "support/qtprint.h"
#include "support/recprocess.h"
#include "support/soundfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

constexpr int Rate = 48000;

/// orvanta-rec, run with the given arguments.
class Recorder : public ProgramRun {
public:
    explicit Recorder(const QStringList& args,
                      const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
        : ProgramRun(QStringLiteral(ORVANTA_REC), args, env) {}
};

} // namespace

TEST(OrvantaRec, RecordsWhatTheServerPlaysWithoutGapsOrRepeats) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    // 1 s of silence, 6 s of a seeded pseudo-random signal, 1 s of silence.
    const size_t signalFrames = 6 * Rate;
    const std::vector<int16_t> noise = testSignal(signalFrames, 42);
    std::vector<int16_t> played(static_cast<size_t>(Rate) * 2, 0);
    played.insert(played.end(), noise.begin(), noise.end());
    played.insert(played.end(), static_cast<size_t>(Rate) * 2, 0);
    const QString signalFile = dir.filePath(QStringLiteral("signal.wav"));
    ASSERT_TRUE(writeWav16(signalFile, Rate, 2, played));

    Recorder rec({QStringLiteral("--output"), dir.filePath(QStringLiteral("out")),
                  QStringLiteral("--duration"), QStringLiteral("120")});
    ASSERT_TRUE(rec.waitForError(QStringLiteral("receiving audio"))) << rec.errors().toStdString();

    ASSERT_TRUE(playToTheEnd(signalFile));
    rec.terminate();
    ASSERT_EQ(rec.finish(), 0) << rec.errors().toStdString();

    const QString file = rec.output().trimmed();
    ASSERT_TRUE(QFileInfo::exists(file)) << file.toStdString();
    EXPECT_EQ(QFileInfo(file).absolutePath(), dir.filePath(QStringLiteral("out")));
    const DecodedSound sound = decodeSound(file);
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    ASSERT_EQ(sound.channels, 2);
    ASSERT_EQ(sound.sampleRate, Rate);
    const std::vector<int16_t>& got = sound.samples;

    // Every frame of the signal, in order, none dropped or repeated; the float mix path
    // rounds, so allow one step. Before it the silence arrived as zeros.
    const SignalMatch match = matchPlayedSignal(got, noise, 1);
    ASSERT_TRUE(match.found) << match.problem.toStdString();
    EXPECT_EQ(match.mismatches, 0u) << "first at sample " << match.firstMismatch;
    const size_t offset = match.offset;
    // After the signal, silence again, continuously.
    for (size_t i = offset + noise.size(); i < got.size(); ++i)
        ASSERT_EQ(got[i], 0) << "frame " << (i / 2) << " after the signal";
    // The silence before the signal was recorded too, not skipped.
    EXPECT_GE(offset, 2u * Rate);
}

namespace {} // namespace

TEST(OrvantaRec, RecordsEveryFormat) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::vector<int16_t> music = musicLikeSignal(3 * Rate, Rate);
    std::vector<int16_t> played(static_cast<size_t>(Rate) * 2, 0);
    played.insert(played.end(), music.begin(), music.end());
    played.insert(played.end(), static_cast<size_t>(Rate), 0);
    const QString signalFile = dir.filePath(QStringLiteral("music.wav"));
    ASSERT_TRUE(writeWav16(signalFile, Rate, 2, played));

    for (const QString& format :
         {QStringLiteral("flac"), QStringLiteral("mp3"), QStringLiteral("ogg")}) {
        SCOPED_TRACE(format.toStdString());
        Recorder rec({QStringLiteral("--format"), format, QStringLiteral("--output"),
                      dir.filePath(format), QStringLiteral("--duration"), QStringLiteral("120")});
        ASSERT_TRUE(rec.waitForError(QStringLiteral("receiving audio")))
            << rec.errors().toStdString();
        ASSERT_TRUE(playToTheEnd(signalFile));
        rec.terminate();
        ASSERT_EQ(rec.finish(), 0) << rec.errors().toStdString();
        const QString file = rec.output().trimmed();
        EXPECT_TRUE(file.endsWith(QLatin1Char('.') + format)) << file.toStdString();
        const DecodedSound sound = decodeSound(file);
        ASSERT_TRUE(sound.ok) << file.toStdString() << ": " << sound.error.toStdString();
        ASSERT_EQ(sound.channels, 2);
        ASSERT_EQ(sound.sampleRate, Rate);

        // Find the signal: its first loud frame, then the best lag around it.
        size_t loud = 0;
        while (loud < sound.samples.size() && std::abs(int(sound.samples[loud])) < 3000)
            ++loud;
        ASSERT_LT(loud, sound.samples.size()) << "nothing was recorded";
        size_t signalLoud = 0;
        while (std::abs(int(music[signalLoud])) < 3000)
            ++signalLoud;
        const size_t estimate = (loud - loud % 2 - (signalLoud - signalLoud % 2)) / 2;

        // Piece by piece, each searched from where the last one was: a player that runs dry
        // on a busy machine delays all that follows, which is the server's, not the file's.
        // The timeline itself is checked by the tests above.
        constexpr size_t Piece = Rate / 4;
        size_t lag = estimate > 2400 ? estimate - 2400 : 0;
        size_t mismatches = 0;
        for (size_t at = 0; at + Piece <= music.size() / 2; at += Piece) {
            const std::vector<int16_t> piece(music.begin() + 2 * at,
                                             music.begin() + 2 * (at + Piece));
            double best = at == 0 ? -1 : correlationAt(piece, sound.samples, lag + at);
            size_t bestLag = lag;
            const size_t last = best >= 0.99 ? lag : lag + (at == 0 ? 4800 : Rate / 5);
            for (size_t l = lag; l < last && 2 * (l + at + Piece) <= sound.samples.size(); ++l) {
                const double c = correlationAt(piece, sound.samples, l + at);
                if (c > best) {
                    best = c;
                    bestLag = l;
                }
            }
            ASSERT_GE(best, 0.99) << "the piece at " << at << " frames is not in the file";
            lag = bestLag;
            if (format == QStringLiteral("flac")) {
                // Lossless: every sample within the one step of the float mix path.
                for (size_t i = 0; i < piece.size(); ++i)
                    mismatches +=
                        std::abs(int(sound.samples[2 * (lag + at) + i]) - int(piece[i])) > 1;
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }
}

/// A null sink loaded for one test and unloaded again, also when the test fails.
class NullSink {
public:
    NullSink(const QString& name, const QString& description) {
        m_index = pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                         QStringLiteral("sink_name=") + name,
                         QStringLiteral("sink_properties=device.description=") + description,
                         QStringLiteral("format=float32le"), QStringLiteral("rate=48000"),
                         QStringLiteral("channels=2")});
    }
    ~NullSink() { unload(); }
    NullSink(const NullSink&) = delete;
    NullSink& operator=(const NullSink&) = delete;

    bool loaded() const { return !m_index.isEmpty(); }
    void unload() {
        if (!m_index.isEmpty())
            pactl({QStringLiteral("unload-module"), m_index});
        m_index.clear();
    }

private:
    QString m_index;
};

/// The description the server gives a sink (what device lists show).
QString sinkDescription(const QString& sink) {
    const QStringList lines =
        pactl({QStringLiteral("list"), QStringLiteral("sinks")}).split(QLatin1Char('\n'));
    bool inSink = false;
    for (const QString& line : lines) {
        const QString text = line.trimmed();
        if (text.startsWith(QStringLiteral("Name: ")))
            inSink = text.mid(6) == sink;
        else if (inSink && text.startsWith(QStringLiteral("Description: ")))
            return text.mid(13);
    }
    ADD_FAILURE() << "no sink " << sink.toStdString();
    return {};
}

/// Plays a file into one sink and waits for its end.
bool playInto(const QString& sink, const QString& file) {
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("--device=") + sink, file});
    if (!player.waitForFinished(60000) || player.exitStatus() != QProcess::NormalExit ||
        player.exitCode() != 0) {
        ADD_FAILURE() << "paplay into " << sink.toStdString()
                      << " failed: " << player.readAllStandardError().toStdString();
        return false;
    }
    return true;
}

TEST(OrvantaRec, RecordingFollowsTheDefaultOutputWhenTheRecordedOneGoesAway) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct RestoreDefault {
        ~RestoreDefault() { pactl({QStringLiteral("set-default-sink"), TestSink}); }
    } restoreDefault;
    NullSink first(QStringLiteral("orvanta_first"), QStringLiteral("OrvantaFirst"));
    NullSink second(QStringLiteral("orvanta_second"), QStringLiteral("OrvantaSecond"));
    ASSERT_TRUE(first.loaded() && second.loaded());
    pactl({QStringLiteral("set-default-sink"), QStringLiteral("orvanta_first")});

    // Three different signals, each between silences, one for each output.
    const auto signalFile = [&](const QString& name, const std::vector<int16_t>& signal) {
        std::vector<int16_t> played(static_cast<size_t>(Rate) / 2 * 2, 0);
        played.insert(played.end(), signal.begin(), signal.end());
        played.insert(played.end(), static_cast<size_t>(Rate) / 2 * 2, 0);
        const QString file = dir.filePath(name);
        EXPECT_TRUE(writeWav16(file, Rate, 2, played));
        return file;
    };
    const std::vector<int16_t> before = testSignal(2 * Rate, 7);
    const std::vector<int16_t> after = testSignal(2 * Rate, 8);
    const QString beforeFile = signalFile(QStringLiteral("before.wav"), before);
    const QString afterFile = signalFile(QStringLiteral("after.wav"), after);
    const std::vector<int16_t> last = testSignal(2 * Rate, 9);
    const QString lastFile = signalFile(QStringLiteral("last.wav"), last);

    Recorder rec({QStringLiteral("--output"), dir.filePath(QStringLiteral("out")),
                  QStringLiteral("--duration"), QStringLiteral("120")});
    ASSERT_TRUE(rec.waitForError(QStringLiteral("receiving audio"))) << rec.errors().toStdString();
    ASSERT_TRUE(playInto(QStringLiteral("orvanta_first"), beforeFile));

    // The second output becomes the default, then the first goes away.
    pactl({QStringLiteral("set-default-sink"), QStringLiteral("orvanta_second")});
    ASSERT_TRUE(rec.waitForError(QStringLiteral("Output device changed: OrvantaSecond")))
        << rec.errors().toStdString();
    first.unload();
    ASSERT_TRUE(playInto(QStringLiteral("orvanta_second"), afterFile));

    // The recorded output goes away; the server's own output is the only one left, and
    // becomes the default.
    const QString fallback = sinkDescription(TestSink);
    second.unload();
    ASSERT_TRUE(rec.waitForError(QStringLiteral("Output device changed: OrvantaSecond\n") +
                                 QStringLiteral("Output device changed: ") + fallback))
        << rec.errors().toStdString();
    ASSERT_TRUE(playInto(TestSink, lastFile));
    rec.terminate();
    ASSERT_EQ(rec.finish(), 0) << rec.errors().toStdString();
    EXPECT_FALSE(rec.errors().contains(QStringLiteral("terminated"))) << rec.errors().toStdString();

    const QStringList files = rec.output().trimmed().split(QLatin1Char('\n'));
    ASSERT_EQ(files.size(), 1) << rec.output().toStdString();
    const DecodedSound sound = decodeSound(files.front());
    ASSERT_TRUE(sound.ok) << files.front().toStdString() << ": " << sound.error.toStdString();
    ASSERT_EQ(sound.sampleRate, Rate);
    const SignalMatch one = matchPlayedSignal(sound.samples, before, 1);
    ASSERT_TRUE(one.found) << one.problem.toStdString();
    EXPECT_EQ(one.mismatches, 0u) << "first at " << one.firstMismatch;
    const std::vector<int16_t> rest(sound.samples.begin() +
                                        static_cast<ptrdiff_t>(one.offset + before.size()),
                                    sound.samples.end());
    const SignalMatch two = matchPlayedSignal(rest, after, 1);
    ASSERT_TRUE(two.found) << two.problem.toStdString();
    EXPECT_EQ(two.mismatches, 0u) << "first at " << two.firstMismatch;
    const std::vector<int16_t> tail(
        rest.begin() + static_cast<ptrdiff_t>(two.offset + after.size()), rest.end());
    const SignalMatch three = matchPlayedSignal(tail, last, 1);
    ASSERT_TRUE(three.found) << three.problem.toStdString();
    EXPECT_EQ(three.mismatches, 0u) << "first at " << three.firstMismatch;
}

TEST(OrvantaRec, ClearMessagesForBadInputAndMissingServer) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    {
        Recorder rec({QStringLiteral("--duration"), QStringLiteral("soon")});
        EXPECT_EQ(rec.finish(), 2);
        EXPECT_TRUE(rec.errors().contains(QStringLiteral("--duration")));
    }
    {
        Recorder rec({QStringLiteral("--format"), QStringLiteral("aiff")});
        EXPECT_EQ(rec.finish(), 2);
        EXPECT_TRUE(rec.errors().contains(QStringLiteral("--format")));
    }
    // Each refused before anything is created, even with a valid output folder given.
    const QString out = dir.filePath(QStringLiteral("never"));
    for (const QStringList& bad :
         {QStringList{QStringLiteral("--bitrate"), QStringLiteral("999")},
          QStringList{QStringLiteral("--quality"), QStringLiteral("11")},
          QStringList{QStringLiteral("--level"), QStringLiteral("9")},
          QStringList{QStringLiteral("--threshold-db"), QStringLiteral("6")},
          QStringList{QStringLiteral("--split"), QStringLiteral("0")},
          QStringList{QStringLiteral("--name"), QStringLiteral("a/b")}}) {
        Recorder rec(bad + QStringList{QStringLiteral("--output"), out});
        EXPECT_EQ(rec.finish(), 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(rec.errors().contains(bad.front() + QLatin1Char(':')))
            << rec.errors().toStdString();
        EXPECT_TRUE(rec.output().isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(out));
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"),
                   QStringLiteral("unix:") + dir.filePath(QStringLiteral("no-such-socket")));
        Recorder rec({QStringLiteral("--output"), dir.path()}, env);
        EXPECT_EQ(rec.finish(), 3);
        EXPECT_TRUE(rec.errors().contains(QStringLiteral("no sound server")))
            << rec.errors().toStdString();
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());
}

TEST(OrvantaRec, ListsTheServersEndpointsWithTheDefaultMarked) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    Recorder rec({QStringLiteral("--list-devices")});
    ASSERT_EQ(rec.finish(), 0) << rec.errors().toStdString();
    const QStringList marked =
        rec.output().split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^\\*")));
    ASSERT_EQ(marked.size(), 1) << rec.output().toStdString();
    EXPECT_TRUE(marked.front().contains(QStringLiteral("id: sink:") + TestSink))
        << rec.output().toStdString();
}

TEST(OrvantaRec, RecordsTheNamedDeviceUnderTheNamedTemplate) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Recorder rec({QStringLiteral("--device"), QStringLiteral("sink:") + TestSink,
                  QStringLiteral("--name"), QStringLiteral("cli-NUM"), QStringLiteral("--output"),
                  dir.path(), QStringLiteral("--duration"), QStringLiteral("0:00:01")});
    ASSERT_EQ(rec.finish(), 0) << rec.errors().toStdString();
    EXPECT_TRUE(rec.errors().contains(QStringLiteral("receiving audio")));
    EXPECT_EQ(rec.output().trimmed(), dir.filePath(QStringLiteral("cli-100.wav")));
    const DecodedSound sound = decodeSound(dir.filePath(QStringLiteral("cli-100.wav")));
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    // The duration counts from the start on the wall clock; how much of it the server has
    // delivered by then depends on its start-up, so only ask for some sound.
    EXPECT_FALSE(sound.samples.empty());
}

TEST(OrvantaRec, StartsWhereTheOutputIsAndHoldsTheDurationToTheBlock) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Every frame carries its position: frame / 1024 on the right, the rest times 16 on the
    // left, values the float mix gives back exactly. Two minutes, so that a clock that
    // creeps or a frame lost now and then shows.
    const int seconds = 120;
    std::vector<int16_t> counter;
    for (int i = 0; i < (seconds + 20) * Rate; ++i) {
        counter.push_back(static_cast<int16_t>((i & 1023) * 16));
        counter.push_back(static_cast<int16_t>(i >> 10));
    }
    const QString signalFile = dir.filePath(QStringLiteral("counter.raw"));
    {
        QFile f(signalFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(counter.data()),
                static_cast<qint64>(counter.size() * sizeof(int16_t)));
    }
    const auto firstPosition = [](const std::vector<int16_t>& s) -> int64_t {
        for (size_t i = 0; i + 1 < s.size(); i += 2) {
            if (s[i] != 0 || s[i + 1] != 0)
                return int64_t{s[i + 1]} * 1024 + (s[i] + 8) / 16 - static_cast<int64_t>(i / 2);
        }
        return -1;
    };

    // The player runs before the recorders, with a short buffer of its own. An idle sink
    // may take a while to start it; it says when it has.
    QProcess player;
    player.setProcessChannelMode(QProcess::MergedChannels);
    player.start(QStringLiteral("pacat"),
                 {QStringLiteral("-v"), QStringLiteral("--latency-msec=20"),
                  QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                  QStringLiteral("--rate=48000"), QStringLiteral("--channels=2"), signalFile});
    ASSERT_TRUE(player.waitForStarted());
    QByteArray said;
    while (!said.contains("Stream started") && player.waitForReadyRead(10000))
        said += player.readAll();
    ASSERT_TRUE(said.contains("Stream started")) << said.toStdString();
    QThread::msleep(500);
    const QString refFile = dir.filePath(QStringLiteral("ref.wav"));
    QProcess reference;
    reference.start(QStringLiteral("parecord"),
                    {QStringLiteral("--device=") + pactl({QStringLiteral("get-default-sink")}) +
                         QStringLiteral(".monitor"),
                     QStringLiteral("--file-format=wav"), QStringLiteral("--format=s16le"),
                     QStringLiteral("--rate=48000"), QStringLiteral("--channels=2"), refFile});
    Recorder rec({QStringLiteral("--output"), dir.filePath(QStringLiteral("out")),
                  QStringLiteral("--duration"), QString::number(seconds)});
    ASSERT_EQ(rec.finish((seconds + 60) * 1000), 0) << rec.errors().toStdString();
    reference.terminate();
    reference.waitForFinished();
    player.kill();
    player.waitForFinished();

    const DecodedSound sound = decodeSound(rec.output().trimmed());
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    const DecodedSound ref = decodeSound(refFile);
    ASSERT_TRUE(ref.ok) << ref.error.toStdString();
    // The duration is what the file holds, to the frame (one block either way at most).
    EXPECT_NEAR(static_cast<double>(sound.samples.size() / 2), seconds * Rate, Rate * 30 / 1000);
    // The first frame is what the output played when the recorder started: beside a plain
    // recorder started at the same moment, it comes less than 200 ms later in the signal,
    // plus what this test build takes to start (its sanitizers make that about 100 ms).
    const int64_t ours = firstPosition(sound.samples);
    const int64_t theirs = firstPosition(ref.samples);
    ASSERT_GT(ours, 0);
    ASSERT_GT(theirs, 0);
    EXPECT_LT(ours - theirs, Rate * 3 / 10) << "ours " << ours << ", parecord " << theirs;
    // Every frame follows the one before it: none dropped, repeated or moved. A player that
    // runs dry on a busy machine breaks the signal for both recorders alike.
    const auto breaks = [](const std::vector<int16_t>& s) {
        int count = 0;
        int64_t last = -1;
        for (size_t i = 0; i + 1 < s.size(); i += 2) {
            if (s[i] == 0 && s[i + 1] == 0)
                continue;
            const int64_t offset =
                int64_t{s[i + 1]} * 1024 + (s[i] + 8) / 16 - static_cast<int64_t>(i / 2);
            count += last >= 0 && offset != last;
            last = offset;
        }
        return count;
    };
    EXPECT_LE(breaks(sound.samples), breaks(ref.samples));
}
