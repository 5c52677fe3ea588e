// The main window: start-up and exit, the quit signals, monitoring and playback.
#include "recorder/ui/application.h"
#include "recorder/ui/mainform.h"
#include "recorder/ui/mainformfixture.h"
#include "recorder/ui/widgetmessages.h"
#include "support/eventloop.h"
#include "support/fakemessages.h"
#include "support/qtprint.h"
#include "support/soundfile.h"

#include "capture/wasapisource.h"
#include "common/handoff.h"
#include "controls/bmptimedisplay.h"
#include "controls/icebtn.h"
#include "controls/iceslider.h"
#include "controls/spectrumdisplay.h"
#include "controls/trigger.h"
#include "platform/audio/sim/simengine.h"
#include "platform/desktop/hotkeys.h"
#include "platform/desktop/quitsignals.h"
#include "platform/playback/simoutput.h"
#include "platform/playback/streamengine.h"
#include "recorder/journal.h"
#include "recorder/wavcheck.h"
#include "scheduler/ui/shedule.h"
#include "settings/config.h"
#include "settings/events.h"
#include "settings/namehistory.h"
#include "settings/settingsfile.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

using namespace audio;

namespace {

TEST_F(MainFormTest, StartsCaptureOnceAndKeepsItsSettingsAcrossARestart) {
    config.displaytype = 2;
    config.mixervolume = 40;
    config.hotkeys = false;
    writeSettings();
    events[1].name = QStringLiteral("Morning show");
    config.numevents = 1;
    ASSERT_TRUE(saveevents(settingsFolder() + QStringLiteral("events.xml")));
    events[1] = TRecEvent();
    config.numevents = 0;

    ASSERT_TRUE(create());
    EXPECT_EQ(loopbackStreams(), 1) << "capture starts exactly once at start-up";
    EXPECT_EQ(hotKeys.registered().size(), 7u) << "hot keys registered at start-up";
    EXPECT_EQ(form->spc->visualmode(), 2);
    EXPECT_EQ(form->volumemain->Position(), 40);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Orvanta"));
    EXPECT_EQ(form->size(), QSize(416, 241));
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Ready"));
    // The see-through corners are outside the window's shape, the skin inside it.
    const QRegion shape = TMainForm::opaqueRegion(form->background());
    EXPECT_FALSE(shape.contains(QPoint(0, 0)));
    EXPECT_FALSE(shape.contains(QPoint(415, 240)));
    EXPECT_TRUE(shape.contains(QPoint(208, 120)));
    EXPECT_TRUE(shape.contains(QPoint(20, 0)));
    EXPECT_EQ(form->dformat->text(), QStringLiteral("WAV"));
    EXPECT_EQ(form->dbitrate->text(), QStringLiteral("High"));
    // Every control lies on the skin and none covers another (labels paint the skin under
    // them, so an overlap would hide part of a neighbour).
    const QList<QWidget*> controls = form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (qsizetype i = 0; i < controls.size(); ++i) {
        if (controls[i]->isWindow())
            continue;
        EXPECT_TRUE(form->rect().contains(controls[i]->geometry()))
            << controls[i]->metaObject()->className();
        for (qsizetype k = i + 1; k < controls.size(); ++k) {
            if (controls[k]->isWindow())
                continue;
            const QRect a = controls[i]->geometry();
            const QRect b = controls[k]->geometry();
            EXPECT_FALSE(a.intersects(b))
                << controls[i]->metaObject()->className() << " at " << a.x() << "," << a.y()
                << " and " << controls[k]->metaObject()->className() << " at " << b.x() << ","
                << b.y();
        }
    }
    EXPECT_TRUE(form->Start->isEnable());
    EXPECT_FALSE(form->Stop->isEnable());
    EXPECT_FALSE(form->pause->isEnable());
    EXPECT_EQ(config.numevents, 1);
    EXPECT_EQ(events[1].name, QStringLiteral("Morning show"));

    // The scheduler window's switch lights the Timer indicator when it is closed.
    ASSERT_NE(form->shedule, nullptr);
    EXPECT_FALSE(form->shedule->isVisible());
    form->schedbuttonClick();
    EXPECT_TRUE(form->shedule->isVisible());
    form->shedule->timenable->click();
    EXPECT_FALSE(form->dtimer->Checked());
    form->shedule->OkButton->click();
    EXPECT_FALSE(form->shedule->isVisible());
    EXPECT_TRUE(config.scheduler);
    EXPECT_TRUE(form->dtimer->Checked());

    // Changed while running, stored at exit, back at the next start.
    form->shedule->ListView1->header()->resizeSection(0, 230);
    form->spc->SwitchVisual(4);
    form->spcClick();
    config.mixervolume = 77;
    namehistory << QStringLiteral("show-NUM");
    form->move(120, 90);
    form->close();
    form.reset();
    config = TConfig();
    defaultconfig(config);
    namehistory.clear();
    ASSERT_TRUE(create());
    EXPECT_EQ(config.displaytype, 4);
    EXPECT_EQ(form->spc->visualmode(), 4);
    EXPECT_EQ(config.mixervolume, 77);
    EXPECT_EQ(namehistory, QStringList{QStringLiteral("show-NUM")});
    EXPECT_EQ(events[1].name, QStringLiteral("Morning show"));
    EXPECT_EQ(config.posx, 120);
    EXPECT_EQ(config.posy, 90);
    EXPECT_EQ(config.schedulercolumns[0], 230);
    EXPECT_EQ(form->shedule->columnWidths()[0], 230);
    EXPECT_TRUE(form->shedule->timenable->isChecked());
}

TEST_F(MainFormTest, NoEndpointTellsTheUserAndEndsWithoutAWindow) {
    SimEngine empty;
    form = std::make_unique<TMainForm>(MainFormServices{.engine = empty,
                                                        .playback = fakePlayback,
                                                        .clock = clock,
                                                        .handoff = handoff,
                                                        .hotKeys = nullptr,
                                                        .silentUpdateCheck = {},
                                                        .updateCheck = {},
                                                        .reportError = {},
                                                        .trayAvailable = {}});
    EXPECT_FALSE(form->FormCreate());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].caption, QStringLiteral("Sound card enumeration error!"));
    EXPECT_TRUE(messages.shown[0].text.startsWith(
        QStringLiteral("Can not find any active sound cards.\n")));
    EXPECT_EQ(form->captureSource(), nullptr);
    EXPECT_FALSE(form->isVisible());
    form.reset(); // destroying it neither saves nor crashes
}

