// The recorder when files cannot be written, when a WAV file reaches its size limit, and
// when the capture ends while a message box is open inside the data handler.
#include "recorderfixture.h"

#include "capture/capturethreads.h"
#include "support/fakemessages.h"
#include "support/filesizelimit.h"
#include "writers/audiowriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

TEST_F(RecorderFixture, FullDiskWhileRecordingClosesTheFileAndKeepsWhatWasWritten) {
    constexpr int Blocks = 60;         // 345,600 bytes of audio
    constexpr uint64_t Limit = 200000; // the disk fills up part-way
    const int rc = runWithFileSizeLimit(Limit, [&] {
        recorder.StartClick();
        if (!recorder.writing)
            return 1;
        for (int i = 0; i < Blocks; ++i)
            deliver(makeBlock(4000));
        if (recorder.writing || recorder.rec)
            return 2;
        if (view.boxes.size() != 1)
            return 3;
        const FakeView::Box& box = view.boxes[0];
        if (box.caption != QStringLiteral("Can not write audio file.") ||
            !box.text.contains(recorder.lastfile) ||
            !box.text.contains(QStringLiteral("Failed to write data to file")))
            return 4;
        // Back to Ready, as after Stop; blocks go on being measured.
        if (view.status != QStringLiteral("Ready") || !view.enabled(RecorderButton::Start) ||
            view.enabled(RecorderButton::Stop) || view.enabled(RecorderButton::Pause) ||
            !view.enabled(RecorderButton::PlayButton) || recorder.maxl != 4000)
            return 5;
        return 0;
    });
    ASSERT_EQ(rc, 0);

    // The same blocks the child delivered (the generator's state was copied by fork).
    std::vector<int16_t> fed;
    for (int i = 0; i < Blocks; ++i) {
        const auto block = makeBlock(4000);
        fed.insert(fed.end(), block.begin(), block.end());
    }
    const DecodedSound sound = decodeSound(path(QStringLiteral("rec-100.wav")));
    ASSERT_TRUE(sound.ok) << qPrintable(sound.error);
    ASSERT_GT(sound.samples.size(), 0u);
    ASSERT_LE(sound.samples.size(), fed.size());
    EXPECT_TRUE(std::equal(sound.samples.begin(), sound.samples.end(), fed.begin()));
    // Everything up to the last full buffer that fitted is there.
    EXPECT_GE(sound.samples.size() * 2 + 44, Limit - 19200);
}

