// Recording through the main window's buttons from the private test sound server: what the
// server plays ends up in the file, a pause leaves out what played meanwhile, and the VOX
// listens.
#include "recorder/ui/mainform.h"
#include "support/eventloop.h"
#include "support/fakemessages.h"
#include "support/qtprint.h"
#include "support/soundfile.h"

#include "capture/wasapisource.h"
#include "common/handoff.h"
#include "controls/icebtn.h"
#include "platform/audio/pulse/pulseengine.h"
#include "scheduler/ui/shedule.h"
#include "settings/config.h"
#include "settings/events.h"
#include "settings/settingsfile.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

constexpr int Rate = 48000;

/// Plays a file on the test sink while the window keeps working; true when it played.
bool play(const QString& file) {
    QProcess player;
    player.start(QStringLiteral("paplay"),
                 {QStringLiteral("--device=") +
                      qEnvironmentVariable("ORVANTA_TEST_SINK", QStringLiteral("orvanta_test")),
                  file});
    if (!player.waitForStarted(10000))
        return false;
    return processUntil([&] { return player.state() == QProcess::NotRunning; },
                        std::chrono::seconds(60)) &&
           player.exitStatus() == QProcess::NormalExit && player.exitCode() == 0;
}

/// Where the first frames of `signal` start in `got` (in samples), or -1.
int64_t find(const std::vector<int16_t>& got, const std::vector<int16_t>& signal) {
    for (size_t i = 0; i + 16 <= got.size(); i += 2) {
        bool same = true;
        for (size_t k = 0; k < 16 && same; ++k)
            same = std::abs(int(got[i + k]) - int(signal[k])) <= 1;
        if (same)
            return static_cast<int64_t>(i);
    }
    return -1;
}

class MainFormServerTest : public ::testing::Test {
protected:
    MainFormServerTest() {
        qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
        defaultconfig(config);
        config.archive = m_dir.filePath(QStringLiteral("out"));
        QDir().mkpath(config.archive);
        config.codec = 2;
        config.autoname = true;
        config.namingexpression = QStringLiteral("take-NUM");
        QDir().mkpath(settingsFolder());
        saveconfig(QStringLiteral("tressic.xml"), config);
        m_engine = createPulseEngine(QStringLiteral("Orvanta test"));
    }
    ~MainFormServerTest() override {
        form.reset();
        qunsetenv("XDG_CONFIG_HOME");
    }

    /// A signal file: half a second of silence (the monitor loses the head of a new stream),
    /// `signal`, then silence long enough for the signal to reach the window through the
    /// capture's latency before the next click.
    QString signalFile(const QString& name, const std::vector<int16_t>& signal) {
        std::vector<int16_t> samples(size_t{Rate} / 2 * 2, 0);
        samples.insert(samples.end(), signal.begin(), signal.end());
        samples.insert(samples.end(), size_t{Rate} * 7 / 10 * 2, 0);
        const QString path = m_dir.filePath(name);
        EXPECT_TRUE(writeWav16(path, Rate, 2, samples));
        return path;
    }

    /// The main window over the real server, started up; `form` stays null when the start
    /// fails (no sound server).
    void createForm(Clock& clock) {
        form = std::make_unique<TMainForm>(MainFormServices{.engine = *m_engine,
                                                            .playback = playback,
                                                            .clock = clock,
                                                            .handoff = handoff,
                                                            .hotKeys = nullptr,
                                                            .silentUpdateCheck = {},
                                                            .updateCheck = {},
                                                            .reportError = {},
                                                            .trayAvailable = {},
                                                            .launcher = nullptr});
        if (!form->FormCreate()) {
            ADD_FAILURE() << "the test command starts a private sound server";
            form.reset();
        }
    }

    QTemporaryDir m_dir;
    QTemporaryDir m_config;
    FakeMessages messages;
    WindowThreadHandoff handoff;
    NullPlaybackEngine playback;
    std::unique_ptr<audio::AudioEngine> m_engine;
    std::unique_ptr<TMainForm> form;
};

