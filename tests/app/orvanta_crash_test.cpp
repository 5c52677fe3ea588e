// The command-line recorder killed while it records, through the private sound server of the
// test command: the next start repairs the file, which then holds all that was played up to
// the last second before the kill, and leaves every other file alone.
#include "recorder/wavcheck.h"
#include "support/qtprint.h"
#include "support/recprocess.h"
#include "support/soundfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

constexpr int Rate = 48000;

/// orvanta-rec with its journal in `state`.
class Recorder : public ProgramRun {
public:
    Recorder(const QStringList& args, const QString& state)
        : ProgramRun(QStringLiteral(ORVANTA_REC), args, environment(state)) {}

private:
    static QProcessEnvironment environment(const QString& state) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_STATE_HOME"), state);
        return env;
    }
};

QStringList journalEntries(const QString& state) {
    return QDir(state + QStringLiteral("/Velmora/Orvanta/recordings"))
        .entryList({QStringLiteral("*.entry")}, QDir::Files, QDir::Name);
}

/// The files of `folder` other than `except`, with their full paths.
QStringList filesIn(const QString& folder, const QString& except = QString()) {
    QStringList files;
    for (const QString& name : QDir(folder).entryList(QDir::Files, QDir::Name)) {
        if (name != except)
            files << QDir(folder).filePath(name);
    }
    return files;
}

/// Checks that a lossy recording holds the whole of `music`: found by correlation around
/// its first loud frame, every frame of it present, and close to what was played.
void expectHoldsMusic(const std::vector<int16_t>& got, const std::vector<int16_t>& music) {
    size_t loud = 0;
    while (loud < got.size() && std::abs(int(got[loud])) < 3000)
        ++loud;
    ASSERT_LT(loud, got.size()) << "nothing was recorded";
    size_t signalLoud = 0;
    while (std::abs(int(music[signalLoud])) < 3000)
        ++signalLoud;
    const size_t loudFrame = loud / 2;
    const size_t signalFrame = signalLoud / 2;
    const size_t estimate = loudFrame > signalFrame ? loudFrame - signalFrame : 0;
    const std::vector<int16_t> head(music.begin(), music.begin() + Rate / 5);
    double best = 0;
    size_t bestLag = 0;
    for (size_t lag = estimate > 2400 ? estimate - 2400 : 0; lag < estimate + 2400; ++lag) {
        const double c = correlationAt(head, got, lag);
        if (c > best) {
            best = c;
            bestLag = lag;
        }
    }
    ASSERT_GE(got.size(), 2 * bestLag + music.size()) << "the signal is cut short";
    EXPECT_GE(correlationAt(music, got, bestLag), 0.99);
}

} // namespace