TEST_F(MainFormTest, HotKeysStayOffWhenTheSettingsSaySoAndFlacShowsVbrWithoutSize) {
    config.hotkeys = true;
    config.codec = 3;
    config.vox = false;
    config.splitteron = true;
    writeSettings();
    ASSERT_TRUE(create());
    EXPECT_TRUE(hotKeys.registered().empty()) << "Disable HotKeys keeps them off";
    EXPECT_EQ(form->dbitrate->text(), QStringLiteral("VBR"));
    EXPECT_EQ(form->dformat->text(), QStringLiteral("FLAC"));
    EXPECT_TRUE(form->ffile->isHidden());
    EXPECT_TRUE(form->dvox->Checked()) << "splitting lights the VOX indicator";
    EXPECT_FALSE(form->dtimer->Checked());
}

TEST_F(MainFormTest, ExitWhileRecordingAsksAndClosesTheFileAfterYes) {
    ASSERT_TRUE(create());
    countBlocks();
    form->recorder().StartClick();
    ASSERT_TRUE(form->recorder().writing);
    feed(0.25f);
    feed(0.25f);

    // No keeps the program recording.
    messages.answers = {MessageResult::No};
    EXPECT_FALSE(form->sessionEnding());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, QStringLiteral("Do you want to stop recording and exit?"));
    EXPECT_TRUE(form->recorder().writing);
    feed(0.25f);

    messages.answers = {MessageResult::Yes};
    EXPECT_TRUE(form->sessionEnding());
    EXPECT_EQ(form->captureSource(), nullptr);
    const QStringList files = recordings();
    ASSERT_EQ(files.size(), 1);
    const DecodedSound sound = decodeSound(QDir(m_out).filePath(files[0]));
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    EXPECT_EQ(sound.samples.size(), size_t{3} * PacketFrames * 2);
    EXPECT_TRUE(QFileInfo::exists(settingsFolder() + QStringLiteral("tressic.xml")));
}

TEST_F(MainFormTest, QuitSignalsCloseTheRecordingAndSaveWithoutAsking) {
    for (const int signalNumber : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        writeSettings();
        ASSERT_TRUE(create());
        config.mixervolume = 13 + signalNumber;
        countBlocks();
        QuitSignals quit;
        ASSERT_TRUE(quit.isInstalled());
        QObject::connect(&quit, &QuitSignals::quitRequested, form.get(),
                         &TMainForm::closeWithoutQuestion);
        form->show();
        form->recorder().StartClick();
        feed(0.5f);
        const QString file = form->recorder().outputfile;
        ::raise(signalNumber);
        ASSERT_TRUE(processUntil([&] { return form->captureSource() == nullptr; }));
        EXPECT_TRUE(messages.shown.empty())
            << "a signal is not asked about: " << messages.shown[0].text.toStdString();
        EXPECT_FALSE(form->isVisible());
        const DecodedSound sound = decodeSound(file);
        ASSERT_TRUE(sound.ok) << sound.error.toStdString();
        EXPECT_EQ(sound.samples.size(), size_t{PacketFrames} * 2);
        TConfig saved;
        ASSERT_TRUE(
            loadconfig(QStringLiteral("tressic.xml"), saved, ConfigLoadMode::ReadOnly).isEmpty());
        EXPECT_EQ(saved.mixervolume, 13 + signalNumber) << "the settings were saved";
        form.reset();
        QFile::remove(file);
        config.mixervolume = 0;
    }
}

