// The engine against the simulated output: its clock moves only when the test says so, so
// positions, pauses, the data now playing and the end notification are checked exactly.
#include "common/filename.h"
#include "platform/playback/simoutput.h"
#include "platform/playback/streamengine.h"
#include "support/soundfile.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <unistd.h>

using playback::SimOutputDevice;
using playback::StreamPlaybackEngine;

namespace {

constexpr int64_t kBuffer = 1024;
constexpr int64_t kLatency = 300;

class SimEngine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        auto device = std::make_unique<SimOutputDevice>(kBuffer, kLatency);
        m_sim = device.get();
        m_engine = std::make_unique<StreamPlaybackEngine>(std::move(device));
        m_engine->onEnd = [this](PlayStream s) {
            std::lock_guard lock(m_endMutex);
            m_ends.push_back(s);
            m_endCv.notify_all();
        };
        ASSERT_TRUE(m_engine->init());
    }
    void TearDown() override { m_engine->free(); }

    QString path(const QString& name) const { return m_dir.filePath(name); }

    QString wavFile(const QString& name, size_t frames, int rate = 48000) {
        m_signal = testSignal(frames);
        EXPECT_TRUE(writeWav16(path(name), rate, 2, m_signal));
        return path(name);
    }

    QString rawFile(const QString& name, const QByteArray& bytes) {
        QFile f(path(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        return path(name);
    }

    /// Runs the simulated clock with the engine caught up before and after.
    void advance(int64_t frames) {
        m_engine->sync();
        m_sim->advance(frames);
        m_engine->sync();
    }

    std::vector<PlayStream> ends() {
        std::lock_guard lock(m_endMutex);
        return m_ends;
    }

    bool waitForEnds(size_t count) {
        std::unique_lock lock(m_endMutex);
        return m_endCv.wait_for(lock, std::chrono::seconds(20),
                                [&] { return m_ends.size() >= count; });
    }

    std::vector<int16_t> expected(int64_t fromFrame, int64_t frames) const {
        return {m_signal.begin() + fromFrame * 2, m_signal.begin() + (fromFrame + frames) * 2};
    }

    QTemporaryDir m_dir;
    SimOutputDevice* m_sim = nullptr;
    std::unique_ptr<StreamPlaybackEngine> m_engine;
    std::vector<int16_t> m_signal;
    std::mutex m_endMutex;
    std::condition_variable m_endCv;
    std::vector<PlayStream> m_ends;
};

TEST_F(SimEngine, ReportsLengthInfoAndSeconds) {
    const QString file = wavFile("info.wav", 22050, 44100);
    const PlayStream s = m_engine->open(file);
    ASSERT_NE(s, 0u);
    EXPECT_EQ(m_engine->length(s), 22050 * 4);
    EXPECT_EQ(m_engine->position(s), 0);
    EXPECT_EQ(m_engine->state(s), PlaybackState::Stopped);
    EXPECT_DOUBLE_EQ(m_engine->bytesToSeconds(s, 44100 * 4), 1.0);
    EXPECT_DOUBLE_EQ(m_engine->bytesToSeconds(s, 22050 * 4), 0.5);
    const PlaybackInfo info = m_engine->info(s);
    EXPECT_EQ(info.sampleRate, 44100);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.file, file);

    // Mono at 8 kHz: 16,000 bytes are one second.
    std::vector<int16_t> mono(8000, 100);
    ASSERT_TRUE(writeWav16(path("mono.wav"), 8000, 1, mono));
    const PlayStream m = m_engine->open(path("mono.wav"));
    ASSERT_NE(m, 0u);
    EXPECT_DOUBLE_EQ(m_engine->bytesToSeconds(m, 16000), 1.0);
    EXPECT_EQ(m_engine->length(m), 16000);
}