TEST_F(RecorderFixture, FullDiskWhileVoxRecordsGoesBackToListening) {
    config.vox = true;
    const int rc = runWithFileSizeLimit(100000, [&] {
        recorder.StartClick();
        for (int i = 0; i < 40 && view.boxes.empty(); ++i)
            deliver(makeBlock(4000));
        if (recorder.writing || recorder.rec || !recorder.voxarmed)
            return 1;
        if (view.status != QStringLiteral("Listen...") || view.boxes.size() != 1)
            return 2;
        // The sound goes on: the VOX opens the next file.
        deliver(makeBlock(4000));
        if (!recorder.rec || recorder.outputfile != path(QStringLiteral("rec-101.wav")))
            return 3;
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(decodeSound(path(QStringLiteral("rec-100.wav"))).ok);
}

TEST_F(RecorderFixture, WavFileContinuesInANewPartBeforeItsSizeLimit) {
    const auto first = feed(300, 5000);
    recorder.StartClick();
    const auto kept = feed(300, 5000);
    ASSERT_TRUE(recorder.rec);
    const uint64_t limit = recorder.rec->maxDataBytes();
    ASSERT_GT(limit, 4000000000u);
    // Pretend the file is just one block short of the limit.
    recorder.totalbytes = static_cast<int64_t>(limit - recorder.rec->pendingBytes()) - 5760;
    const auto fits = feed(30, 5000);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("rec-100.wav")));
    const auto next = feed(30, 5000);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("rec-101.wav")));
    EXPECT_EQ(recorder.partnumber, 1);
    EXPECT_TRUE(recorder.writing);
    EXPECT_EQ(view.status, QStringLiteral("Recording"));
    recorder.StopClick();
    const auto last = feed(30, 5000);

    DecodedSound a = decodeSound(path(QStringLiteral("rec-100.wav")));
    ASSERT_TRUE(a.ok);
    std::vector<int16_t> expectedA = kept;
    expectedA.insert(expectedA.end(), fits.begin(), fits.end());
    EXPECT_TRUE(a.samples == expectedA);
    DecodedSound b = decodeSound(path(QStringLiteral("rec-101.wav")));
    ASSERT_TRUE(b.ok);
    std::vector<int16_t> expectedB = next;
    expectedB.insert(expectedB.end(), last.begin(), last.end());
    EXPECT_TRUE(b.samples == expectedB);

    // With manual names the parts are named like a split by time, without a dialog, even
    // when splitting by time is off; the next recording starts again at part 0.
    config.autoname = false;
    view.saveAnswers.push_back(path(QStringLiteral("Show.wav")));
    recorder.StartClick();
    feed(60, 5000);
    recorder.totalbytes = static_cast<int64_t>(recorder.rec->maxDataBytes());
    feed(30, 5000);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("Show_part1.wav")));
    EXPECT_EQ(view.dialogs, 1);
    recorder.StopClick();
    feed(60, 5000);
    EXPECT_EQ(recorder.partnumber, 0);

    // With the VOX the next part opens at once, while the sound goes on.
    config.autoname = true;
    config.vox = true;
    recorder.StartClick();
    feed(60, 5000);
    const QString voxFirst = recorder.outputfile;
    recorder.totalbytes = static_cast<int64_t>(recorder.rec->maxDataBytes());
    feed(30, 5000);
    EXPECT_NE(recorder.outputfile, voxFirst);
    EXPECT_TRUE(recorder.rec);
    EXPECT_TRUE(recorder.voxarmed);
    EXPECT_EQ(view.status, QStringLiteral("Recording"));
    (void)first;
}