TEST_F(MainFormTest, BlocksDeliveredDuringShutdownOpenNoFile) {
    // Listening: the next loud block would open a file.
    config.vox = true;
    config.trashold = 1000;
    writeSettings();
    ASSERT_TRUE(create());
    form->recorder().StartClick();
    ASSERT_TRUE(form->recorder().voxarmed);
    ASSERT_EQ(form->fstatus->text(), QStringLiteral("Listen..."));
    // Loud blocks captured but not yet delivered when the window closes: the window thread
    // does not serve the hand-off meanwhile, so they wait in the source's queue, and capture
    // ending delivers them.
    for (int i = 0; i < 4; ++i)
        engine.queuePacket(Sink,
                           SimEngine::floatPacket(std::vector<float>(PacketFrames * 2, 0.8f), 2));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (form->captureSource()->queuedBlocks() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(form->captureSource()->queuedBlocks(), 2u);
    config.askconfirmation = false;
    form->close();
    EXPECT_EQ(form->captureSource(), nullptr);
    form.reset();
    EXPECT_TRUE(recordings().isEmpty()) << recordings().join(' ').toStdString();
}

TEST_F(MainFormTest, HotKeysFollowTheButtonsAndAKeyHeldElsewhereLeavesTheOthers) {
    constexpr quint32 CtrlAlt = HotKeyCtrl | HotKeyAlt;
    hotKeys.holdElsewhere(CtrlAlt, 'O');
    ASSERT_TRUE(create());
    countBlocks();
    EXPECT_EQ(hotKeys.registered().size(), 6u);
    EXPECT_EQ(form->HotKeySettings, 0) << "held by another program: no identifier";
    EXPECT_NE(form->HotKeyStart, 0);
    TRecorder& r = form->recorder();

    // Stop while idle is harmless; Pause while idle shows "Pause".
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'S'));
    EXPECT_FALSE(r.writing);
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'U'));
    EXPECT_TRUE(r.paused);
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Pause"));
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'U'));
    EXPECT_FALSE(r.paused);

    // Start records; Start again while recording does nothing, nor does Play.
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'R'));
    feed(0.1f);
    ASSERT_TRUE(r.writing);
    const QString file = r.outputfile;
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'R'));
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'P'));
    feed(0.1f);
    EXPECT_EQ(r.outputfile, file);
    EXPECT_EQ(r.workmode, 1);
    EXPECT_EQ(recordings().size(), 1);
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'S'));
    feed(0.1f);
    EXPECT_FALSE(r.writing);
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Ready"));

    // "Disable HotKeys": every key unregistered at once, and back again.
    form->closehotkeys();
    EXPECT_TRUE(hotKeys.registered().empty());
    EXPECT_FALSE(hotKeys.press(CtrlAlt, 'R'));
    form->loadhotkeys();
    EXPECT_EQ(hotKeys.registered().size(), 6u);
}

TEST_F(MainFormTest, MinimiseGoesToTheTrayWhereThereIsOneAndNeverLosesTheWindow) {
    ASSERT_TRUE(create());
    countBlocks();
    form->showAfterStart();
    TRecorder& r = form->recorder();
    EXPECT_EQ(form->TrayIcon1->toolTip(), QStringLiteral("Orvanta"));

    // With a tray: minimise hides the window into the icon, a click brings it back.
    trayThere = true;
    form->minbuttonClick();
    EXPECT_TRUE(form->inTray());
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(form->TrayIcon1->isVisible());
    EXPECT_FALSE(form->tmrvisual.isActive()) << "nothing is drawn in the tray";
    // The icon follows the status while in the tray.
    r.StartClick();
    feed(0.1f);
    EXPECT_EQ(form->TrayIcon1->icon().cacheKey(), form->iconlist[1].cacheKey());
    r.pauseClick();
    EXPECT_EQ(form->TrayIcon1->icon().cacheKey(), form->iconlist[3].cacheKey());
    r.pauseClick();
    form->TrayIcon1Click();
    EXPECT_FALSE(form->inTray());
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->isMinimized());
    EXPECT_FALSE(form->TrayIcon1->isVisible());
    EXPECT_TRUE(form->tmrvisual.isActive());
    EXPECT_EQ(form->tmrvisual.interval(), 15) << "a frame every 15 ms";
    // The X server's notices that other windows cover the window wholly, and no longer.
    const auto coveredNotice = [&](uint8_t state) {
        xcb_visibility_notify_event_t notice{};
        notice.response_type = XCB_VISIBILITY_NOTIFY;
        notice.window = static_cast<xcb_window_t>(form->winId());
        notice.state = state;
        qintptr result = 0;
        QAbstractEventDispatcher::instance()->filterNativeEvent("xcb_generic_event_t", &notice,
                                                                &result);
    };
    coveredNotice(XCB_VISIBILITY_FULLY_OBSCURED);
    EXPECT_FALSE(form->tmrvisual.isActive()) << "nothing is drawn while covered";
    coveredNotice(XCB_VISIBILITY_PARTIALLY_OBSCURED);
    EXPECT_TRUE(form->tmrvisual.isActive());

    // A second start asks for the window: out of the tray, too.
    form->minbuttonClick();
    form->bringToFront();
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->inTray());

    // The tray goes away while the window is in it: the window comes back minimised.
    form->minbuttonClick();
    ASSERT_TRUE(form->inTray());
    trayThere = false;
    EXPECT_TRUE(processUntil([&] { return form->isVisible(); }));
    EXPECT_FALSE(form->inTray());
    EXPECT_TRUE(form->isMinimized());

    // Without a tray: minimised on the task bar, still visible there.
    form->showNormal();
    form->minbuttonClick();
    EXPECT_FALSE(form->inTray());
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->isMinimized());
    EXPECT_TRUE(r.writing) << "the recording went on throughout";
}