TEST_F(SimEngine, SeeksToFrameAlignedBytePositions) {
    // 10,000,000 bytes of 16-bit stereo: the slider's 50 of 100 is byte 5,000,000.
    std::vector<int16_t> silence(2'500'000 * 2, 0);
    ASSERT_TRUE(writeWav16(path("long.wav"), 48000, 2, silence));
    const PlayStream s = m_engine->open(path("long.wav"));
    ASSERT_NE(s, 0u);
    const int64_t length = m_engine->length(s);
    ASSERT_EQ(length, 10'000'000);
    m_engine->setPosition(s, 50 * length / 100);
    EXPECT_EQ(m_engine->position(s), 5'000'000);
    m_engine->setPosition(s, 5'000'003);
    EXPECT_EQ(m_engine->position(s), 5'000'000);
    m_engine->setPosition(s, length * 2);
    EXPECT_EQ(m_engine->position(s), length);
}

TEST_F(SimEngine, PositionFollowsWhatIsHeardAndEndsOnce) {
    const int64_t frames = 5000;
    const PlayStream s = m_engine->open(wavFile("play.wav", frames));
    ASSERT_NE(s, 0u);
    m_engine->play(s, false);
    EXPECT_EQ(m_engine->state(s), PlaybackState::Playing);

    int64_t clock = 0;
    int64_t last = 0;
    while (clock < frames + kLatency) {
        advance(700);
        clock += 700;
        const int64_t pos = m_engine->position(s);
        const int64_t heard = std::clamp<int64_t>(clock - kLatency, 0, frames);
        if (heard < frames) {
            EXPECT_EQ(pos, heard * 4) << "clock " << clock;
        }
        EXPECT_GE(pos, last);
        last = pos;
    }
    ASSERT_TRUE(waitForEnds(1));
    m_engine->sync();
    EXPECT_EQ(m_engine->state(s), PlaybackState::Stopped);
    EXPECT_EQ(m_engine->position(s), m_engine->length(s));
    EXPECT_EQ(m_sim->heard(), m_signal);

    // The clock running on does not end it again.
    m_sim->advance(2000);
    m_engine->sync();
    EXPECT_EQ(ends(), std::vector<PlayStream>{s});

    // Playing an ended stream starts it over, and it ends once more.
    m_engine->play(s, false);
    advance(frames + kLatency);
    ASSERT_TRUE(waitForEnds(2));
    EXPECT_EQ(ends(), (std::vector<PlayStream>{s, s}));
}

TEST_F(SimEngine, PauseKeepsPositionAndResumeHasNoGapOrRepeat) {
    const int64_t frames = 6000;
    const PlayStream s = m_engine->open(wavFile("pause.wav", frames));
    m_engine->play(s, false);
    advance(2000);
    m_engine->pause(s);
    EXPECT_EQ(m_engine->state(s), PlaybackState::Paused);
    m_engine->sync();
    const int64_t held = m_engine->position(s);
    EXPECT_EQ(held, (2000 - kLatency) * 4);
    EXPECT_FALSE(m_sim->advance(1500)); // the clock does not run while paused
    EXPECT_EQ(m_engine->position(s), held);

    m_engine->play(s, false);
    EXPECT_EQ(m_engine->state(s), PlaybackState::Playing);
    advance(frames - 2000 + kLatency);
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(m_sim->heard(), m_signal);
    EXPECT_EQ(ends().size(), 1u);
}

TEST_F(SimEngine, DataWhilePausedIsWhatIsAtTheHeldPosition) {
    // Like a sound server, the output's clock runs on a little while the pause takes effect;
    // the position stays where the pause was asked for, and so does the data now playing.
    const int64_t overshoot = 100;
    m_sim->setPauseOvershoot(overshoot);
    const int64_t frames = 6000;
    const PlayStream s = m_engine->open(wavFile("pausedata.wav", frames));
    m_engine->play(s, false);
    advance(2000);
    m_engine->pause(s);
    m_engine->sync();
    const int64_t held = m_engine->position(s) / 4;
    EXPECT_EQ(held, 2000 - kLatency);
    std::vector<int16_t> buffer(1024);
    ASSERT_EQ(m_engine->data(s, buffer.data(), 2048), 2048);
    EXPECT_EQ(buffer, expected(held, 512));
    m_engine->sync();
    ASSERT_EQ(m_engine->data(s, buffer.data(), 2048), 2048);
    EXPECT_EQ(buffer, expected(held, 512));

    // Resuming goes on from where the clock really stopped: nothing is heard twice or lost.
    m_engine->play(s, false);
    advance(frames - 2000 - overshoot + kLatency);
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(m_sim->heard(), m_signal);
    // Stopped at its end: nothing plays.
    EXPECT_EQ(m_engine->data(s, buffer.data(), 2048), 0);
}