TEST_F(MainFormServerTest, ButtonsRecordWhatPlaysAndPauseLeavesOutWhatPlaysMeanwhile) {
    createForm(systemClock());
    ASSERT_TRUE(form);
    form->show();
    TRecorder& r = form->recorder();
    ASSERT_TRUE(processUntil([&] { return r.bsize > 0; })) << "no audio arrives";

    const std::vector<int16_t> before = testSignal(Rate / 2, 1);
    const std::vector<int16_t> during = testSignal(Rate / 2, 2);
    const std::vector<int16_t> after = testSignal(Rate / 2, 3);
    const QString beforeFile = signalFile(QStringLiteral("before.wav"), before);
    const QString duringFile = signalFile(QStringLiteral("during.wav"), during);
    const QString afterFile = signalFile(QStringLiteral("after.wav"), after);

    QTest::mouseClick(form->Start, Qt::LeftButton);
    ASSERT_TRUE(r.writing) << (messages.shown.empty() ? std::string()
                                                      : messages.shown[0].text.toStdString());
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Recording"));
    EXPECT_FALSE(form->Start->isEnable());
    EXPECT_TRUE(form->Stop->isEnable());
    ASSERT_TRUE(play(beforeFile));

    QTest::mouseClick(form->pause, Qt::LeftButton);
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Pause"));
    ASSERT_TRUE(play(duringFile));
    QTest::mouseClick(form->pause, Qt::LeftButton);
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Recording"));
    ASSERT_TRUE(play(afterFile));

    QTest::mouseClick(form->Stop, Qt::LeftButton);
    ASSERT_TRUE(processUntil([&] { return !r.writing; }));
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Ready"));
    const DecodedSound sound = decodeSound(r.lastfile);
    ASSERT_TRUE(sound.ok) << r.lastfile.toStdString() << ": " << sound.error.toStdString();
    ASSERT_EQ(sound.sampleRate, Rate);
    const int64_t first = find(sound.samples, before);
    const int64_t last = find(sound.samples, after);
    ASSERT_GE(first, 0) << "what played before the pause is missing";
    ASSERT_GT(last, first) << "what played after the pause is missing";
    EXPECT_EQ(find(sound.samples, during), -1) << "what played during the pause was recorded";
    // Both signals whole, sample for sample.
    for (const auto& [at, signal] : {std::pair{first, &before}, std::pair{last, &after}}) {
        ASSERT_LE(static_cast<size_t>(at) + signal->size(), sound.samples.size());
        size_t mismatches = 0;
        for (size_t i = 0; i < signal->size(); ++i)
            mismatches += std::abs(int(sound.samples[size_t(at) + i]) - int((*signal)[i])) > 1;
        EXPECT_EQ(mismatches, 0u);
    }

    // With the VOX on, Start listens.
    config.vox = true;
    config.trashold = 30000;
    QTest::mouseClick(form->Start, Qt::LeftButton);
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Listen..."));
    EXPECT_TRUE(r.voxarmed);
    EXPECT_FALSE(r.writing);
    QTest::mouseClick(form->Stop, Qt::LeftButton);
    ASSERT_TRUE(processUntil([&] { return form->fstatus->text() == QStringLiteral("Ready"); }));
    form->close();
}

TEST_F(MainFormServerTest, AScheduledEventRecordsUnderItsNameAndStopsAtItsStopMoment) {
    // The clock follows the audio delivered, so the test waits seconds, not minutes.
    const TDateTime start = datetime::encode(2024, 8, 8, 9, 59, 59);
    ManualClock clock(start);
    createForm(clock);
    ASSERT_TRUE(form);
    form->createSchedulerWindow();
    form->createBrowserWindow();
    TRecorder& r = form->recorder();
    const auto framesPerDay = static_cast<double>(r.PCM.nSamplesPerSec) * 86400.0;
    int64_t frames = 0;
    form->captureSource()->OnData = [&](TWASAPISource* source, const void* data, int32_t size) {
        frames += size / r.PCM.nBlockAlign;
        clock.set(start + static_cast<double>(frames) / framesPerDay);
        r.event(source, data, size);
    };

    TRecEvent& show = events[1];
    show = TRecEvent();
    show.name = QStringLiteral("Morning Show");
    show.filename = show.name;
    show.rep_mode = 2;
    show.days.fill(true);
    show.start = datetime::encode(1899, 12, 30, 10, 0, 0);
    show.stop = datetime::encode(1899, 12, 30, 10, 0, 3);
    config.numevents = 1;
    config.scheduler = true;
    form->schedbuttonClick();
    auto* list = form->shedule->findChild<QTreeWidget*>();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->topLevelItemCount(), 1);

    ASSERT_TRUE(processUntil([&] { return r.writing; }, std::chrono::seconds(30)))
        << "the event did not start";
    EXPECT_GT(clock.now(), datetime::encode(2024, 8, 8, 10, 0, 0));
    EXPECT_TRUE(r.eventactive);
    EXPECT_EQ(list->topLevelItem(0)->text(5), QStringLiteral("Record..."));
    ASSERT_TRUE(processUntil([&] { return !r.writing; }, std::chrono::seconds(30)))
        << "the event did not stop";
    EXPECT_FALSE(r.eventactive);
    EXPECT_EQ(list->topLevelItem(0)->text(5), QStringLiteral("Complete"));
    EXPECT_EQ(r.lastfile, QDir(config.archive).filePath(QStringLiteral("Morning Show.wav")));

    // From the first block after 10:00:00 to the first after 10:00:03, and the block the
    // stop lets through.
    const DecodedSound sound = decodeSound(r.lastfile);
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    const double seconds =
        static_cast<double>(sound.samples.size()) / 2.0 / static_cast<double>(sound.sampleRate);
    EXPECT_GE(seconds, 2.9);
    EXPECT_LE(seconds, 3.4);
    form->close();
}

} // namespace

int main(int argc, char** argv) {
    qputenv("ORVANTA_DATA_DIR", ORVANTA_SOURCE_DATA);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
