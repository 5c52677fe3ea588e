// End to end through the private sound server: files of each format are played into its
// null sink while the sink's monitor is recorded, and what was recorded is compared with
// the file's decoded samples.
#include "platform/playback/pulseoutput.h"
#include "platform/playback/streamengine.h"
#include "support/soundfile.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>

using playback::PulseOutputDevice;
using playback::StreamPlaybackEngine;

namespace {

constexpr int kRate = 48000;

bool writeSound(const QString& path, int format, const std::vector<int16_t>& samples) {
    SF_INFO info{};
    info.samplerate = kRate;
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

/// The file's samples as 16-bit integers, decoded as floats with what overshoots full scale
/// clipped. The test support's decodeSound() reads 16-bit integers from libsndfile 1.2.0,
/// which wraps a lossy decoder's overshoot around instead of clipping it.
std::vector<int16_t> decodeClipped(const QString& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f) {
        return {};
    }
    std::vector<float> floats(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(f, floats.data(), info.frames);
    sf_close(f);
    std::vector<int16_t> samples(static_cast<size_t>(std::max<sf_count_t>(got, 0)) *
                                 static_cast<size_t>(info.channels));
    for (size_t i = 0; i < samples.size(); ++i) {
        const double v = std::clamp(double(floats[i]) * 32768.0, -32768.0, 32767.0);
        samples[i] = static_cast<int16_t>(std::lrint(v));
    }
    return samples;
}

/// Waits for `ready` with a generous guard; polls because the conditions are outside us.
template <typename F> bool waitUntil(F ready) {
    for (int i = 0; i < 3000; ++i) {
        if (ready()) {
            return true;
        }
        QThread::msleep(10);
    }
    return ready();
}

/// Records the test sink's monitor as 16-bit stereo at 48 kHz.
class MonitorRecording {
public:
    explicit MonitorRecording(const QString& file) : m_file(file) {
        const QString sink = qEnvironmentVariable("ORVANTA_TEST_SINK", "orvanta_test");
        m_process.start("parec", {"--device=" + sink + ".monitor", "--format=s16le", "--rate=48000",
                                  "--channels=2", "--raw", "--latency-msec=10", file});
    }
    ~MonitorRecording() { finish(); }

    bool started() {
        return m_process.waitForStarted(10000) && waitUntil([&] { return size() > 4096; });
    }
    qint64 size() const { return QFileInfo(m_file).size(); }
    std::vector<int16_t> finish() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(10000);
        }
        QFile f(m_file);
        std::vector<int16_t> samples;
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = f.readAll();
            samples.resize(static_cast<size_t>(bytes.size()) / 2);
            std::memcpy(samples.data(), bytes.constData(), samples.size() * 2);
        }
        return samples;
    }

private:
    QString m_file;
    QProcess m_process;
};

// The null sink's monitor loses the first few milliseconds of any stream that starts playing
// (PulseAudio 16.1: the sink rewinds to mix the new stream in at once, and what its monitor
// had already passed on is not taken back; paplay shows the same). So the files start with
// this much silence and only what follows it is compared.
constexpr int64_t kLeadFrames = kRate / 2;

/// `signal` after kLeadFrames frames of stereo silence.
std::vector<int16_t> withLeadingSilence(const std::vector<int16_t>& signal) {
    std::vector<int16_t> padded(static_cast<size_t>(kLeadFrames) * 2, 0);
    padded.insert(padded.end(), signal.begin(), signal.end());
    return padded;
}