TEST_F(SimEngine, FloatFilesKeepTheirLevelAndClipWhatOvershoots) {
    // A quiet file stays quiet; a sample beyond full scale clips instead of wrapping around.
    const int64_t frames = 2000;
    std::vector<float> floats(frames * 2);
    std::vector<int16_t> want(floats.size());
    for (size_t i = 0; i < floats.size(); ++i) {
        const int q = static_cast<int>(i % 200) - 100; // -100 .. 99: a quiet ramp
        floats[i] = static_cast<float>(q) / 32768.0f;
        want[i] = static_cast<int16_t>(q);
    }
    floats[10] = 1.5f;
    want[10] = 32767;
    floats[11] = -2.0f;
    want[11] = -32768;
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* f = sf_open(QFile::encodeName(path("float.wav")).constData(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(sf_writef_float(f, floats.data(), frames), frames);
    sf_close(f);

    const PlayStream s = m_engine->open(path("float.wav"));
    ASSERT_NE(s, 0u);
    m_engine->play(s, false);
    advance(frames + kLatency);
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(m_sim->heard(), want);
}

TEST_F(SimEngine, DataNowPlayingIsWhatIsBeingHeard) {
    const int64_t frames = 8000;
    const PlayStream s = m_engine->open(wavFile("data.wav", frames));
    std::vector<int16_t> buffer(1024);
    EXPECT_EQ(m_engine->data(s, buffer.data(), 2048), 0); // nothing plays yet
    m_engine->play(s, false);
    int64_t clock = 0;
    for (int64_t target : {100, 1000, 2500, 7000}) {
        advance(target - clock);
        clock = target;
        const int64_t at = m_engine->position(s) / 4;
        ASSERT_EQ(at, std::max<int64_t>(clock - kLatency, 0));
        const int32_t got = m_engine->data(s, buffer.data(), 2048);
        ASSERT_EQ(got, 2048) << "at frame " << at;
        EXPECT_EQ(buffer, expected(at, 512)) << "at frame " << at;
    }
    // Near the end only what is left comes back.
    advance(frames - 100 + kLatency - clock);
    ASSERT_EQ(m_engine->position(s) / 4, frames - 100);
    EXPECT_EQ(m_engine->data(s, buffer.data(), 2048), 400);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 200, m_signal.end() - 200));
    // Whole frames only.
    EXPECT_EQ(m_engine->data(s, buffer.data(), 7), 4);
}

TEST_F(SimEngine, VolumeScalesWhatIsHeard) {
    const int64_t frames = 3000;
    const PlayStream s = m_engine->open(wavFile("volume.wav", frames));
    m_engine->setVolume(s, 0.5f);
    m_engine->play(s, false);
    advance(frames + kLatency);
    ASSERT_TRUE(waitForEnds(1));
    const std::vector<int16_t> heard = m_sim->heard();
    ASSERT_EQ(heard.size(), m_signal.size());
    for (size_t i = 0; i < heard.size(); ++i) {
        ASSERT_NEAR(heard[i], m_signal[i] / 2.0, 0.51) << "sample " << i;
    }
    // The data now playing is the file's, before the volume.
    m_engine->setVolume(s, 7.0f); // clamped to full volume
    m_engine->play(s, true);
    advance(1000);
    std::vector<int16_t> buffer(8);
    ASSERT_EQ(m_engine->data(s, buffer.data(), 16), 16);
    EXPECT_EQ(buffer, expected(1000 - kLatency, 4));
    const std::vector<int16_t> now = m_sim->heard();
    EXPECT_EQ(now.back(), m_signal[(1000 - kLatency) * 2 - 1]);
}

