#pragma once

// The main window over the simulated audio engine, offscreen, with a hand-moved clock and
// its own settings folder; shared by the window's tests.
#include "recorder/ui/mainform.h"
#include "support/eventloop.h"
#include "support/fakemessages.h"

#include "capture/wasapisource.h"
#include "common/handoff.h"
#include "platform/audio/sim/simengine.h"
#include "platform/desktop/hotkeys.h"
#include "platform/playback/streamengine.h"
#include "settings/config.h"
#include "settings/settingsfile.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

inline constexpr uint32_t Rate = 48000;
inline constexpr uint32_t PacketFrames = 2400; // 50 ms
inline const QString Sink = QStringLiteral("sink:speakers");

/// A playback engine whose position and length the test sets.
class FakePlayback final : public PlaybackEngine {
public:
    bool init() override { return true; }
    void free() override {}
    PlayStream open(const QString& file) override {
        opened << file;
        return ++m_next;
    }
    void play(PlayStream, bool) override { playing = true; }
    void pause(PlayStream) override { playing = false; }
    void stop(PlayStream) override { playing = false; }
    void freeStream(PlayStream) override {}
    PlaybackState state(PlayStream s) const override {
        return s != 0 ? PlaybackState::Playing : PlaybackState::Stopped;
    }
    int64_t length(PlayStream) const override { return lengthBytes; }
    int64_t position(PlayStream) const override { return positionBytes; }
    double bytesToSeconds(PlayStream, int64_t bytes) const override {
        return static_cast<double>(bytes) / (Rate * 4.0);
    }
    void setPosition(PlayStream, int64_t bytes) override { positionBytes = bytes; }
    void setVolume(PlayStream, float v) override { volume = v; }
    int32_t data(PlayStream, void*, int32_t) override { return 0; }
    PlaybackInfo info(PlayStream s) const override {
        return {int32_t(Rate), 2, s != 0 && !opened.isEmpty() ? opened.last() : QString()};
    }

    QStringList opened;
    bool playing = false;
    int64_t lengthBytes = 0;
    int64_t positionBytes = 0;
    float volume = -1.0f;

private:
    PlayStream m_next = 0;
};

class MainFormTest : public ::testing::Test {
protected:
    MainFormTest() {
        qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
        m_out = m_dir.filePath(QStringLiteral("out"));
        QDir().mkpath(m_out);
        audio::SimEndpoint e;
        e.id = Sink;
        e.dataFlow = audio::eRender;
        e.cardName = QStringLiteral("Card");
        e.endpointName = QStringLiteral("Speakers");
        e.mixFormat = audio::SimEngine::floatFormat(Rate, 2);
        engine.addEndpoint(e);
        engine.setDefaultEndpoint(audio::eRender, Sink);
        // The settings the program finds at its start: WAV, automatic names, our folder.
        defaultconfig(config);
        config.archive = m_out;
        config.codec = 2;
        config.autoname = true;
        config.namingexpression = QStringLiteral("take-NUM");
        config.askconfirmation = true;
        writeSettings();
    }
    ~MainFormTest() override {
        form.reset();
        qunsetenv("XDG_CONFIG_HOME");
    }

    void writeSettings() {
        ASSERT_TRUE(QDir().mkpath(settingsFolder()));
        ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), config));
    }

    MainFormServices services(PlaybackEngine& playback) {
        return {.engine = engine,
                .playback = playback,
                .clock = clock,
                .handoff = handoff,
                .hotKeys = &hotKeys,
                .silentUpdateCheck = {},
                .updateCheck = {},
                .reportError = {},
                .trayAvailable = [this] { return trayThere; }};
    }

    bool create(PlaybackEngine* playback = nullptr) {
        form = std::make_unique<TMainForm>(services(playback ? *playback : fakePlayback));
        if (!form->FormCreate())
            return false;
        form->createSchedulerWindow();
        form->createBrowserWindow();
        return true;
    }

    /// Delivers one packet of a constant level and waits until the window has handled it.
    void feed(float level) {
        TWASAPISource* source = form->captureSource();
        ASSERT_NE(source, nullptr);
        const uint64_t before = delivered;
        engine.queuePacket(
            Sink, audio::SimEngine::floatPacket(std::vector<float>(PacketFrames * 2, level), 2));
        ASSERT_TRUE(processUntil([&] { return delivered > before; }));
    }

    /// Counts the blocks that reach the recorder.
    void countBlocks() {
        TWASAPISource* source = form->captureSource();
        TRecorder* recorder = &form->recorder();
        source->OnData = [this, recorder](TWASAPISource* s, const void* data, int32_t size) {
            recorder->event(s, data, size);
            ++delivered;
        };
    }

    QStringList recordings() const {
        return QDir(m_out).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    }

    int loopbackStreams() const {
        int n = 0;
        for (const audio::SimStream& s : engine.streams())
            n += (s.streamFlags & audio::AUDCLNT_STREAMFLAGS_LOOPBACK) != 0;
        return n;
    }

    QTemporaryDir m_dir;
    QTemporaryDir m_config;
    QString m_out;
    FakeMessages messages;
    audio::SimEngine engine;
    ManualClock clock;
    WindowThreadHandoff handoff;
    FakePlayback fakePlayback;
    FakeHotKeyBackend hotKeys;
    bool trayThere = false;
    uint64_t delivered = 0;
    std::unique_ptr<TMainForm> form;
};