TEST_F(MainFormTest, TimeDisplayWrapsInRecorderModeAndFreezesDuringPause) {
    ASSERT_TRUE(create());
    countBlocks();
    TRecorder& r = form->recorder();
    r.StartClick();
    feed(0.1f);
    clock.advanceMs(10'000);
    form->tmrvisualTimer();
    EXPECT_EQ(form->timebox->Text(), QStringLiteral("00:00:10"));
    r.pauseClick();
    clock.advanceMs(20'000);
    form->tmrvisualTimer();
    EXPECT_EQ(form->timebox->Text(), QStringLiteral("00:00:10"));
    r.pauseClick();
    clock.advanceMs(5'000);
    form->tmrvisualTimer();
    EXPECT_EQ(form->timebox->Text(), QStringLiteral("00:00:15"));
    EXPECT_EQ(form->ffile->text(), r.recsize);
    clock.advanceMs(25LL * 3600 * 1000 - 15'000);
    form->tmrvisualTimer();
    EXPECT_EQ(form->timebox->Text(), QStringLiteral("01:00:00"));

    // The size text follows within a quarter of a second, and the last size stays after
    // Stop even when it came between two updates.
    const QString shown = form->ffile->text();
    feed(0.1f);
    ASSERT_NE(r.recsize, shown);
    clock.advanceMs(100);
    form->tmrvisualTimer();
    EXPECT_EQ(form->ffile->text(), shown);
    clock.advanceMs(200);
    form->tmrvisualTimer();
    EXPECT_EQ(form->ffile->text(), r.recsize);
    for (int i = 0; i < 3; ++i)
        feed(0.1f);
    clock.advanceMs(45);
    form->tmrvisualTimer();
    EXPECT_NE(form->ffile->text(), r.recsize);
    r.StopClick();
    feed(0.1f); // the file closes after this block
    ASSERT_FALSE(r.writing);
    form->tmrvisualTimer();
    EXPECT_EQ(form->ffile->text(), r.recsize);

    EXPECT_EQ(TMainForm::playerTimeText(100LL * 3600), QStringLiteral("100:00:00"));
    EXPECT_EQ(TMainForm::recorderTimeText(1.0 + 1.0 / 24), QStringLiteral("01:00:00"));
}

TEST_F(MainFormTest, PlaybackShowsPositionIgnoresAStaleEndAndAppliesTheVolume) {
    config.playvolume = 30;
    config.mixervolume = 60;
    writeSettings();
    ASSERT_TRUE(create());
    const QString file = m_dir.filePath(QStringLiteral("old.wav"));
    ASSERT_TRUE(writeWav16(file, Rate, 2, std::vector<int16_t>(Rate * 2, 100)));

    form->playfile(file);
    TRecorder& r = form->recorder();
    EXPECT_EQ(r.workmode, 2);
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Play"));
    EXPECT_FLOAT_EQ(fakePlayback.volume, 0.3f) << "heard at the slider's volume";
    EXPECT_EQ(form->volumemain->Position(), 30);
    EXPECT_FALSE(form->Start->isEnable());
    EXPECT_TRUE(form->Stop->isEnable());

    // 100 hours in.
    fakePlayback.lengthBytes = int64_t{Rate} * 4 * 3600 * 200;
    fakePlayback.positionBytes = int64_t{Rate} * 4 * 3600 * 100;
    form->tmrvisualTimer();
    EXPECT_EQ(form->timebox->Text(), QStringLiteral("100:00:00"));
    EXPECT_EQ(form->Slider->Position(), 50);

    // Play pressed again just as the first stream ended: its end is stale.
    const PlayStream first = r.playstream;
    form->playfile(file);
    ASSERT_NE(r.playstream, first);
    form->playbackEnded(first);
    EXPECT_EQ(r.workmode, 2);
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Play"));

    form->playbackEnded(r.playstream);
    EXPECT_EQ(r.workmode, 1);
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Ready"));
    EXPECT_TRUE(form->Start->isEnable());
    EXPECT_FALSE(form->Stop->isEnable());
    EXPECT_EQ(form->volumemain->Position(), 60);
    EXPECT_EQ(form->timebox->Text(), QStringLiteral("00:00:00"));

    // A file that is not there plays nothing.
    const int opened = fakePlayback.opened.size();
    form->playfile(m_dir.filePath(QStringLiteral("missing.wav")));
    EXPECT_EQ(fakePlayback.opened.size(), opened);
}

TEST_F(MainFormTest, PlaybackToTheEndReturnsToReadyThroughTheEngine) {
    auto output = std::make_unique<playback::SimOutputDevice>(Rate / 10, Rate / 100);
    playback::SimOutputDevice* device = output.get();
    playback::StreamPlaybackEngine player(std::move(output));
    ASSERT_TRUE(create(&player));
    const QString file = m_dir.filePath(QStringLiteral("short.wav"));
    ASSERT_TRUE(writeWav16(file, Rate, 2, std::vector<int16_t>(Rate / 5 * 2, 1000)));
    TRecorder& r = form->recorder();
    r.lastfile = file;
    form->PlayButtonClick();
    ASSERT_EQ(r.workmode, 2);
    ASSERT_NE(r.playstream, 0u);
    // The end arrives as a posted message, without a Stop command.
    ASSERT_TRUE(processUntil([&] {
        device->advance(Rate / 50);
        return r.workmode == 1;
    }));
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Ready"));
    EXPECT_TRUE(form->Start->isEnable());
    EXPECT_FALSE(form->pause->isEnable());
    EXPECT_FALSE(form->Stop->isEnable());
    form.reset();
}

TEST_F(MainFormTest, WhatCannotBePlayedIsNamedWithTheReasonAndTheWindowIsReadyAgain) {
    playback::StreamPlaybackEngine player(
        std::make_unique<playback::SimOutputDevice>(Rate / 10, Rate / 100));
    // The window goes before the player it uses, however the test ends.
    struct CloseFirst {
        std::unique_ptr<TMainForm>& window;
        ~CloseFirst() { window.reset(); }
    } closeFirst{form};
    ASSERT_TRUE(create(&player));
    countBlocks();
    TRecorder& r = form->recorder();
    const auto expectReady = [&] {
        EXPECT_EQ(r.workmode, 1);
        EXPECT_EQ(r.playstream, 0u);
        EXPECT_EQ(form->fstatus->text(), QStringLiteral("Ready"));
        EXPECT_TRUE(form->Start->isEnable());
        EXPECT_FALSE(form->pause->isEnable());
        EXPECT_FALSE(form->Stop->isEnable());
    };

    // A pipe named like a recording. Should the window wait in its open, a writer comes at
    // last and ends the wait, so that the test fails rather than hangs.
    const QString pipe = m_dir.filePath(QStringLiteral("pipe.mp3"));
    ASSERT_EQ(mkfifo(QFile::encodeName(pipe).constData(), 0644), 0);
    std::mutex mutex;
    std::condition_variable returnedCv;
    bool returned = false;
    bool rescued = false;
    std::thread guard([&] {
        std::unique_lock lock(mutex);
        if (returnedCv.wait_for(lock, std::chrono::seconds(20), [&] { return returned; }))
            return;
        rescued = true;
        const int fd = ::open(QFile::encodeName(pipe).constData(), O_RDWR | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
    });
    r.lastfile = pipe;
    form->PlayButtonClick();
    {
        std::lock_guard lock(mutex);
        returned = true;
    }
    returnedCv.notify_all();
    guard.join();
    EXPECT_FALSE(rescued) << "the window waited for a writer of the pipe";
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Information);
    EXPECT_TRUE(messages.shown[0].text.contains(pipe)) << messages.shown[0].text;
    EXPECT_TRUE(messages.shown[0].text.contains(QStringLiteral("not a regular file")));
    expectReady();

    // A file the decoder does not know, played from the browser: libsndfile's reason.
    const QString notes = m_dir.filePath(QStringLiteral("notes.wav"));
    QFile file(notes);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("not a sound\n");
    file.close();
    form->playfile(notes);
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_TRUE(messages.shown[1].text.contains(notes)) << messages.shown[1].text;
    EXPECT_TRUE(messages.shown[1].text.contains(QStringLiteral("Format not recognised")));
    expectReady();
    // Start records at once, without a Stop first.
    EXPECT_TRUE(hotKeys.press(HotKeyCtrl | HotKeyAlt, 'R'));
    feed(0.1f);
    EXPECT_TRUE(r.writing);
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Recording"));
}

TEST_F(MainFormTest, AHotKeyPressedAgainWhileItsMessageIsOpenOpensNoSecondOne) {
    constexpr quint32 CtrlAlt = HotKeyCtrl | HotKeyAlt;
    ASSERT_TRUE(create());
    config.archive = m_dir.filePath(QStringLiteral("gone"));
    int opened = 0;
    messages.whileOpen = [&] {
        if (++opened == 1) {
            EXPECT_TRUE(hotKeys.press(CtrlAlt, 'R'));
        }
    };
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'R'));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_TRUE(messages.shown[0].text.contains(QStringLiteral("output folder")));
    // Once it is closed, the key tells again.
    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'R'));
    EXPECT_EQ(messages.shown.size(), 2u);
}