TEST_F(SimEngine, StopNeverEndsAndPlayContinuesOrRestarts) {
    const int64_t frames = 4000;
    const PlayStream s = m_engine->open(wavFile("stop.wav", frames));
    m_engine->play(s, false);
    advance(1300);
    m_engine->stop(s);
    EXPECT_EQ(m_engine->state(s), PlaybackState::Stopped);
    const int64_t at = m_engine->position(s);
    EXPECT_EQ(at, 1000 * 4);
    m_engine->sync();
    EXPECT_FALSE(m_sim->advance(frames));
    EXPECT_TRUE(ends().empty());
    EXPECT_EQ(m_engine->data(s, nullptr, 0), 0);

    // Play without restart goes on from the stop.
    m_engine->play(s, false);
    advance(500 + kLatency);
    EXPECT_EQ(m_engine->position(s), (1000 + 500) * 4);
    // Restart starts over; what is heard since then is the file from its beginning.
    const size_t before = m_sim->heard().size();
    m_engine->play(s, true);
    EXPECT_EQ(m_engine->position(s), 0);
    advance(frames + kLatency);
    ASSERT_TRUE(waitForEnds(1));
    const std::vector<int16_t> heard = m_sim->heard();
    EXPECT_EQ(std::vector<int16_t>(heard.begin() + static_cast<ptrdiff_t>(before), heard.end()),
              m_signal);
    EXPECT_EQ(ends().size(), 1u);
}

TEST_F(SimEngine, SeekWhilePlayingHearsFromTheNewPosition) {
    const int64_t frames = 20000;
    const PlayStream s = m_engine->open(wavFile("seek.wav", frames));
    m_engine->play(s, false);
    advance(1000);
    const size_t before = m_sim->heard().size();
    m_engine->setPosition(s, 12345 * 4 + 2);
    EXPECT_EQ(m_engine->position(s), 12345 * 4);
    advance(2000 + kLatency);
    EXPECT_EQ(m_engine->position(s), (12345 + 2000) * 4);
    const std::vector<int16_t> heard = m_sim->heard();
    EXPECT_EQ(std::vector<int16_t>(heard.begin() + static_cast<ptrdiff_t>(before), heard.end()),
              expected(12345, 2000));

    // Seeking while paused moves the position; the stream stays paused.
    m_engine->pause(s);
    m_engine->setPosition(s, 100 * 4);
    EXPECT_EQ(m_engine->position(s), 400);
    EXPECT_EQ(m_engine->state(s), PlaybackState::Paused);
    m_engine->play(s, false);
    advance(50 + kLatency);
    EXPECT_EQ(m_engine->position(s), 150 * 4);
}

TEST_F(SimEngine, EndIsNotReportedAfterStopOrFree) {
    const int64_t frames = 2000;
    const PlayStream a = m_engine->open(wavFile("a.wav", frames));
    m_engine->play(a, false);
    advance(frames); // everything written and drained, the last frames still in the latency
    m_engine->stop(a);
    m_engine->sync();
    const PlayStream b = m_engine->open(path("a.wav"));
    m_engine->play(b, false);
    advance(frames);
    m_engine->freeStream(b);
    m_engine->sync();
    EXPECT_FALSE(m_sim->advance(kLatency * 2));
    m_engine->sync();
    EXPECT_TRUE(ends().empty());
    // Calls on the freed handle do nothing.
    m_engine->play(b, false);
    EXPECT_EQ(m_engine->state(b), PlaybackState::Stopped);
    EXPECT_EQ(m_engine->length(b), 0);
}

