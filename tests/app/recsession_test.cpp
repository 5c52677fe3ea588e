// One run of the command-line recorder over the simulated engine with a hand-moved clock:
// VOX, split by time, duration, endpoint choice and the settings file, without a server.
#include "app/recsession.h"
#include "support/eventloop.h"
#include "support/fakemessages.h"
#include "support/filesizelimit.h"
#include "support/qtprint.h"
#include "support/soundfile.h"

#include "platform/audio/sim/simengine.h"
#include "recorder/recorder.h"
#include "settings/config.h"
#include "settings/settingsfile.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

using namespace audio;

namespace {

constexpr uint32_t Rate = 48000;
// 50 ms: the capture thread hands on a block for every 9600 bytes of 16-bit stereo.
constexpr uint32_t PacketFrames = 2400;

SimEndpoint endpoint(const QString& id, int flow, const QString& card, const QString& name) {
    SimEndpoint e;
    e.id = id;
    e.dataFlow = flow;
    e.cardName = card;
    e.endpointName = name;
    e.mixFormat = SimEngine::floatFormat(Rate, 2);
    return e;
}

class RecSessionTest : public ::testing::Test {
protected:
    RecSessionTest() {
        engine.addEndpoint(endpoint("sink:a", eRender, "Card A", "Speakers"));
        engine.addEndpoint(endpoint("sink:b", eRender, "Card B", "Headphones"));
        engine.addEndpoint(endpoint("source:mic", eCapture, "Card B", "Microphone"));
        engine.addEndpoint(endpoint("sink:c", eRender, "Card C", "Speakers"));
        engine.setDefaultEndpoint(eRender, "sink:a");
        out = dir.filePath("out");
    }
    ~RecSessionTest() override { session.reset(); }

    /// Prepares `config` from the arguments and starts a run; the start's result.
    int start(QStringList args) {
        args << "--output" << out;
        const RecParseResult parsed = parseRecOptions(args);
        EXPECT_EQ(parsed.action, RecParseResult::Action::Record) << parsed.text.toStdString();
        options = parsed.options;
        EXPECT_TRUE(prepareRecConfig(options, config).isEmpty());
        session = std::make_unique<RecSession>(
            engine, clock,
            RecSession::Callbacks{
                .receiving = [this] { ++receiving; },
                .fileClosed = [this](const QString& f) { closed << QFileInfo(f).fileName(); },
                .error = [this](const QString& t) { errors << t; },
                .finished = [this](int code) { finishedCodes.push_back(code); },
                .deviceChanged = [this](const QString& name) { deviceChanges << name; },
                .notice = {}});
        return session->start(options);
    }

    /// Delivers one packet of a constant level on `id` and waits until the run handled it.
    void feed(float level, const QString& id = "sink:a") {
        const uint64_t before = session->bytesReceived();
        engine.queuePacket(id,
                           SimEngine::floatPacket(std::vector<float>(PacketFrames * 2, level), 2));
        ASSERT_TRUE(
            processUntil([&] { return session->bytesReceived() >= before + PacketFrames * 4; }));
    }
    /// One packet, then the clock moves on.
    void feedFor(float level, int seconds) {
        feed(level);
        clock.advanceMs(seconds * 1000);
    }
    void stop(const QString& id = "sink:a") {
        session->requestStop();
        if (!session->isFinished())
            feed(0.0f, id);
        ASSERT_TRUE(processUntil([&] { return session->isFinished(); }));
    }
    QStringList filesOnDisk() const { return QDir(out).entryList(QDir::Files, QDir::Name); }