/// The frame offset in `recorded` where `expected` starts best, by least difference over
/// frames of its signal, which begins at `signalFrame`.
int64_t align(const std::vector<int16_t>& recorded, const std::vector<int16_t>& expected,
              int64_t signalFrame) {
    // Probed from a quarter into the signal: silence would match anywhere, and a lossy
    // encoder smears the first frames of the signal.
    const int64_t probe = 512;
    const int64_t from =
        signalFrame + (static_cast<int64_t>(expected.size() / 2) - signalFrame) / 4;
    const int64_t frames = static_cast<int64_t>(recorded.size() / 2);
    int64_t best = -1;
    double bestError = 0;
    for (int64_t off = 0; off + from + probe < frames; ++off) {
        double error = 0;
        for (int64_t i = 0; i < probe * 2 && (best < 0 || error < bestError); ++i) {
            error += std::abs(recorded[(off + from) * 2 + i] - expected[from * 2 + i]);
        }
        if (best < 0 || error < bestError) {
            best = off;
            bestError = error;
        }
    }
    return best;
}

double correlation(const int16_t* a, const int16_t* b, size_t n) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; ++i) {
        ab += double(a[i]) * b[i];
        aa += double(a[i]) * a[i];
        bb += double(b[i]) * b[i];
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

class PulsePlayback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        QProcess pactl;
        pactl.start("pactl", {"info"});
        ASSERT_TRUE(pactl.waitForFinished(10000) && pactl.exitCode() == 0)
            << "no sound server: run the tests through the test command, which starts one";
        m_engine = std::make_unique<StreamPlaybackEngine>(
            std::make_unique<PulseOutputDevice>("orvanta playback test"));
        m_engine->onEnd = [this](PlayStream) { ++m_ends; };
        ASSERT_TRUE(m_engine->init());
    }

    /// Plays `file` to its end while the monitor is recorded; returns the recording.
    std::vector<int16_t> playAndRecord(const QString& file, float volume,
                                       std::vector<int64_t>* positions = nullptr) {
        MonitorRecording recording(m_dir.filePath(QString("monitor-%1.raw").arg(++m_recordings)));
        EXPECT_TRUE(recording.started());
        const PlayStream s = m_engine->open(file);
        EXPECT_NE(s, 0u);
        if (s == 0) {
            return {};
        }
        m_length = m_engine->length(s);
        m_engine->setVolume(s, volume);
        const int endsBefore = m_ends;
        m_engine->play(s, false);
        EXPECT_TRUE(waitUntil([&] {
            if (positions) {
                positions->push_back(m_engine->position(s));
            }
            return m_ends > endsBefore;
        }));
        m_finalPosition = m_engine->position(s);
        m_length = m_engine->length(s);
        EXPECT_EQ(m_engine->state(s), PlaybackState::Stopped);
        // Let the monitor take in the last of it: 200 ms more.
        const qint64 atEnd = recording.size();
        EXPECT_TRUE(waitUntil([&] { return recording.size() >= atEnd + kRate * 4 / 5; }));
        m_engine->freeStream(s);
        return recording.finish();
    }

    QTemporaryDir m_dir;
    std::unique_ptr<StreamPlaybackEngine> m_engine;
    std::atomic<int> m_ends{0};
    int64_t m_length = 0;
    int64_t m_finalPosition = 0;
    int m_recordings = 0;
};