namespace {

/// Produces loud blocks as fast as the queue takes them, then fails like a vanished device.
class FailingProducer final : public CaptureThread {
public:
    FailingProducer(WindowThreadHandoff& handoff, TWASAPISource& owner, int blocks)
        : CaptureThread(handoff), m_owner(owner), m_blocks(blocks) {}
    ~FailingProducer() override {
        terminate();
        waitFor();
    }
    int32_t Init() override { return 0; }

protected:
    void execute() override {
        std::vector<int16_t> block(1440 * 2, 9000);
        for (int i = 0; i < m_blocks && !terminated(); ++i) {
            m_owner.queueBlock(makeCapturedBlock(block.data(), 5760));
            sleepFor(1);
        }
        errmsg = QStringLiteral("CaptureClient.GetBuffer Failed.");
        setReturnValue(static_cast<int32_t>(0x88890004u));
    }

private:
    TWASAPISource& m_owner;
    int m_blocks;
};

class NoRender final : public RenderThread {
public:
    using RenderThread::RenderThread;
    ~NoRender() override { waitFor(); }
    void Init() override {}

protected:
    void execute() override {}
};

class FailingFactory final : public CaptureThreadFactory {
public:
    explicit FailingFactory(WindowThreadHandoff& handoff) : m_handoff(handoff) {}
    std::unique_ptr<CaptureThread> createCaptureThread(TWASAPISource& owner, const TDataEvent&,
                                                       const tWAVEFORMATEX&) override {
        return std::make_unique<FailingProducer>(m_handoff, owner, 5);
    }
    std::unique_ptr<RenderThread> createRenderThread(TWASAPISource&) override {
        return std::make_unique<NoRender>(m_handoff);
    }

private:
    WindowThreadHandoff& m_handoff;
};

bool processEventsUntil(const std::function<bool()>& done) {
    QElapsedTimer guard;
    guard.start();
    while (!done()) {
        if (guard.elapsed() > 20000)
            return false; // a hang guard, not a timing assertion
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

} // namespace

// A writer error box opened inside the handler (here on a VOX start) runs a nested event
// loop. No further block may arrive until it closes, but the capture thread's termination
// report arriving meanwhile is served, and the recorder ends up consistent.
TEST_F(RecorderFixture, CaptureEndsWhileABoxIsOpenInsideTheHandler) {
    FakeMessages sourceMessages;
    FailingFactory factory(handoff);
    TWASAPISource live(handoff, &factory);
    TWASAPIDevice& card = live.cards.Add();
    card.Description = QStringLiteral("Card");
    TWASAPIDevice& endpoint = card.inputs->Add();
    endpoint.Description = QStringLiteral("Speakers");
    endpoint.State = 1;
    recorder.setCaptureSource(&live);

    int blocks = 0;
    bool captureEnded = false;
    live.OnError = [&](TWASAPISource*, const QString&) { captureEnded = true; };
    live.OnData = [&](TWASAPISource* sender, const void* data, int32_t size) {
        if (size > 0)
            ++blocks;
        recorder.event(sender, data, size);
    };

    config.vox = true;
    breakCodec(0);
    config.codec = 0; // the writer cannot be created: the box opens inside the handler
    int blocksWhenBoxOpened = -1;
    int blocksWhenBoxClosed = -1;
    view.whileBoxOpen = [&] {
        if (blocksWhenBoxOpened >= 0)
            return;
        blocksWhenBoxOpened = blocks;
        EXPECT_TRUE(processEventsUntil([&] { return captureEnded; }));
        blocksWhenBoxClosed = blocks;
        // Held back until the block in hand is finished.
        EXPECT_TRUE(recorder.voxarmed);
    };

    ASSERT_TRUE(live.startnew(0, 0, recorder.PCM));
    recorder.StartClick();
    ASSERT_TRUE(recorder.voxarmed);
    ASSERT_TRUE(processEventsUntil([&] { return captureEnded && blocks == 5; }));
    live.stop();

    EXPECT_EQ(blocksWhenBoxOpened, 1);
    EXPECT_EQ(blocksWhenBoxClosed, 1);
    // The capture failure was handled after the first block: the VOX went back to
    // listening, so the next queued loud block tried once more to open a file.
    ASSERT_EQ(view.boxes.size(), 2u);
    EXPECT_EQ(view.boxes[0].caption, QStringLiteral("Can not create audio file."));
    ASSERT_EQ(sourceMessages.shown.size(), 1u);
    EXPECT_EQ(sourceMessages.shown[0].caption, QStringLiteral("Recording thread terminated"));
    // No writer, and nothing claims to be recording.
    EXPECT_TRUE(recorder.voxarmed);
    EXPECT_FALSE(recorder.rec);
    EXPECT_EQ(view.status, QStringLiteral("Listen..."));
    EXPECT_FALSE(live.started);
    live.OnData = nullptr;
    recorder.setCaptureSource(&source);
}

// A part never takes the name of a file already finished: not when its name has gone away
// during the recording, not when a Stop is pending as the WAV file reaches its size limit.
TEST_F(RecorderFixture, NoPartReplacesAFinishedFile) {
    config.autoname = false;
    config.splitteron = true;
    config.timelimit = 1;
    view.saveAnswers.push_back(path(QStringLiteral("Show.wav")));
    recorder.StartClick();
    std::vector<int16_t> firstPart = feed(600, 5000);
    // As when the running scheduled event is deleted: the recording has no name of its own.
    recorder.globalname.clear();
    // The split comes after one second; 50 blocks are plenty.
    for (int i = 0; i < 50 && recorder.outputfile == path(QStringLiteral("Show.wav")); ++i) {
        const auto block = makeBlock(5000);
        deliver(block);
        if (recorder.outputfile == path(QStringLiteral("Show.wav")))
            firstPart.insert(firstPart.end(), block.begin(), block.end());
    }
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("Show (2).wav")));
    recorder.StopClick();
    feed(30, 5000);
    DecodedSound show = decodeSound(path(QStringLiteral("Show.wav")));
    ASSERT_TRUE(show.ok) << qPrintable(show.error);
    EXPECT_TRUE(show.samples == firstPart);