    FakeMessages messages;
    QTemporaryDir dir;
    QString out;
    SimEngine engine;
    ManualClock clock;
    RecOptions options;
    std::unique_ptr<RecSession> session;
    int receiving = 0;
    QStringList closed;
    QStringList errors;
    QStringList deviceChanges;
    std::vector<int> finishedCodes;
};

TEST_F(RecSessionTest, PlainRecordingStopsCleanlyAndReportsItsFile) {
    ASSERT_EQ(start({"--name", "plain-NUM"}), -1) << errors.join('\n').toStdString();
    for (int i = 0; i < 5; ++i)
        feed(0.25f);
    EXPECT_EQ(receiving, 1);
    stop();
    EXPECT_EQ(session->exitCode(), RecExitOk);
    EXPECT_EQ(finishedCodes, std::vector<int>{RecExitOk});
    ASSERT_EQ(closed, QStringList{"plain-100.wav"});
    EXPECT_EQ(filesOnDisk(), closed);
    const DecodedSound sound = decodeSound(QDir(out).filePath(closed.front()));
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    EXPECT_GE(sound.samples.size(), 5u * PacketFrames * 2);
    EXPECT_EQ(sound.samples.front(), 8192);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
}

TEST_F(RecSessionTest, VoxOpensAFileForEachSoundAndDeletesShortOnes) {
    ASSERT_EQ(start({"--vox", "--silence", "2", "--min-length", "3", "--name", "take-NUM",
                     "--threshold-db", "-20"}),
              -1)
        << errors.join('\n').toStdString();
    // Quiet, below the threshold: nothing opens.
    feedFor(0.01f, 5);
    EXPECT_TRUE(filesOnDisk().isEmpty());
    // Six seconds of sound, then silence: a file that is kept.
    for (int i = 0; i < 6; ++i)
        feedFor(0.5f, 1);
    feedFor(0.0f, 3);
    feedFor(0.0f, 1);
    EXPECT_EQ(closed, QStringList{"take-100.wav"});
    // A one-second blip: closed by the silence, then deleted as too short; its number is
    // given again to the next file.
    feedFor(0.5f, 1);
    feedFor(0.0f, 3);
    feedFor(0.0f, 1);
    EXPECT_EQ(closed, QStringList{"take-100.wav"});
    EXPECT_EQ(filesOnDisk(), QStringList{"take-100.wav"});
    // Sound again when the run is stopped: that file is kept.
    for (int i = 0; i < 5; ++i)
        feedFor(0.5f, 1);
    stop();
    EXPECT_EQ(session->exitCode(), RecExitOk);
    EXPECT_EQ(closed, (QStringList{"take-100.wav", "take-101.wav"}));
    EXPECT_EQ(filesOnDisk(), closed);
}

TEST_F(RecSessionTest, VoxStoppedWhileListeningEndsAtOnce) {
    ASSERT_EQ(start({"--vox"}), -1);
    feed(0.0f);
    session->requestStop();
    EXPECT_TRUE(session->isFinished());
    EXPECT_EQ(session->exitCode(), RecExitOk);
    EXPECT_TRUE(closed.isEmpty());
    EXPECT_TRUE(filesOnDisk().isEmpty());
}

TEST_F(RecSessionTest, SplitByTimeContinuesInNewFiles) {
    ASSERT_EQ(start({"--split", "10", "--name", "part-NUM", "--format", "flac"}), -1)
        << errors.join('\n').toStdString();
    // Blocks at 0, 4, 8, 12 (split), 16, 20, 24 (split), 28.
    for (int i = 0; i < 8; ++i)
        feedFor(0.25f, 4);
    stop();
    EXPECT_EQ(session->exitCode(), RecExitOk);
    EXPECT_EQ(closed, (QStringList{"part-100.flac", "part-101.flac", "part-102.flac"}));
    EXPECT_EQ(filesOnDisk(), closed);
    for (const QString& f : closed) {
        const DecodedSound sound = decodeSound(QDir(out).filePath(f));
        EXPECT_TRUE(sound.ok) << f.toStdString() << ": " << sound.error.toStdString();
        EXPECT_GE(sound.samples.size(), 2u * PacketFrames * 2) << f.toStdString();
    }
}

TEST_F(RecSessionTest, DurationIsCountedInFramesAndTheClockOnlyEndsAStalledCapture) {
    ASSERT_EQ(start({"--duration", "0:01"}), -1);
    // However late the audio arrives, the file holds one second of it, to the frame.
    feedFor(0.25f, 2);
    for (uint32_t i = 2; i < Rate / PacketFrames; ++i)
        feed(0.25f);
    EXPECT_FALSE(session->isFinished());
    feed(0.5f);
    ASSERT_TRUE(processUntil([&] { return session->isFinished(); }));
    EXPECT_EQ(session->exitCode(), RecExitOk);
    ASSERT_EQ(closed.size(), 1);
    EXPECT_EQ(filesOnDisk(), closed);
    const DecodedSound sound = decodeSound(QDir(out).filePath(closed.front()));
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    EXPECT_EQ(sound.samples.size(), size_t{Rate} * 2);
    EXPECT_EQ(sound.samples.back(), 16384);
    session.reset();

    // A capture that delivers nothing more is ended by the clock, with what it gave.
    closed.clear();
    ASSERT_EQ(start({"--duration", "0:01"}), -1);
    feed(0.25f);
    clock.advanceMs(3000);
    session->tick();
    ASSERT_TRUE(processUntil([&] { return session->isFinished(); }));
    EXPECT_EQ(session->exitCode(), RecExitOk);
    EXPECT_EQ(closed.size(), 1);
}

TEST_F(RecSessionTest, DeviceIsChosenByNameOrId) {
    ASSERT_EQ(start({"--device", "headphones"}), -1) << errors.join('\n').toStdString();
    feed(0.25f, "sink:b");
    const std::vector<SimStream> streams = engine.streams();
    ASSERT_FALSE(streams.empty());
    EXPECT_EQ(streams.front().endpoint, QStringLiteral("sink:b"));
    stop("sink:b");
    EXPECT_EQ(closed.size(), 1);
}

TEST_F(RecSessionTest, DeviceListMarksTheDefaultOutput) {
    session = std::make_unique<RecSession>(engine, clock, RecSession::Callbacks{});
    int code = -1;
    const QStringList lines = session->deviceList(&code).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(code, RecExitOk);
    ASSERT_EQ(lines.size(), 4);
    int marked = 0;
    for (const QString& line : lines) {
        if (line.startsWith('*')) {
            ++marked;
            EXPECT_TRUE(line.contains("Speakers (output, 48000 Hz, 2 ch) on Card A"));
            EXPECT_TRUE(line.contains("id: sink:a"));
        }
    }
    EXPECT_EQ(marked, 1);
    EXPECT_TRUE(lines.join('\n').contains("Microphone (input"));
}

TEST_F(RecSessionTest, UnknownOrAmbiguousDeviceCreatesNothing) {
    for (const char* name : {"Nonesuch", "Speakers"}) {
        SCOPED_TRACE(name);
        errors.clear();
        EXPECT_EQ(start({"--device", name}), RecExitNoDevice);
        ASSERT_EQ(errors.size(), 1);
        EXPECT_TRUE(errors.front().contains("--device")) << errors.front().toStdString();
        EXPECT_FALSE(QFileInfo::exists(out));
    }
    // An id tells two endpoints of one name apart.
    EXPECT_EQ(start({"--device", "sink:c"}), -1) << errors.join('\n').toStdString();
}

TEST_F(RecSessionTest, NoServerGivesItsExitStatusAndCreatesNothing) {
    engine.failAt(SimCall::CreateEnumerator, AUDCLNT_E_SERVICE_NOT_RUNNING);
    EXPECT_EQ(start({}), RecExitNoServer);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors.front().contains("no sound server"));
    EXPECT_FALSE(QFileInfo::exists(out));
}