TEST_F(MainFormTest, AQuitSignalWhileAModalWindowIsOpenLeavesItsCallerIntact) {
    // Log-out or SIGTERM while the naming rules window or the event editor is open: the
    // program closes and ends the application's loops, the modal window's among them, which
    // then returns to the dialog that opened it. Run as the program runs, inside exec().
    const auto quitDuring = [this](QAbstractButton* opener, const QString& title) {
        QString seen;
        QTimer::singleShot(0, [&] {
            QTimer::singleShot(0, [&] {
                QWidget* modal = QApplication::activeModalWidget();
                seen = modal ? modal->windowTitle() : QString();
                form->closeWithoutQuestion();
                // The program's end comes through the queue, so the modal loop runs on a
                // little after the window has closed.
                QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
            });
            opener->click();
        });
        QApplication::exec();
        EXPECT_EQ(seen, title);
        EXPECT_TRUE(QFile::exists(settingsFolder() + QStringLiteral("tressic.xml")));
        form.reset();
    };
    ASSERT_TRUE(create());
    form->settingsDialog()->autobox->setChecked(true);
    quitDuring(form->settingsDialog()->autoconfig, QStringLiteral("File Name template"));

    ASSERT_TRUE(create());
    QAbstractButton* add = nullptr;
    for (QAbstractButton* b : form->shedule->findChildren<QAbstractButton*>())
        if (b->text() == QStringLiteral("&Add Event"))
            add = b;
    ASSERT_NE(add, nullptr);
    quitDuring(add, QStringLiteral("Add Event"));
}