TEST(OrvantaCrash, AKilledRecordingIsRepairedAtTheNextStartInEveryFormat) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("state"));

    // Half a second of silence, three seconds of signal, half a second of silence. The kill
    // comes two seconds after the player has drained, so the whole signal lies more than a
    // second before it: all of it must survive.
    const std::vector<int16_t> noise = testSignal(3 * Rate, 11);
    const std::vector<int16_t> music = musicLikeSignal(3 * Rate, Rate);
    const auto signalFile = [&](const QString& name, const std::vector<int16_t>& signal) {
        std::vector<int16_t> played(static_cast<size_t>(Rate), 0);
        played.insert(played.end(), signal.begin(), signal.end());
        played.insert(played.end(), static_cast<size_t>(Rate), 0);
        const QString file = dir.filePath(name);
        EXPECT_TRUE(writeWav16(file, Rate, 2, played));
        return file;
    };
    const QString noiseFile = signalFile(QStringLiteral("noise.wav"), noise);
    const QString musicFile = signalFile(QStringLiteral("music.wav"), music);

    for (const QString& format : {QStringLiteral("wav"), QStringLiteral("flac"),
                                  QStringLiteral("mp3"), QStringLiteral("ogg")}) {
        SCOPED_TRACE(format.toStdString());
        const bool lossless = format == QStringLiteral("wav") || format == QStringLiteral("flac");
        const QString out = dir.filePath(format);
        ASSERT_TRUE(QDir().mkpath(out));
        // Another program's unfinished file in the same folder: no entry, so never touched.
        const QString other = out + QStringLiteral("/other.wav");
        ASSERT_TRUE(
            wavcheck::writeFile(other, wavcheck::unfinished(testSignal(Rate / 4, 2), Rate)));
        const QByteArray otherBytes = wavcheck::readFile(other);

        QString killed;
        {
            Recorder rec({QStringLiteral("--format"), format, QStringLiteral("--output"), out,
                          QStringLiteral("--duration"), QStringLiteral("120")},
                         state);
            ASSERT_TRUE(rec.waitForError(QStringLiteral("receiving audio")))
                << rec.errors().toStdString();
            ASSERT_EQ(journalEntries(state).size(), 1);
            ASSERT_TRUE(playToTheEnd(lossless ? noiseFile : musicFile));
            QThread::msleep(2000);
            rec.kill();
            const QStringList files = filesIn(out, QStringLiteral("other.wav"));
            ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
            killed = files.front();
        }
        ASSERT_EQ(journalEntries(state).size(), 1) << "the entry outlives its killed owner";
        // A WAV writer states its sizes once a second of audio; a kill that lands just after
        // that, before the next block, leaves a whole file with nothing to repair.
        const bool mustRepair = format == QStringLiteral("flac") ||
                                (format == QStringLiteral("wav") &&
                                 !wavcheck::sizeProblem(killed).isEmpty());

        // The next start repairs it before it records, and says so.
        Recorder next({QStringLiteral("--output"), dir.filePath(format + QStringLiteral("-next")),
                       QStringLiteral("--duration"), QStringLiteral("1")},
                      state);
        ASSERT_EQ(next.finish(), 0) << next.errors().toStdString();
        const QString told =
            QStringLiteral("orvanta-rec: repaired interrupted recording ") + killed;
        const qsizetype toldAt = next.errors().indexOf(told);
        // FLAC's sample count is only set when a file is finished, so such a file always
        // needs the repair; an MP3 or Ogg file may end on a whole frame or page and then has
        // nothing to repair.
        if (mustRepair) {
            EXPECT_GE(toldAt, 0) << next.errors().toStdString();
        }
        if (toldAt >= 0) {
            EXPECT_LT(toldAt, next.errors().indexOf(QStringLiteral("receiving audio")));
        }
        EXPECT_EQ(next.errors().count(QStringLiteral("repaired")), toldAt >= 0 ? 1 : 0)
            << next.errors().toStdString();
        EXPECT_TRUE(journalEntries(state).isEmpty());
        EXPECT_EQ(wavcheck::readFile(other), otherBytes);

        if (format == QStringLiteral("wav")) {
            EXPECT_EQ(wavcheck::sizeProblem(killed), QString());
        }
        const DecodedSound sound = decodeSound(killed);
        ASSERT_TRUE(sound.ok) << killed.toStdString() << ": " << sound.error.toStdString();
        ASSERT_EQ(sound.channels, 2);
        ASSERT_EQ(sound.sampleRate, Rate);
        if (lossless) {
            const SignalMatch match = matchPlayedSignal(sound.samples, noise, 1);
            ASSERT_TRUE(match.found) << match.problem.toStdString();
            EXPECT_EQ(match.mismatches, 0u) << "first at sample " << match.firstMismatch;
            // What follows the signal is the silence after it, nothing torn or repeated.
            for (size_t i = match.offset + noise.size(); i < sound.samples.size(); ++i)
                ASSERT_EQ(sound.samples[i], 0) << "frame " << (i / 2) << " after the signal";
        } else {
            expectHoldsMusic(sound.samples, music);
        }
    }
}

TEST(OrvantaCrash, AFileBeingRecordedIsLeftAloneByAnotherStart) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("state"));
    const QString liveFolder = dir.filePath(QStringLiteral("live"));

    Recorder live({QStringLiteral("--output"), liveFolder, QStringLiteral("--duration"),
                   QStringLiteral("120")},
                  state);
    ASSERT_TRUE(live.waitForError(QStringLiteral("receiving audio")))
        << live.errors().toStdString();
    const QStringList entries = journalEntries(state);
    ASSERT_EQ(entries.size(), 1);
    const QStringList files = filesIn(liveFolder);
    ASSERT_EQ(files.size(), 1);
    const QString file = files.front();

    Recorder third({QStringLiteral("--output"), dir.filePath(QStringLiteral("third")),
                    QStringLiteral("--duration"), QStringLiteral("1")},
                   state);
    ASSERT_EQ(third.finish(), 0) << third.errors().toStdString();
    EXPECT_FALSE(third.errors().contains(QStringLiteral("repair"))) << third.errors().toStdString();
    EXPECT_EQ(journalEntries(state), entries);

    // The live recording goes on writing its file (hang guard: 30 s).
    const qint64 sizeAfterThird = QFileInfo(file).size();
    QElapsedTimer guard;
    guard.start();
    while (QFileInfo(file).size() <= sizeAfterThird && guard.elapsed() < 30000)
        QThread::msleep(50);
    EXPECT_GT(QFileInfo(file).size(), sizeAfterThird);

    live.terminate();
    ASSERT_EQ(live.finish(), 0) << live.errors().toStdString();
    EXPECT_TRUE(journalEntries(state).isEmpty());
    EXPECT_EQ(wavcheck::sizeProblem(file), QString());
    const DecodedSound sound = decodeSound(file);
    EXPECT_TRUE(sound.ok) << sound.error.toStdString();
}