// A file that cannot be finished (the disk fills up at its end) is reported and fails the run.
TEST_F(RecSessionTest, AFileThatCannotBeFinishedFailsTheRun) {
    const int rc = runWithFileSizeLimit(44 + 19200 + 1000, [&] {
        if (start({}) != -1)
            return 10;
        feed(0.25f);
        feed(0.25f); // the first 100 ms are written
        // Stopped 150 ms after the start: the stop waits for the block still owed, which
        // stays to be finished.
        clock.advanceMs(150);
        stop();
        if (closed.size() != 1)
            return 11;
        if (messages.shown.size() != 1 ||
            !messages.shown[0].text.contains(QStringLiteral("Could not finish the audio file")))
            return 12;
        return session->exitCode();
    });
    EXPECT_EQ(rc, RecExitFailure);
}

// A full disk before any audio fits: no empty file is left or reported, the message says
// why (once, not at every block of the sound), and the VOX run that wrote nothing fails.
TEST_F(RecSessionTest, AFileThatGotNoAudioIsRemovedAndFailsAVoxRun) {
    const int rc = runWithFileSizeLimit(44, [&] {
        if (start({"--vox", "--name", "take"}) != -1)
            return 10;
        feedFor(0.5f, 1);
        feedFor(0.5f, 1); // the first 100 ms are refused
        // The same sound goes on: no new file, and no message, at every block.
        feedFor(0.5f, 1);
        feedFor(0.5f, 1);
        if (!closed.isEmpty() || !filesOnDisk().isEmpty())
            return 11;
        if (messages.shown.size() != 1 ||
            !messages.shown[0].text.contains(QString::fromLocal8Bit(std::strerror(EFBIG))) ||
            !messages.shown[0].text.contains(QStringLiteral("removed")))
            return 12;
        stop();
        return session->exitCode();
    });
    EXPECT_EQ(rc, RecExitFailure);
}