TEST_F(MainFormTest, AnInterruptedRecordingIsRepairedAndNamedBeforeCaptureStarts) {
    QTemporaryDir state;
    ASSERT_TRUE(state.isValid());
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    struct Unset {
        ~Unset() { qunsetenv("XDG_STATE_HOME"); }
    } unset;
    // An earlier run died while it wrote this file: the sizes in its header are still zero.
    const QString broken = m_out + QStringLiteral("/take-7.wav");
    const std::vector<int16_t> samples = testSignal(Rate / 2, 5);
    ASSERT_TRUE(wavcheck::writeFile(broken, wavcheck::unfinished(samples, Rate)));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        RecordingJournal journal;
        const std::unique_ptr<JournalEntry> entry = journal.opened(broken, 2);
        ::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    RecordingJournal journal;
    ASSERT_EQ(journal.entries().size(), 1);

    int streamsWhileShown = -1;
    messages.whileOpen = [&] { streamsWhileShown = loopbackStreams(); };
    ASSERT_TRUE(create());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].caption, QStringLiteral("Orvanta"));
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Information);
    EXPECT_EQ(messages.shown[0].buttons, MessageButtons::Ok);
    EXPECT_TRUE(messages.shown[0].text.contains(QStringLiteral("repaired")));
    EXPECT_TRUE(messages.shown[0].text.contains(broken)) << qPrintable(messages.shown[0].text);
    EXPECT_EQ(streamsWhileShown, 0) << "told before capture starts";
    EXPECT_EQ(wavcheck::sizeProblem(broken), QString());
    const DecodedSound sound = decodeSound(broken);
    ASSERT_TRUE(sound.ok) << qPrintable(sound.error);
    EXPECT_TRUE(sound.samples == samples);
    EXPECT_TRUE(journal.entries().isEmpty());

    // The window's own recordings are in the journal while they are open.
    form->recorder().StartClick();
    ASSERT_TRUE(form->recorder().rec);
    EXPECT_EQ(journal.entries().size(), 1);
    form->recorder().fullstop();
    EXPECT_TRUE(journal.entries().isEmpty());
}

/// Throws from its event handler, as a fault in any handler of the program would.
class Thrower : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw std::runtime_error("the handler failed");
        if (e->type() == QEvent::Type(QEvent::User + 1))
            throw 42;
        return QObject::event(e);
    }
};

TEST(OrvantaApplicationTest, AnExceptionInAHandlerIsReportedShownAndTheProgramGoesOn) {
    auto* app = static_cast<OrvantaApplication*>(QCoreApplication::instance());
    QStringList reports;
    QStringList shown;
    app->onException = [&](const QString& text) { reports << text; };
    app->showException = [&](const QString& text) { shown << text; };
    Thrower thrower;
    for (int i = 0; i < 2; ++i)
        QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    // The report: the message, the heading, the exception's type and message, and the stack
    // where the event loop caught it, one frame a line.
    ASSERT_EQ(reports.size(), 2);
    for (const QString& report : reports) {
        EXPECT_TRUE(report.startsWith(QStringLiteral(
            "the handler failedStack trace: std::runtime_error: the handler failed\n")))
            << report.toStdString();
        const QStringList frames = report.split(QLatin1Char('\n')).mid(1);
        EXPECT_GE(frames.size(), 2);
        EXPECT_LE(frames.size(), 16);
    }
    EXPECT_EQ(shown, QStringList(2, QStringLiteral("the handler failed")));
    // Something that is not a std::exception still names its type.
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::Type(QEvent::User + 1)));
    QCoreApplication::processEvents();
    ASSERT_EQ(reports.size(), 3);
    EXPECT_TRUE(
        reports[2].startsWith(QStringLiteral("Unknown errorStack trace: int: Unknown error\n")))
        << reports[2].toStdString();
    EXPECT_EQ(shown.last(), QStringLiteral("Unknown error"));
    // The event loop still works afterwards.
    bool ran = false;
    QMetaObject::invokeMethod(
        &thrower, [&] { ran = true; }, Qt::QueuedConnection);
    QCoreApplication::processEvents();
    EXPECT_TRUE(ran);
    app->onException = nullptr;
    app->showException = nullptr;
}

} // namespace