    // Stop is pending in the block that would take the file past its limit: that block is the
    // file's last, cut to what fits, and no part is opened for the rest.
    config.splitteron = false;
    view.saveAnswers.push_back(path(QStringLiteral("Take.wav")));
    recorder.StartClick();
    std::vector<int16_t> take = feed(60, 5000);
    ASSERT_TRUE(recorder.rec);
    recorder.totalbytes =
        static_cast<int64_t>(recorder.rec->maxDataBytes() - recorder.rec->pendingBytes()) - 2880;
    recorder.StopClick();
    const auto last = makeBlock(5000);
    deliver(last);
    EXPECT_FALSE(recorder.rec);
    take.insert(take.end(), last.begin(), last.begin() + 1440);
    DecodedSound taken = decodeSound(path(QStringLiteral("Take.wav")));
    ASSERT_TRUE(taken.ok) << qPrintable(taken.error);
    EXPECT_TRUE(taken.samples == take);
    EXPECT_EQ(filesInFolder(),
              (QStringList{QStringLiteral("Show (2).wav"), QStringLiteral("Show.wav"),
                           QStringLiteral("Take.wav")}));
    EXPECT_EQ(view.dialogs, 2);
}

// A disk that fills up as the file is finished is reported, in the window as in orvanta-rec
// (which counts it as a failed run); the file keeps what was written, with its sizes right.
TEST_F(RecorderFixture, AFileThatCannotBeFinishedIsReported) {
    constexpr uint64_t Written = 19200 + 1000; // the first 100 ms buffer and a bit
    const int rc = runWithFileSizeLimit(44 + Written, [&] {
        recorder.StartClick();
        feed(120, 4000); // one buffer written, 3840 bytes held back
        recorder.StopClick();
        deliver(makeBlock(4000)); // 9600 bytes to write as the file is finished
        if (recorder.rec || recorder.closeFailures != 1)
            return 1;
        if (view.boxes.size() != 1)
            return 2;
        const FakeView::Box& box = view.boxes[0];
        if (box.caption != QStringLiteral("Can not write audio file.") ||
            !box.text.contains(QStringLiteral("Could not finish the audio file ") +
                               recorder.lastfile) ||
            !box.text.contains(QStringLiteral("File too large")))
            return 3;
        return 0;
    });
    ASSERT_EQ(rc, 0);
    const DecodedSound sound = decodeSound(path(QStringLiteral("rec-100.wav")));
    ASSERT_TRUE(sound.ok) << qPrintable(sound.error);
    EXPECT_EQ(sound.samples.size() * 2, Written);
}

// Another recorder with the same template starts between this one's choice of a name and
// the opening of its file: each gets a file of its own.
TEST_F(RecorderFixture, TwoRecordersStartingAtOnceNeverShareAFile) {
    config.namingexpression = QStringLiteral("show");
    FakeView otherView;
    TRecorder other{otherView, clock, playback};
    other.PCM = recorder.PCM;
    other.setCaptureSource(&source);
    view.whileLabelSet = [&] {
        view.whileLabelSet = nullptr;
        other.StartClick();
    };
    recorder.StartClick();
    ASSERT_TRUE(recorder.rec && other.rec);
    EXPECT_NE(recorder.outputfile, other.outputfile);
    const auto mine = makeBlock(3000, BlockFrames * 8);
    const auto theirs = makeBlock(5000, BlockFrames * 8);
    recorder.event(&source, mine.data(), static_cast<int32_t>(mine.size() * 2));
    other.event(&source, theirs.data(), static_cast<int32_t>(theirs.size() * 2));
    recorder.fullstop();
    other.fullstop();
    EXPECT_EQ(decodeSound(recorder.lastfile).samples, mine);
    EXPECT_EQ(decodeSound(other.lastfile).samples, theirs);
}