TEST_F(RecSessionTest, CaptureLossKeepsTheFileAndFails) {
    ASSERT_EQ(start({}), -1);
    feed(0.25f);
    feed(0.25f);
    engine.failAt(SimCall::GetNextPacketSize, AUDCLNT_E_DEVICE_INVALIDATED);
    ASSERT_TRUE(processUntil([&] { return session->isFinished(); }));
    EXPECT_EQ(session->exitCode(), RecExitFailure);
    ASSERT_EQ(closed.size(), 1);
    EXPECT_TRUE(decodeSound(QDir(out).filePath(closed.front())).ok);
    EXPECT_TRUE(errors.join('\n').contains("capture ended")) << errors.join('\n').toStdString();
}

TEST_F(RecSessionTest, OutputChangesAndRemovalsContinueTheSameFileWithTheGapAsSilence) {
    ASSERT_EQ(start({"--name", "show-NUM"}), -1) << errors.join('\n').toStdString();
    uint64_t expectedBytes = 0;
    // Queues one packet and waits until it and everything before it has been received.
    const auto feedExactly = [&](float level, const QString& id, uint64_t silentFrames) {
        expectedBytes += (silentFrames + PacketFrames) * 4;
        engine.queuePacket(id,
                           SimEngine::floatPacket(std::vector<float>(PacketFrames * 2, level), 2));
        ASSERT_TRUE(processUntil([&] { return session->bytesReceived() >= expectedBytes; }));
        EXPECT_EQ(session->bytesReceived(), expectedBytes);
    };
    feedExactly(0.25f, "sink:a", 0);
    feedExactly(0.25f, "sink:a", 0);
    // The default changes; the change is seen once the clock has moved a second.
    engine.setDefaultEndpoint(eRender, "sink:b");
    clock.advanceMs(2000);
    feedExactly(0.5f, "sink:b", 2 * Rate);
    // The headphones go away; the third output is the default by then. Less than a second
    // passes, so the removal is what makes the switch.
    clock.advanceMs(700);
    engine.setDefaultEndpoint(eRender, "sink:c");
    engine.failAt(SimCall::GetNextPacketSize, AUDCLNT_E_DEVICE_INVALIDATED, 0, -1, "sink:b");
    feedExactly(0.75f, "sink:c", Rate * 7 / 10);
    stop("sink:c");

    EXPECT_EQ(session->exitCode(), RecExitOk);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_EQ(deviceChanges, QStringList({"Headphones", "Speakers"}));
    ASSERT_EQ(closed, QStringList{"show-100.wav"});
    EXPECT_EQ(filesOnDisk(), closed);
    const DecodedSound sound = decodeSound(QDir(out).filePath(closed.front()));
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    // Runs of equal samples: (value, frames).
    std::vector<std::pair<int, size_t>> runs;
    for (size_t i = 0; i < sound.samples.size(); i += 2) {
        if (runs.empty() || runs.back().first != sound.samples[i])
            runs.push_back({sound.samples[i], 0});
        ++runs.back().second;
    }
    ASSERT_GE(runs.size(), 5u);
    const std::vector<std::pair<int, size_t>> wanted = {{8192, 2 * PacketFrames},
                                                        {0, 2 * Rate},
                                                        {16384, PacketFrames},
                                                        {0, Rate * 7 / 10},
                                                        {24575, PacketFrames}};
    const std::vector<std::pair<int, size_t>> head(runs.begin(), runs.begin() + 5);
    EXPECT_EQ(head, wanted);
}