TEST_F(MainFormTest, OutputChangeIsShownForAWhileAndTheRecordingGoesOnInTheSameFile) {
    audio::SimEndpoint headset;
    headset.id = QStringLiteral("sink:headset");
    headset.dataFlow = audio::eRender;
    headset.cardName = QStringLiteral("USB Card");
    headset.endpointName = QStringLiteral("Headset");
    headset.mixFormat = audio::SimEngine::floatFormat(44100, 2);
    engine.addEndpoint(headset);
    ASSERT_TRUE(create());
    countBlocks();
    form->recorder().StartClick();
    ASSERT_TRUE(form->recorder().writing);
    feed(0.25f);

    engine.setDefaultEndpoint(audio::eRender, headset.id);
    engine.failAt(audio::SimCall::GetNextPacketSize, audio::AUDCLNT_E_DEVICE_INVALIDATED, 0, -1,
                  Sink);
    ASSERT_TRUE(processUntil(
        [&] { return form->fstatus->text() == QStringLiteral("Output device changed: Headset"); }));
    EXPECT_EQ(form->captureSource()->inputs, QStringList({"Headset"}));
    EXPECT_TRUE(form->captureSource()->IsActive());

    // A block after the notice's time brings the status back; the file is the same one.
    clock.advanceMs(TRecorder::DeviceNoticeMs);
    const uint64_t before = delivered;
    engine.queuePacket(
        headset.id, audio::SimEngine::floatPacket(std::vector<float>(PacketFrames * 2, 0.5f), 2));
    ASSERT_TRUE(processUntil([&] { return delivered > before; }));
    EXPECT_EQ(form->fstatus->text(), QStringLiteral("Recording"));
    EXPECT_EQ(recordings(), QStringList({"take-100.wav"}));
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(MainFormTest, TheBrowserOpensFromButtonMenuAndKeyAndFollowsRecordingAndPlaying) {
    constexpr quint32 CtrlAlt = HotKeyCtrl | HotKeyAlt;
    ASSERT_TRUE(create());
    countBlocks();
    form->showAfterStart();
    Tplaylist* browser = form->playlist.get();
    ASSERT_NE(browser, nullptr);
    EXPECT_FALSE(browser->isVisible());

    EXPECT_TRUE(hotKeys.press(CtrlAlt, 'F'));
    EXPECT_TRUE(browser->isVisible());
    EXPECT_EQ(browser->windowTitle(), QStringLiteral("Recording Browser"));
    ASSERT_TRUE(processUntil([&] { return !browser->listing(); }));
    EXPECT_EQ(browser->selectedFolder(), m_out);
    EXPECT_TRUE(browser->rows().empty());

    // A recording that ends while the browser is open is listed at once.
    form->recorder().StartClick();
    feed(0.1f);
    feed(0.1f);
    form->recorder().StopClick();
    feed(0.1f); // the next block closes the file
    ASSERT_TRUE(processUntil([&] { return browser->rows().size() == 1u; }));
    const QString file = QDir(m_out).filePath(browser->rows()[0].audiofile);
    EXPECT_EQ(form->recorder().outputfile, file);

    // While the browser is open, Play plays its selection.
    browser->selectRow(0);
    form->recorder().lastfile.clear();
    form->PlayButtonClick();
    EXPECT_EQ(fakePlayback.opened, QStringList{file});
    EXPECT_EQ(form->recorder().lastfile, file);
    EXPECT_EQ(form->recorder().workmode, 2);
    // The player has the file: its name cannot be edited.
    EXPECT_FALSE(browser->VSTEditing(0));

    // The minimise button closes the browser first; the button and the menu open it again.
    form->minbuttonClick();
    EXPECT_FALSE(browser->isVisible());
    form->TrayIcon1Click();
    emit form->folderbutton->OnClick();
    EXPECT_TRUE(browser->isVisible());
    browser->close();
    QAction* menuEntry = nullptr;
    for (QAction* action : form->popupMenu->actions())
        menuEntry = action->text() == QStringLiteral("Recording browser...") ? action : menuEntry;
    ASSERT_NE(menuEntry, nullptr);
    EXPECT_TRUE(menuEntry->isEnabled());
    menuEntry->trigger();
    EXPECT_TRUE(browser->isVisible());
    ASSERT_TRUE(processUntil([&] { return !browser->listing(); }));
}

namespace {

/// Ends the test program with a failure when its scope is not left within 20 seconds: a
/// quit that deadlocks can be reported no other way.
class HangGuard {
public:
    explicit HangGuard(std::string what) : m_what(std::move(what)), m_thread([this] { watch(); }) {}
    ~HangGuard() {
        {
            std::lock_guard lock(m_mutex);
            m_left = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

private:
    void watch() {
        std::unique_lock lock(m_mutex);
        if (m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_left; }))
            return;
        std::fprintf(stderr, "FAILED: %s did not end within 20 seconds\n", m_what.c_str());
        std::fflush(stderr);
        ::_exit(1);
    }

    std::string m_what;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_left = false;
    std::thread m_thread;
};

/// Files may not grow past `bytes` until the object goes; a write past it fails.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { lift(); }
    void lift() {
        if (m_lifted)
            return;
        m_lifted = true;
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_savedHandler);
    }

private:
    rlimit m_saved{};
    void (*m_savedHandler)(int) = nullptr;
    bool m_lifted = false;
};

enum class DataPathBox { CannotCreate, CannotWrite, SchedulerError, CaptureEnded };
enum class Quit { Sigterm, Sighup, LogOut, TrayExit };

class QuitDuringABoxTest : public MainFormTest,
                           public ::testing::WithParamInterface<std::tuple<DataPathBox, Quit>> {};