TEST_F(SimEngine, ANameThatIsNotUtf8IsOpenedByItsBytes) {
    const QByteArray bytes = QFile::encodeName(m_dir.path()) + "/caf\xE9.wav";
    ASSERT_EQ(::rename(QFile::encodeName(wavFile("cafe.wav", 100)).constData(), bytes.constData()),
              0);
    const PlayStream s = m_engine->open(fileNameFromBytes(bytes));
    EXPECT_NE(s, 0u) << m_engine->openError().toStdString();
    m_engine->freeStream(s);
    ::unlink(bytes.constData()); // the temporary folder cannot remove it
}

TEST_F(SimEngine, HandleZeroAndUnknownHandlesDoNothing) {
    EXPECT_EQ(m_engine->open(path("missing.wav")), 0u);
    for (PlayStream s : {PlayStream{0}, PlayStream{4711}}) {
        m_engine->play(s, true);
        m_engine->pause(s);
        m_engine->setPosition(s, 100);
        m_engine->setVolume(s, 0.5f);
        m_engine->stop(s);
        m_engine->freeStream(s);
        std::vector<int16_t> buffer(16, 7);
        EXPECT_EQ(m_engine->data(s, buffer.data(), 32), 0);
        EXPECT_EQ(m_engine->state(s), PlaybackState::Stopped);
        EXPECT_EQ(m_engine->length(s), 0);
        EXPECT_EQ(m_engine->position(s), 0);
        EXPECT_EQ(m_engine->bytesToSeconds(s, 1000), 0.0);
        EXPECT_EQ(m_engine->info(s).sampleRate, 0);
        EXPECT_TRUE(m_engine->info(s).file.isEmpty());
    }
    // An engine that was never started opens nothing.
    StreamPlaybackEngine idle(std::make_unique<SimOutputDevice>(kBuffer, kLatency));
    EXPECT_EQ(idle.open(wavFile("idle.wav", 100)), 0u);
}

TEST_F(SimEngine, TwoStreamsAtOnceAndHandlesAreNotReused) {
    const PlayStream a = m_engine->open(wavFile("two.wav", 3000));
    const PlayStream b = m_engine->open(path("two.wav"));
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_NE(a, b);
    m_engine->play(a, false);
    m_engine->play(b, false);
    m_engine->sync();
    EXPECT_EQ(m_sim->streamsOpened(), 2);
    m_engine->freeStream(a);
    const PlayStream c = m_engine->open(path("two.wav"));
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    EXPECT_EQ(m_engine->state(a), PlaybackState::Stopped);
    EXPECT_EQ(m_engine->state(b), PlaybackState::Playing);
    // Freeing the engine with streams playing closes everything.
    m_engine->free();
    EXPECT_EQ(m_engine->state(b), PlaybackState::Stopped);
    EXPECT_TRUE(ends().empty());
}

TEST_F(SimEngine, AnOutputThatCannotOpenEndsTheStream) {
    const PlayStream s = m_engine->open(wavFile("nooutput.wav", 1000));
    m_sim->failNextOpen();
    m_engine->play(s, false);
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(m_engine->state(s), PlaybackState::Stopped);
}

/// Writes `samples` in a libsndfile format; false when this libsndfile cannot.
bool writeSound(const QString& path, int format, const std::vector<int16_t>& samples) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = format;
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f) {
        return false;
    }
    const sf_count_t frames = static_cast<sf_count_t>(samples.size() / 2);
    const bool ok = sf_writef_short(f, samples.data(), frames) == frames;
    return sf_close(f) == 0 && ok;
}

