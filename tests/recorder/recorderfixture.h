#pragma once

#include "fakeview.h"

#include "capture/wasapisource.h"
#include "common/clock.h"
#include "common/handoff.h"
#include "platform/playback/playbackengine.h"
#include "recorder/recorder.h"
#include "settings/config.h"
#include "support/qtprint.h"
#include "support/soundfile.h"
#include "writers/audiowriter.h"
#include "writers/codectable.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

/// A recorder with a fake view, a manual clock and a capture source whose endpoint is
/// active, in a temporary output folder. Blocks are delivered by calling the handler
/// directly, 30 ms each, with the clock moved forward before each block.
class RecorderFixture : public ::testing::Test {
protected:
    static constexpr uint32_t Rate = 48000;
    static constexpr int BlockMs = 30;
    static constexpr size_t BlockFrames = Rate * BlockMs / 1000;

    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        defaultconfig(config);
        config.voxautodeletetime = 0;
        config.voxautodeletestart = 0;
        config.voxdeleteit = false;
        config.archive = m_dir.path();
        config.path = m_dir.path() + QStringLiteral("/");
        config.codec = 2;
        config.autoname = true;
        config.namingexpression = QStringLiteral("rec-NUM");
        TWASAPIDevice& card = source.cards.Add();
        card.Description = QStringLiteral("Card");
        TWASAPIDevice& endpoint = card.inputs->Add();
        endpoint.Description = QStringLiteral("Speakers");
        endpoint.State = 1;
        endpoint.SamplingRate = Rate;
        source.started = true;
        recorder.PCM = pcm16Stereo(Rate);
        recorder.setCaptureSource(&source);
        // The state after start-up.
        recorder.ShowStatus(0);
        view.setButtonEnabled(RecorderButton::Start, true);
        view.setButtonEnabled(RecorderButton::Stop, false);
        view.setButtonEnabled(RecorderButton::Pause, false);
        view.setButtonEnabled(RecorderButton::PlayButton, true);
        view.setButtonEnabled(RecorderButton::FolderButton, true);
    }

    void TearDown() override {
        for (int codec = 0; codec < CodecCount; ++codec)
            setWriterFactoryForTesting(codec, nullptr);
    }

    /// Makes the writer of a codec fail to be created, as a missing codec library does.
    static void breakCodec(int codec) {
        setWriterFactoryForTesting(
            codec, [](const QString&, const tWAVEFORMATEX&) -> std::unique_ptr<TAudioWriter> {
                throw std::runtime_error("MP3 output is not available: the library is missing.");
            });
    }

    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString folder() const { return m_dir.path(); }

    /// One block of `frames` frames: noise whose peak is exactly `peak` (0: silence).
    std::vector<int16_t> makeBlock(int peak, size_t frames = BlockFrames) {
        std::vector<int16_t> block(frames * 2, 0);
        if (peak == 0)
            return block;
        std::uniform_int_distribution<int> dist(-peak, peak);
        for (auto& s : block)
            s = static_cast<int16_t>(dist(m_rng));
        block[0] = static_cast<int16_t>(peak);
        return block;
    }

    /// Delivers a block after moving the clock on by its length.
    void deliver(const std::vector<int16_t>& block, int advanceMs = BlockMs) {
        clock.advanceMs(advanceMs);
        recorder.event(&source, block.data(), static_cast<int32_t>(block.size() * 2));
    }

    /// Delivers `ms` milliseconds of blocks with the given peak; returns their samples.
    std::vector<int16_t> feed(int ms, int peak) {
        std::vector<int16_t> all;
        for (int t = 0; t < ms; t += BlockMs) {
            const auto block = makeBlock(peak);
            deliver(block);
            all.insert(all.end(), block.begin(), block.end());
        }
        return all;
    }

    /// The capture thread ended with an error.
    void captureFailed() { recorder.event(&source, nullptr, -1); }

    QStringList filesInFolder() const {
        return QDir(m_dir.path()).entryList(QDir::Files, QDir::Name);
    }

    QTemporaryDir m_dir;
    std::mt19937 m_rng{7};
    WindowThreadHandoff handoff;
    TWASAPISource source{handoff, nullptr};
    ManualClock clock;
    FakeView view;
    NullPlaybackEngine playback;
    TRecorder recorder{view, clock, playback};
};