// A box opened by a block (or by the capture thread's end) keeps a worker thread waiting for
// the box's caller, lower on the window thread's stack. A quit arriving in that box must
// still end the program, with the recording finished and the settings saved.
TEST_P(QuitDuringABoxTest, EndsWithTheFileFinishedAndTheSettingsSaved) {
    const auto [box, quit] = GetParam();
    QTemporaryDir state;
    ASSERT_TRUE(state.isValid());
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
    WidgetMessageService boxes;
    setMessageService(&boxes);
    struct Restore {
        FakeMessages& fake;
        ~Restore() {
            setMessageService(&fake);
            qunsetenv("XDG_STATE_HOME");
        }
    } restore{messages};

    config.askconfirmation = false;
    config.splitteron = box == DataPathBox::CannotCreate;
    config.timelimit = 1;
    writeSettings();
    ASSERT_TRUE(create());
    countBlocks();
    for (const char* name : {"tressic.xml", "events.xml", "names.xml"})
        QFile::remove(settingsFolder() + QLatin1String(name));
    std::unique_ptr<QuitSignals> quitSignals;
    if (quit == Quit::Sigterm || quit == Quit::Sighup) {
        quitSignals = std::make_unique<QuitSignals>();
        ASSERT_TRUE(quitSignals->isInstalled());
        QObject::connect(quitSignals.get(), &QuitSignals::quitRequested, form.get(),
                         &TMainForm::closeWithoutQuestion);
    }
    // As the program does: the window's close ends the application's loops.
    QObject::connect(form.get(), &TMainForm::closed, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);

    form->recorder().StartClick();
    ASSERT_TRUE(form->recorder().writing);
    feed(0.25f);
    feed(0.25f);
    const QString file = form->recorder().outputfile;

    // What brings the box up, in the block delivered next.
    std::unique_ptr<FileSizeLimit> limit;
    int packets = 1;
    const char* expected = "";
    switch (box) {
    case DataPathBox::CannotCreate:
        // The split's next part gets a name no file system takes.
        config.namingexpression = QString(300, QLatin1Char('x'));
        clock.advanceMs(2000);
        expected = "Can not create audio file.";
        break;
    case DataPathBox::CannotWrite:
        limit = std::make_unique<FileSizeLimit>(QFileInfo(file).size() + 3 * PacketFrames * 4);
        packets = 12;
        expected = "Could not write";
        break;
    case DataPathBox::SchedulerError:
        // An event becomes due while the recording runs; its application cannot start.
        events[1] = TRecEvent();
        events[1].name = QStringLiteral("News");
        events[1].rep_mode = 1;
        events[1].startdate = datetime::addMilliseconds(clock.now(), -60'000);
        events[1].stopdate = datetime::addMilliseconds(clock.now(), 3'600'000);
        events[1].task = true;
        events[1].appname = m_dir.filePath(QStringLiteral("no-such-program"));
        config.numevents = 1;
        config.scheduler = true;
        expected = "Scheduler error";
        break;
    case DataPathBox::CaptureEnded:
        engine.failAt(SimCall::CaptureReleaseBuffer, AUDCLNT_E_INVALID_SIZE, 0, 1, Sink);
        expected = "Recording thread terminated";
        break;
    }
    for (int i = 0; i < packets; ++i)
        engine.queuePacket(Sink,
                           SimEngine::floatPacket(std::vector<float>(PacketFrames * 2, 0.25f), 2));

    QString seen;
    bool quitSent = false;
    const auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (quitSent)
            return;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* shown = qobject_cast<QMessageBox*>(w);
            if (shown && shown->isVisible())
                seen = shown->windowTitle() + QLatin1Char('\n') + shown->text();
        }
        if (seen.isEmpty()) {
            if (std::chrono::steady_clock::now() < giveUpAt)
                return;
            ADD_FAILURE() << "no message box came up";
            quitSent = true;
            form->closeWithoutQuestion();
            return;
        }
        quitSent = true;
        if (limit)
            limit->lift();
        switch (quit) {
        case Quit::Sigterm:
            ::raise(SIGTERM);
            break;
        case Quit::Sighup:
            ::raise(SIGHUP);
            break;
        case Quit::LogOut:
            form->sessionEnding();
            break;
        case Quit::TrayExit:
            for (QAction* action : form->popupMenu->actions())
                if (action->text() == QStringLiteral("Exit"))
                    action->trigger();
            break;
        }
    });
    {
        HangGuard guard("a quit while \"" + std::string(expected) + "\" was open");
        watch.start();
        QApplication::exec();
        watch.stop();
        // The program's end: the window goes once the loops have returned.
        form.reset();
    }
    quitSignals.reset();
    EXPECT_TRUE(seen.contains(QLatin1String(expected))) << qPrintable(seen);
    EXPECT_EQ(recordings(), QStringList{QFileInfo(file).fileName()}) << "nothing opened since";
    EXPECT_EQ(wavcheck::sizeProblem(file), QString());
    EXPECT_TRUE(RecordingJournal().entries().isEmpty()) << "left for the repair at the next start";
    for (const char* name : {"tressic.xml", "events.xml", "names.xml"})
        EXPECT_TRUE(QFile::exists(settingsFolder() + QLatin1String(name))) << name;
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<DataPathBox, Quit>>& info) {
    const char* const boxes[] = {"CannotCreate", "CannotWrite", "SchedulerError", "CaptureEnded"};
    const char* const quits[] = {"Sigterm", "Sighup", "LogOut", "TrayExit"};
    return std::string(boxes[static_cast<int>(std::get<0>(info.param))]) + "_" +
           quits[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, QuitDuringABoxTest,
    ::testing::Combine(::testing::Values(DataPathBox::CannotCreate, DataPathBox::CannotWrite,
                                         DataPathBox::SchedulerError, DataPathBox::CaptureEnded),
                       ::testing::Values(Quit::Sigterm, Quit::Sighup, Quit::LogOut,
                                         Quit::TrayExit)),
    caseName);

} // namespace