// Every bad file either gives handle 0 or plays and ends cleanly: no crash, no hang.
TEST_F(SimEngine, BadInputNeverCrashesOrHangs) {
    std::vector<std::pair<QString, QString>> cases;
    cases.push_back({"missing", path("nothing here.wav")});
    cases.push_back({"empty file", rawFile("empty.wav", {})});
    cases.push_back({"empty mp3", rawFile("empty.mp3", {})});
    cases.push_back({"empty flac", rawFile("empty.flac", {})});
    cases.push_back({"empty ogg", rawFile("empty.ogg", {})});
    QByteArray noise;
    for (int i = 0; i < 20000; ++i) {
        noise.append(static_cast<char>((i * 7919 + 13) % 251));
    }
    cases.push_back({"noise mp3", rawFile("noise.mp3", noise)});
    cases.push_back({"noise flac", rawFile("noise.flac", QByteArray("fLaC") + noise)});
    cases.push_back({"noise ogg", rawFile("noise.ogg", QByteArray("OggS") + noise)});
    cases.push_back({"a folder", m_dir.path()});

    const std::vector<int16_t> signal = testSignal(20000);
    const struct {
        const char* name;
        int format;
    } formats[] = {
        {"t.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {"t.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"t.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"t.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
    };
    for (const auto& f : formats) {
        ASSERT_TRUE(writeSound(path(f.name), f.format, signal)) << f.name;
        QFile whole(path(f.name));
        ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
        const QByteArray bytes = whole.readAll();
        cases.push_back({QString("truncated ") + f.name,
                         rawFile(QString("cut-") + f.name, bytes.left(bytes.size() / 2))});
        QByteArray damaged = bytes;
        for (qsizetype i = damaged.size() / 3; i < damaged.size(); i += 97) {
            damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
        }
        cases.push_back({QString("damaged ") + f.name, rawFile(QString("bad-") + f.name, damaged)});
        // libsndfile goes by content, so a wrong extension still plays.
        cases.push_back(
            {QString("renamed ") + f.name, rawFile(QString(f.name) + ".wrong.wav", bytes)});
    }
    ASSERT_TRUE(writeSound(path("zero.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, {}));
    cases.push_back({"zero-frame flac", path("zero.flac")});
    ASSERT_TRUE(writeSound(path("zero.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, {}));
    cases.push_back({"zero-frame wav", path("zero.wav")});

    size_t expectedEnds = 0;
    for (const auto& [what, file] : cases) {
        SCOPED_TRACE(what.toStdString());
        const PlayStream s = m_engine->open(file);
        if (s == 0) {
            continue;
        }
        m_engine->play(s, false);
        // Run the clock until it ends; the guard only stops a broken engine.
        for (int i = 0; i < 200 && m_engine->state(s) == PlaybackState::Playing; ++i) {
            advance(4800);
        }
        ++expectedEnds;
        ASSERT_TRUE(waitForEnds(expectedEnds));
        EXPECT_EQ(m_engine->state(s), PlaybackState::Stopped);
        EXPECT_EQ(m_engine->position(s), m_engine->length(s));
        EXPECT_EQ(static_cast<int64_t>(m_sim->heard().size()) * 2 % 4, 0);
        m_engine->freeStream(s);
    }
    EXPECT_EQ(ends().size(), expectedEnds);
}

TEST_F(SimEngine, TruncatedWavEndsAtItsRealLength) {
    wavFile("full.wav", 10000);
    QFile whole(path("full.wav"));
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.readAll();
    // The header still announces 10,000 frames; 4,000 are there.
    const PlayStream s = m_engine->open(rawFile("cut.wav", bytes.left(44 + 4000 * 4)));
    ASSERT_NE(s, 0u);
    m_engine->play(s, false);
    advance(4000 + kLatency);
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(m_engine->length(s), 4000 * 4);
    EXPECT_EQ(m_engine->position(s), 4000 * 4);
    EXPECT_EQ(m_sim->heard(), expected(0, 4000));
}

TEST_F(SimEngine, PathsWithSpacesAndNonAsciiPlay) {
    const QString file = wavFile(QString::fromUtf8("Aufnahme größe – 録音 1.wav"), 1500);
    const PlayStream s = m_engine->open(file);
    ASSERT_NE(s, 0u);
    EXPECT_EQ(m_engine->info(s).file, file);
    m_engine->play(s, false);
    advance(1500 + kLatency);
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(m_sim->heard(), m_signal);
}

} // namespace