TEST_F(PulsePlayback, EachFormatIsHeardAsDecoded) {
    const std::vector<int16_t> signal = withLeadingSilence(testSignal(kRate));
    const struct {
        const char* name;
        int format;
    } formats[] = {
        {"play.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {"play.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"play.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"play.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
    };
    for (const auto& f : formats) {
        SCOPED_TRACE(f.name);
        const QString file = m_dir.filePath(f.name);
        ASSERT_TRUE(writeSound(file, f.format, signal));
        // Lossy formats are compared with what the decoder makes of them.
        const std::vector<int16_t> expected = decodeClipped(file);
        if (QString(f.name).endsWith(".wav") || QString(f.name).endsWith(".flac")) {
            ASSERT_EQ(expected, signal);
        }
        ASSERT_GT(expected.size(), static_cast<size_t>(kLeadFrames) * 2);
        const std::vector<int16_t> recorded = playAndRecord(file, 1.0f);
        EXPECT_EQ(m_length, static_cast<int64_t>(expected.size()) * 2);
        const int64_t offset = align(recorded, expected, kLeadFrames);
        ASSERT_GE(offset, 0);
        ASSERT_GE(recorded.size(), static_cast<size_t>(offset) * 2 + expected.size());
        // Everything from the end of the leading silence on: the signal and what follows it.
        const size_t from = static_cast<size_t>(kLeadFrames) * 2;
        const int16_t* heard = recorded.data() + offset * 2;
        const double c = correlation(heard + from, expected.data() + from, expected.size() - from);
        EXPECT_GE(c, 0.999);
        if (c < 0.999) {
            for (size_t i = from; i < expected.size(); ++i) {
                if (std::abs(heard[i] - expected[i]) > 4) {
                    ADD_FAILURE() << "first difference at frame " << i / 2 << " of "
                                  << expected.size() / 2 << ", offset " << offset;
                    break;
                }
            }
        }
    }
    EXPECT_EQ(m_ends, 4);
}

TEST_F(PulsePlayback, PositionGrowsToTheLengthAndTheEndComesOnce) {
    const QString file = m_dir.filePath("position.wav");
    ASSERT_TRUE(writeWav16(file, kRate, 2, testSignal(kRate / 2)));
    std::vector<int64_t> positions;
    playAndRecord(file, 1.0f, &positions);
    ASSERT_FALSE(positions.empty());
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(m_length, kRate / 2 * 4);
    EXPECT_EQ(m_finalPosition, m_length);
    EXPECT_EQ(m_ends, 1);
}

TEST_F(PulsePlayback, HalfVolumeHalvesTheAmplitude) {
    const std::vector<int16_t> signal = withLeadingSilence(testSignal(kRate / 2, 7));
    const QString file = m_dir.filePath("volume.wav");
    ASSERT_TRUE(writeWav16(file, kRate, 2, signal));
    std::vector<int16_t> half(signal.size());
    for (size_t i = 0; i < signal.size(); ++i) {
        half[i] = static_cast<int16_t>(signal[i] / 2);
    }
    const std::vector<int16_t> recorded = playAndRecord(file, 0.5f);
    const int64_t offset = align(recorded, half, kLeadFrames);
    ASSERT_GE(offset, 0);
    ASSERT_GE(recorded.size(), static_cast<size_t>(offset) * 2 + signal.size());
    const size_t from = static_cast<size_t>(kLeadFrames) * 2;
    const int16_t* heard = recorded.data() + offset * 2;
    double heardSum = 0, original = 0;
    for (size_t i = from; i < signal.size(); ++i) {
        heardSum += std::abs(double(heard[i]));
        original += std::abs(double(signal[i]));
    }
    EXPECT_NEAR(heardSum / original, 0.5, 0.01);
    EXPECT_GE(correlation(heard + from, signal.data() + from, signal.size() - from), 0.999);
}

TEST_F(PulsePlayback, StopBeforeTheEndReportsNoEnd) {
    const QString file = m_dir.filePath("stop.wav");
    ASSERT_TRUE(writeWav16(file, kRate, 2, testSignal(kRate * 2)));
    const PlayStream s = m_engine->open(file);
    ASSERT_NE(s, 0u);
    m_engine->play(s, false);
    ASSERT_TRUE(waitUntil([&] { return m_engine->position(s) > 0; }));
    m_engine->pause(s);
    m_engine->sync();
    const int64_t held = m_engine->position(s);
    m_engine->sync();
    EXPECT_EQ(m_engine->position(s), held);
    std::vector<int16_t> buffer(1024);
    EXPECT_EQ(m_engine->data(s, buffer.data(), 2048), 2048);
    m_engine->stop(s);
    m_engine->sync();
    EXPECT_EQ(m_engine->state(s), PlaybackState::Stopped);
    m_engine->free();
    EXPECT_EQ(m_ends, 0);
}

} // namespace