QByteArray fileHash(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

/// The settings folder redirected into a temporary folder for one test.
class SettingsFolder {
public:
    SettingsFolder() : m_old(qgetenv("XDG_CONFIG_HOME")) {
        qputenv("XDG_CONFIG_HOME", m_dir.path().toUtf8());
    }
    ~SettingsFolder() {
        if (m_old.isEmpty())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", m_old);
    }
    QString file() const { return settingsFolder() + "tressic.xml"; }
    QStringList entries() const {
        return QDir(settingsFolder()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_old;
};

TEST(RecSettingsTest, SettingsGiveTheDefaultsAndOptionsOverrideThem) {
    SettingsFolder settings;
    ASSERT_TRUE(settings.file().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
    TConfig saved;
    defaultconfig(saved);
    saved.codec = 1;
    saved.oggquality = 9;
    saved.vox = true;
    saved.namingexpression = "from-settings-NUM";
    saved.namingnumber = 7;
    saved.archive = "/somewhere/else";
    ASSERT_TRUE(saveconfig("tressic.xml", saved));
    const QStringList before = settings.entries();
    const QByteArray hash = fileHash(settings.file());

    TConfig record;
    const RecParseResult parsed = parseRecOptions({"--settings", "--quality", "2"});
    EXPECT_TRUE(prepareRecConfig(parsed.options, record).isEmpty());
    EXPECT_EQ(record.codec, 1);
    EXPECT_EQ(record.oggquality, 2);
    EXPECT_TRUE(record.vox);
    EXPECT_EQ(record.namingexpression, "from-settings-NUM");
    EXPECT_EQ(record.namingnumber, 7);
    EXPECT_EQ(record.archive, "/somewhere/else");
    EXPECT_EQ(settings.entries(), before);
    EXPECT_EQ(fileHash(settings.file()), hash);

    // Without --settings the file plays no part.
    TConfig plain;
    EXPECT_TRUE(prepareRecConfig(parseRecOptions({}).options, plain).isEmpty());
    EXPECT_FALSE(plain.vox);
    EXPECT_EQ(plain.codec, 2);
}

TEST(RecSettingsTest, DamagedSettingsAreReportedAndLeftAsTheyAre) {
    SettingsFolder settings;
    ASSERT_TRUE(QDir().mkpath(settingsFolder()));
    {
        QFile f(settings.file());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("<config><codec index=\"banana\"");
    }
    const QStringList before = settings.entries();
    const QByteArray hash = fileHash(settings.file());
    FakeMessages messages;

    TConfig record;
    const QString warning =
        prepareRecConfig(parseRecOptions({"--settings", "--format", "mp3"}).options, record);
    EXPECT_TRUE(warning.contains("damaged")) << warning.toStdString();
    EXPECT_TRUE(warning.contains(settings.file())) << warning.toStdString();
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(settings.entries(), before);
    EXPECT_EQ(fileHash(settings.file()), hash);
    // The built-in defaults, under the options given.
    TConfig defaults;
    defaultconfig(defaults);
    EXPECT_EQ(record.codec, 0);
    EXPECT_EQ(record.namingexpression, defaults.namingexpression);
    EXPECT_EQ(record.trashold, defaults.trashold);
}

} // namespace
