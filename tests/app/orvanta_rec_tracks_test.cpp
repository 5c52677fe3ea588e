// orvanta-rec following a media player: a fake player on a D-Bus session of the test's own
// announces three tracks while their tones play into the private sound server, and the
// recording becomes one named and tagged file per track, cut where the tones change.
#include "browser/tagaccess.h"
#include "browser/tagbinding.h"
#include "common/clock.h"
#include "support/fakeplayer.h"
#include "support/privatebus.h"
#include "support/qtprint.h"
#include "support/recprocess.h"
#include "support/soundfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr int Rate = 48000;
const double Tones[] = {440.0, 660.0, 990.0};

/// Which of the three tones leads in the given frames (-1: none is there).
int toneAt(const std::vector<int16_t>& s, size_t first, size_t frames) {
    int best = -1;
    double bestPower = 0;
    double total = 0;
    for (int t = 0; t < 3; ++t) {
        const double p = tonePower(s, first, frames, Tones[t], Rate);
        total += p;
        if (p > bestPower) {
            bestPower = p;
            best = t;
        }
    }
    return bestPower > 0.9 * total && bestPower > 1e9 ? best : -1;
}

} // namespace

TEST(OrvantaRecTracks, EachTrackBecomesAFileNamedAndTaggedFromThePlayer) {
    ASSERT_TRUE(soundServerRuns()) << "the test command starts a private sound server";
    const bool onPipeWire = pactl({QStringLiteral("info")}).contains(QStringLiteral("PipeWire"));
    PrivateBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    FakePlayer player(bus.address, QStringLiteral("tones"));
    ASSERT_TRUE(player.appear());
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    TrackInfo tracks[3];
    const char* titles[] = {"One", "Two", "Three"};
    for (int t = 0; t < 3; ++t) {
        tracks[t].trackId = QStringLiteral("/org/tones/track%1").arg(t + 1);
        tracks[t].title = QString::fromLatin1(titles[t]);
        tracks[t].artist = QStringLiteral("Tone Band");
        tracks[t].album = QStringLiteral("Tones");
        tracks[t].trackNumber = t + 1;
        tracks[t].lengthUs = 2500000;
    }

    // The player writes its tones as they are due, 20 ms ahead. Like a player that decodes
    // ahead of what it plays, it announces each track 300 ms before it is heard, and its
    // position tells when that is.
    QProcess tone;
    tone.start(QStringLiteral("pacat"),
               {QStringLiteral("-v"), QStringLiteral("--device=") + TestSink,
                QStringLiteral("--latency-msec=20"), QStringLiteral("--raw"),
                QStringLiteral("--format=s16le"), QStringLiteral("--rate=48000"),
                QStringLiteral("--channels=2")});
    ASSERT_TRUE(tone.waitForStarted());
    // Its clock starts when the server starts the stream, after a little silence.
    tone.setReadChannel(QProcess::StandardError);
    const std::vector<int16_t> lead(static_cast<size_t>(Rate) / 10 * 2, 0);
    tone.write(reinterpret_cast<const char*>(lead.data()), static_cast<qint64>(lead.size() * 2));
    QByteArray said;
    while (!said.contains("Stream started") && tone.waitForReadyRead(10000))
        said += tone.readAllStandardError();
    ASSERT_TRUE(said.contains("Stream started")) << said.toStdString();
    const double t0 = monotonicMs();
    // Track 1 plays for 3 s (the recorder starts within it), the others for 2 s each.
    const size_t ends[] = {static_cast<size_t>(3 * Rate), static_cast<size_t>(5 * Rate),
                           static_cast<size_t>(7 * Rate)};
    // (frames of the player's clock, the lead included)
    // The lead's frames are in the player's buffer, and count: the tones follow them.
    size_t written = lead.size() / 2;
    const size_t firsts[] = {written, ends[0], ends[1]};
    const size_t announceAhead = Rate * 3 / 10;
    int playing = -1;
    const auto pumpUntil = [&](double untilMs, const std::function<bool()>& done = {}) {
        while (monotonicMs() < untilMs && !(done && done())) {
            const auto due = static_cast<size_t>((monotonicMs() - t0 + 20) * Rate / 1000);
            std::vector<int16_t> chunk;
            while (written < due && written < ends[2]) {
                const int t = written < ends[0] ? 0 : written < ends[1] ? 1 : 2;
                if (playing < 2 && written + announceAhead >= firsts[playing + 1]) {
                    ++playing;
                    player.setHeardFrom(t0 + 1000.0 * double(firsts[playing]) / Rate);
                    player.play(tracks[playing]);
                }
                const auto v = static_cast<int16_t>(
                    8000 * std::sin(2 * M_PI * Tones[t] * static_cast<double>(written) / Rate));
                chunk.push_back(v);
                chunk.push_back(v);
                ++written;
            }
            if (!chunk.empty())
                tone.write(reinterpret_cast<const char*>(chunk.data()),
                           static_cast<qint64>(chunk.size() * 2));
            tone.waitForBytesWritten(10);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            QThread::msleep(5);
        }
    };
    pumpUntil(t0 + 300);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address);
    ProgramRun rec(QStringLiteral(ORVANTA_REC),
                   {QStringLiteral("--split-on-track"), QStringLiteral("--output"), dir.path(),
                    QStringLiteral("--name"), QStringLiteral("TRACK - TITLE")},
                   env);
    bool receiving = false;
    pumpUntil(t0 + 2500, [&] {
        return receiving = receiving || rec.hasError(QStringLiteral("receiving audio"));
    });
    ASSERT_TRUE(receiving) << rec.errors().toStdString();
    // Until 1 s into the third track.
    pumpUntil(t0 + 6000);
    rec.terminate();
    // The player plays on while the recorder takes what was played up to its stop.
    pumpUntil(t0 + 7000, [&] { return !rec.running(); });
    ASSERT_EQ(rec.finish(), 0) << rec.errors().toStdString();
    tone.closeWriteChannel();
    tone.waitForFinished(5000);

    const QStringList files = QDir(dir.path()).entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(files,
              (QStringList{QStringLiteral("01 - One (partial).wav"), QStringLiteral("02 - Two.wav"),
                           QStringLiteral("03 - Three (partial).wav")}))
        << rec.output().toStdString() << rec.errors().toStdString();

    TagBinding binding{QStringLiteral(TAGVESSEL_LIBRARY)};
    const TagAccess tags(binding);
    std::vector<int16_t> all;
    std::vector<size_t> starts;
    for (int t = 0; t < 3; ++t) {
        SCOPED_TRACE(files[t].toStdString());
        const QString path = dir.filePath(files[t]);
        const audiotag tag = tags.GetTag(path);
        EXPECT_EQ(tag.title, tracks[t].title);
        EXPECT_EQ(tag.artist, QStringLiteral("Tone Band"));
        EXPECT_EQ(tag.album, QStringLiteral("Tones"));
        EXPECT_EQ(tag.track, QString::number(t + 1));
        const DecodedSound sound = decodeSound(path);
        ASSERT_TRUE(sound.ok) << sound.error.toStdString();
        const size_t frames = sound.samples.size() / 2;
        ASSERT_GT(frames, static_cast<size_t>(Rate / 2));
        // Its own tone in the middle, and on PulseAudio at both ends: the cut fell on the
        // boundary, not 100 ms beside it. PipeWire reports no latency for the way from a
        // player to the monitor (a graph quantum or two, 85 ms each on the test server), so
        // its cuts come that much early; they are measured, not checked.
        EXPECT_EQ(toneAt(sound.samples, frames / 2, Rate / 10), t);
        if (!onPipeWire) {
            EXPECT_EQ(toneAt(sound.samples, 0, Rate / 10), t);
            EXPECT_EQ(toneAt(sound.samples, frames - Rate / 10, Rate / 10), t);
        }
        starts.push_back(all.size() / 2);
        all.insert(all.end(), sound.samples.begin(), sound.samples.end());
    }
    // The cut error at each boundary: where the files meet against where the tones change
    // in the recording, in 1 ms steps.
    for (int t = 1; t < 3; ++t) {
        size_t change = starts[t] - Rate;
        while (change < starts[t] + Rate && toneAt(all, change, Rate / 200) != t)
            change += Rate / 1000;
        const double errorMs = (double(starts[t]) - double(change)) * 1000.0 / Rate;
        std::printf("cut error at the start of track %d: %+.1f ms\n", t + 1, errorMs);
        if (!onPipeWire) {
            EXPECT_LT(std::abs(errorMs), 100.0);
        }
    }
}
