#include "recorderfixture.h"

#include "recorder/journal.h"
#include "settings/config.h"
#include "writers/audiowriter.h"
#include "writers/codectable.h"

#include <QFile>
#include <QFileInfo>

using Button = RecorderButton;

namespace {

std::vector<int16_t> concat(std::initializer_list<std::vector<int16_t>> parts) {
    std::vector<int16_t> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

void expectDecodesTo(const QString& file, const std::vector<int16_t>& samples) {
    const DecodedSound sound = decodeSound(file);
    ASSERT_TRUE(sound.ok) << qPrintable(file) << ": " << qPrintable(sound.error);
    EXPECT_EQ(sound.channels, 2);
    EXPECT_EQ(sound.sampleRate, 48000);
    ASSERT_EQ(sound.samples.size(), samples.size()) << qPrintable(file);
    EXPECT_TRUE(sound.samples == samples) << qPrintable(file);
}

} // namespace

TEST_F(RecorderFixture, StartPauseStopRecordsEveryUnpausedBlock) {
    feed(90, 5000); // blocks before Start are measured, not written
    EXPECT_EQ(recorder.maxl, 5000);

    recorder.StartClick();
    ASSERT_TRUE(recorder.writing);
    EXPECT_EQ(view.status, QStringLiteral("Recording"));
    EXPECT_EQ(view.statusColour, TRecorder::TEXTRED);
    EXPECT_EQ(view.tray, 1);
    EXPECT_FALSE(view.enabled(Button::Start));
    EXPECT_TRUE(view.enabled(Button::Stop));
    EXPECT_TRUE(view.enabled(Button::Pause));
    EXPECT_FALSE(view.enabled(Button::PlayButton));
    EXPECT_FALSE(view.enabled(Button::FolderButton));
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("rec-100.wav")));
    EXPECT_EQ(view.fileLabel, QStringLiteral("File:  rec-100.wav"));
    EXPECT_EQ(view.fileHint, recorder.outputfile);
    EXPECT_EQ(config.nextnumber, 1);

    const auto first = feed(300, 8000);
    const TDateTime startedAt = recorder.filestart;
    recorder.pauseClick();
    EXPECT_EQ(view.status, QStringLiteral("Pause"));
    EXPECT_EQ(view.statusColour, TRecorder::TEXTYELLOW);
    feed(600, 9000); // not recorded
    recorder.pauseClick();
    EXPECT_EQ(view.status, QStringLiteral("Recording"));
    // Paused time does not count toward the file's elapsed time.
    EXPECT_EQ(datetime::millisecondsBetween(recorder.filestart, startedAt), 600);

    const auto second = feed(300, 7000);
    recorder.StopClick();
    EXPECT_TRUE(recorder.closefile);
    EXPECT_TRUE(view.enabled(Button::Start));
    EXPECT_FALSE(view.enabled(Button::Pause));
    EXPECT_TRUE(view.enabled(Button::PlayButton));
    // Stop takes effect after the next block, which is still written.
    const auto last = feed(30, 6000);
    EXPECT_FALSE(recorder.writing);
    EXPECT_FALSE(recorder.rec);
    EXPECT_EQ(view.status, QStringLiteral("Ready"));
    EXPECT_EQ(view.statusColour, TRecorder::TEXTCOLOR);
    EXPECT_FALSE(view.enabled(Button::Stop));
    EXPECT_TRUE(view.enabled(Button::FolderButton));
    EXPECT_EQ(view.timeText, QStringLiteral("00:00:00"));
    EXPECT_EQ(recorder.lastfile, path(QStringLiteral("rec-100.wav")));
    EXPECT_GE(view.browserRefreshes, 1);
    expectDecodesTo(recorder.lastfile, concat({first, second, last}));
    // 21 blocks of 5760 bytes, of which the last 100 ms reached the file only at close.
    EXPECT_EQ(recorder.totalbytes, 19200 * 6);
    EXPECT_EQ(recorder.recsize, QStringLiteral("File Size: 112 Kb"));
}

TEST_F(RecorderFixture, StopKeepsTheDatedAudioPlayedBeforeIt) {
    // The capture dates its blocks by when they were played; they arrive a server latency
    // later. A Stop keeps what was played before it and nothing after.
    source.OnData = [this](TWASAPISource* sender, const void* data, int32_t size) {
        recorder.event(sender, data, size);
    };
    const auto deliverDated = [&](const std::vector<int16_t>& block, double endMs) {
        source.queueBlock(
            makeCapturedBlock(block.data(), static_cast<int32_t>(block.size() * 2), endMs));
        source.StoreData();
    };
    recorder.StartClick();
    const double start = monotonicMs();
    const auto first = makeBlock(5000);
    deliverDated(first, start - 1000);
    const double beforeStop = monotonicMs();
    recorder.StopClick();
    const double stop = monotonicMs();
    EXPECT_TRUE(recorder.writing) << "the file waits for the audio played before the Stop";
    // Played before the Stop: kept whole.
    const auto second = makeBlock(6000);
    deliverDated(second, stop - 500);
    EXPECT_TRUE(recorder.rec);
    // One second of audio around the Stop: kept up to the Stop, half a second or a little
    // less; the file closes with it.
    const auto across = makeBlock(7000, Rate);
    deliverDated(across, stop + 500);
    EXPECT_FALSE(recorder.rec);
    EXPECT_EQ(view.status, QStringLiteral("Ready"));
    deliverDated(makeBlock(8000), stop + 600);

    const DecodedSound sound = decodeSound(recorder.lastfile);
    ASSERT_TRUE(sound.ok) << sound.error.toStdString();
    const size_t before = first.size() + second.size();
    ASSERT_GE(sound.samples.size(), before);
    const size_t kept = (sound.samples.size() - before) / 2;
    // The Stop's moment lies between the two readings around it.
    EXPECT_LE(kept, Rate / 2);
    EXPECT_GE(double(kept), (500 - (stop - beforeStop)) * Rate / 1000 - 1);
    EXPECT_TRUE(
        std::equal(across.begin(), across.begin() + kept * 2, sound.samples.begin() + before));
}

TEST_F(RecorderFixture, ATrackChangeEndsTheFileWhereTheNewTracksAudioBegins) {
    source.OnData = [this](TWASAPISource* sender, const void* data, int32_t size) {
        recorder.event(sender, data, size);
    };
    const auto deliverDated = [&](const std::vector<int16_t>& block, double endMs) {
        source.queueBlock(
            makeCapturedBlock(block.data(), static_cast<int32_t>(block.size() * 2), endMs));
        source.StoreData();
    };
    std::vector<TRecorder::TrackFile> closed;
    recorder.trackFileClosed = [&](const TRecorder::TrackFile& file) {
        closed.push_back(file);
        // The last one is renamed, as a partial track is.
        return closed.size() == 2 ? file.path + QStringLiteral(".x") : file.path;
    };
    recorder.drainAtStop = false;
    TrackInfo first;
    first.title = QStringLiteral("One");
    TrackInfo second;
    second.title = QStringLiteral("Two");
    recorder.trackChanged(first, 0);

    recorder.StartClick();
    const double t = monotonicMs();
    const auto before = makeBlock(5000);
    deliverDated(before, t);
    // The new track's first frame was played 250 ms into the next second of audio.
    recorder.trackChanged(second, t + 250);
    EXPECT_EQ(recorder.currentTrack().title, QStringLiteral("One"));
    const auto across = makeBlock(7000, Rate);
    deliverDated(across, t + 1000);
    const QString firstFile = recorder.lastfile;
    EXPECT_EQ(recorder.currentTrack().title, QStringLiteral("Two"));
    const auto after = makeBlock(8000);
    deliverDated(after, t + 1030);
    recorder.StopClick();
    deliverDated(makeBlock(9000), t + 1060);
    ASSERT_FALSE(recorder.rec);

    ASSERT_EQ(closed.size(), 2u);
    EXPECT_EQ(closed[0].track.title, QStringLiteral("One"));
    EXPECT_FALSE(closed[0].fromTrackStart);
    EXPECT_TRUE(closed[0].toTrackEnd);
    EXPECT_EQ(closed[1].track.title, QStringLiteral("Two"));
    EXPECT_TRUE(closed[1].fromTrackStart);
    EXPECT_FALSE(closed[1].toTrackEnd);
    EXPECT_NE(closed[0].path, closed[1].path);
    // The cut is to the frame: 250 ms of the second block end the first file, the other
    // 750 ms begin the next.
    const size_t head = static_cast<size_t>(Rate) / 4 * 2;
    expectDecodesTo(closed[0].path, concat({before, {across.begin(), across.begin() + head}}));
    const DecodedSound next = decodeSound(closed[1].path);
    ASSERT_TRUE(next.ok);
    ASSERT_GE(next.samples.size(), across.size() - head + after.size());
    EXPECT_TRUE(std::equal(across.begin() + head, across.end(), next.samples.begin()));
    EXPECT_EQ(closed[0].frames, static_cast<int64_t>((before.size() + head) / 2));
    EXPECT_EQ(view.fileLabel,
              QStringLiteral("File:  ") + QFileInfo(closed[1].path).fileName() + ".x");
}

TEST_F(RecorderFixture, ALongTrackTitleIsShortenedToAFileNameTheSystemTakes) {
    config.namingexpression = QStringLiteral("TRACK - ARTIST - TITLE - ALBUM");
    config.splitontrack = true;
    TrackInfo track;
    track.trackNumber = 7;
    for (int i = 0; i < 60; ++i) {
        track.title += QStringLiteral("Песня 🎵 ");
        track.artist += QStringLiteral("Artist ");
        track.album += QStringLiteral("Album ");
    }
    recorder.trackChanged(track, 0);
    recorder.StartClick();
    config.splitontrack = false;
    ASSERT_TRUE(recorder.writing) << (view.boxes.empty() ? "" : qPrintable(view.boxes[0].text));
    const QString name = QFileInfo(recorder.outputfile).fileName();
    EXPECT_TRUE(name.startsWith(QStringLiteral("07 - Artist Artist"))) << qPrintable(name);
    EXPECT_TRUE(name.contains(QStringLiteral(" - Песня 🎵 Песня"))) << qPrintable(name);
    EXPECT_LE(name.toUtf8().size(), 255 - 20);
    EXPECT_TRUE(QFileInfo::exists(recorder.outputfile));
}

TEST_F(RecorderFixture, StartIsRefusedWithoutFolderOrActiveEndpoint) {
    config.archive = folder() + QStringLiteral("/missing");
    recorder.StartClick();
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text,
              QStringLiteral("The output folder for audio files does not exist.\nPlease open "
                             "Settings->General and change the Audio Output Folder."));
    EXPECT_EQ(view.boxes[0].icon, MessageIcon::Warning);
    EXPECT_FALSE(recorder.writing);
    EXPECT_FALSE(view.enabled(Button::Pause));

    config.archive = folder();
    source.cards.GetItem(0).inputs->GetItem(0).State = 8;
    recorder.StartClick();
    ASSERT_EQ(view.boxes.size(), 2u);
    EXPECT_EQ(view.boxes[1].text, QStringLiteral("Current audio endpoint is not available.\n"
                                                 "Please open the system's sound settings and "
                                                 "check the output device (Speakers)."));
    source.cards.GetItem(0).inputs->GetItem(0).State = 1;
    source.started = false;
    recorder.StartClick();
    EXPECT_EQ(view.boxes.size(), 3u);
    EXPECT_FALSE(recorder.writing);
    EXPECT_TRUE(view.enabled(Button::Start));
    EXPECT_TRUE(filesInFolder().isEmpty());
}

TEST_F(RecorderFixture, StopWhilePausedWritesTheNextBlockAndCloses) {
    recorder.StartClick();
    const auto before = feed(120, 4000);
    recorder.pauseClick();
    feed(60, 4000);
    recorder.StopClick();
    EXPECT_FALSE(recorder.paused);
    const auto last = feed(30, 4000);
    EXPECT_FALSE(recorder.writing);
    expectDecodesTo(recorder.lastfile, concat({before, last}));
}

TEST_F(RecorderFixture, StopWhileIdleClosesNothingAndKeepsLastFile) {
    recorder.StartClick();
    feed(60, 4000);
    recorder.StopClick();
    feed(30, 4000);
    const QString previous = recorder.lastfile;
    ASSERT_FALSE(previous.isEmpty());

    recorder.StopClick(); // the Stop hot key while nothing records
    EXPECT_TRUE(recorder.closefile);
    feed(30, 4000);
    EXPECT_FALSE(recorder.closefile);
    EXPECT_EQ(view.status, QStringLiteral("Ready"));
    EXPECT_EQ(recorder.lastfile, previous);
}

TEST_F(RecorderFixture, VoxListensRecordsAndDeletesTooShortFiles) {
    config.vox = true;
    config.silence = 2.5f;
    config.voxautodelete = true;
    config.voxautodeletetime = 5;
    config.trashold = 1635;

    recorder.StartClick();
    EXPECT_TRUE(recorder.voxarmed);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(view.status, QStringLiteral("Listen..."));
    EXPECT_EQ(view.tray, 2);
    EXPECT_TRUE(view.enabled(Button::FolderButton));
    feed(300, 1634); // below the threshold: nothing opens
    EXPECT_TRUE(filesInFolder().isEmpty());

    // 2 s of sound, then 2.5 s of silence: 4 whole seconds since the start, minus 2
    // (2.5 rounded half to even) is 2 < 5, so the file is deleted when it is closed.
    feed(30, 1635);
    EXPECT_TRUE(recorder.writing);
    EXPECT_EQ(view.status, QStringLiteral("Recording"));
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("rec-100.wav")));
    feed(1980, 9000);
    feed(2550, 100);
    EXPECT_FALSE(recorder.writing);
    EXPECT_TRUE(recorder.voxarmed);
    EXPECT_EQ(view.status, QStringLiteral("Listen..."));
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("rec-100.wav"))));
    EXPECT_FALSE(config.voxdeleteit);
    // The number of the deleted file is used again.
    EXPECT_EQ(config.nextnumber, 0);

    // A long enough file is kept and takes the same number.
    const auto sound = feed(6000, 9000);
    const auto silence = feed(2550, 0);
    EXPECT_FALSE(recorder.writing);
    ASSERT_TRUE(QFile::exists(path(QStringLiteral("rec-100.wav"))));
    EXPECT_EQ(config.nextnumber, 1);
    expectDecodesTo(path(QStringLiteral("rec-100.wav")), concat({sound, silence}));

    // Pause while listening: nothing is measured against the threshold.
    recorder.pauseClick();
    feed(300, 20000);
    EXPECT_FALSE(recorder.writing);
    recorder.pauseClick();
    EXPECT_EQ(view.status, QStringLiteral("Listen..."));
    feed(30, 20000);
    EXPECT_TRUE(recorder.writing);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("rec-101.wav")));

    recorder.StopClick();
    feed(30, 20000);
    EXPECT_FALSE(recorder.voxarmed);
    EXPECT_EQ(view.status, QStringLiteral("Ready"));
    EXPECT_TRUE(QFile::exists(path(QStringLiteral("rec-101.wav")))); // Stop never deletes
}

TEST_F(RecorderFixture, SplitByTimeWithManualNamesGoesOnInTheOutputFolder) {
    config.autoname = false;
    config.splitteron = true;
    config.timelimit = 60;
    QTemporaryDir elsewhere;
    ASSERT_TRUE(elsewhere.isValid());
    view.saveAnswers.push_back(elsewhere.filePath(QStringLiteral("News.wav")));

    recorder.StartClick();
    ASSERT_TRUE(recorder.writing);
    EXPECT_EQ(view.dialogs, 1);
    EXPECT_EQ(view.lastFilter, QStringLiteral("WAV files (*.wav)|*.wav"));
    EXPECT_EQ(view.lastExtension, QStringLiteral("wav"));
    EXPECT_EQ(view.lastFolder, folder());
    EXPECT_EQ(recorder.globalname, QStringLiteral("News.wav"));

    // 61 whole seconds (more than 60) split the file; the block that crosses goes into the
    // new part.
    const auto first = feed(60990, 3000);
    EXPECT_EQ(recorder.partnumber, 0);
    const auto crossing = feed(30, 3000);
    EXPECT_EQ(recorder.partnumber, 1);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("News_part1.wav")));
    EXPECT_EQ(view.dialogs, 1); // no dialog for the parts
    const auto rest = feed(61020, 3000);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("News_part2.wav")));
    recorder.StopClick();
    feed(30, 3000);

    expectDecodesTo(elsewhere.filePath(QStringLiteral("News.wav")), first);
    const DecodedSound part1 = decodeSound(path(QStringLiteral("News_part1.wav")));
    ASSERT_TRUE(part1.ok);
    EXPECT_TRUE(std::equal(crossing.begin(), crossing.end(), part1.samples.begin()));

    // A new recording begins with part 0 again.
    feed(30, 3000);
    EXPECT_EQ(recorder.partnumber, 0);

    // A Stop given just before the time limit passes closes the file: no new part opens
    // under the name of the one just closed.
    view.saveAnswers.push_back(path(QStringLiteral("Talk.wav")));
    recorder.StartClick();
    feed(60990, 3000);
    recorder.StopClick();
    const auto lastBlock = feed(30, 3000);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(recorder.lastfile, path(QStringLiteral("Talk.wav")));
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("Talk_part1.wav"))));
    const DecodedSound talk = decodeSound(path(QStringLiteral("Talk.wav")));
    ASSERT_TRUE(talk.ok);
    EXPECT_EQ(talk.samples.size(), 2034u * 1440 * 2);
    (void)lastBlock;
}

TEST_F(RecorderFixture, SplitByTimeWithAutomaticNamesGivesEveryPartANewName) {
    config.splitteron = true;
    config.timelimit = 1;
    recorder.StartClick();
    feed(2010, 3000);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("rec-101.wav")));
    feed(2010, 3000);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("rec-102.wav")));
    EXPECT_EQ(filesInFolder(),
              QStringList({QStringLiteral("rec-100.wav"), QStringLiteral("rec-101.wav"),
                           QStringLiteral("rec-102.wav")}));

    // The counter passes the top of its range without overflowing.
    recorder.StopClick();
    config.splitteron = false;
    config.namingnumber = std::numeric_limits<int32_t>::max();
    config.nextnumber = 1;
    recorder.StartClick();
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("rec--2147483648.wav")));
    recorder.StopClick();
}

TEST_F(RecorderFixture, MadeUpNamesNeverReplaceAnEarlierRecording) {
    // A template without a counter gives the same name every time.
    config.namingexpression = QStringLiteral("show");
    recorder.StartClick();
    const auto first = feed(90, 3000);
    recorder.StopClick();
    const auto firstEnd = feed(30, 3000);
    recorder.StartClick();
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("show (2).wav")));
    feed(60, 3000);
    recorder.StopClick();
    feed(30, 3000);
    // So does splitting by time with a name from the save dialog, in a later session.
    ASSERT_TRUE(
        QFile::copy(path(QStringLiteral("show.wav")), path(QStringLiteral("talk_part1.wav"))));
    config.autoname = false;
    config.splitteron = true;
    config.timelimit = 1;
    view.saveAnswers = {path(QStringLiteral("talk.wav"))};
    recorder.StartClick();
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("talk.wav")));
    feed(2010, 3000);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("talk_part1 (2).wav")));
    recorder.StopClick();
    feed(30, 3000);
    EXPECT_EQ(filesInFolder(),
              QStringList({QStringLiteral("show (2).wav"), QStringLiteral("show.wav"),
                           QStringLiteral("talk.wav"), QStringLiteral("talk_part1 (2).wav"),
                           QStringLiteral("talk_part1.wav")}));
    expectDecodesTo(path(QStringLiteral("show.wav")), concat({first, firstEnd}));
    expectDecodesTo(path(QStringLiteral("talk_part1.wav")), concat({first, firstEnd}));
    // A name the user picked and agreed to overwrite is used as it stands.
    config.splitteron = false;
    view.saveAnswers = {path(QStringLiteral("show.wav"))};
    view.questionAnswers = {MessageResult::Yes};
    recorder.StartClick();
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("show.wav")));
    recorder.StopClick();
    feed(30, 3000);
}

namespace {
class FakeScheduler final : public RecorderScheduler {
public:
    void check() override {
        if (onCheck)
            onCheck();
    }
    QString eventName(int index) const override { return index == 3 ? name : QString(); }
    void cancelEvent(int index) override { canceled.push_back(index); }
    QString name;
    std::vector<int> canceled;
    std::function<void()> onCheck;
};
} // namespace

TEST_F(RecorderFixture, ScheduledEventNamesAndPartsCutAfterTheLastDot) {
    FakeScheduler scheduler;
    scheduler.name = QStringLiteral("Morning Show");
    recorder.setScheduler(&scheduler);
    config.codec = 2;
    config.splitteron = true;
    config.timelimit = 1;
    config.scheduler = true;

    recorder.eventactive = true;
    recorder.currentevent = 3;
    recorder.globalname = QStringLiteral("News.today");
    recorder.StartClick();
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("News.today.wav")));
    feed(2010, 3000);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("News_part1.wav")));
    feed(2010, 3000);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("News_part2.wav")));

    recorder.StopClick();
    EXPECT_EQ(scheduler.canceled, std::vector<int>{3});
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_TRUE(recorder.globalname.isEmpty());
    feed(30, 3000);

    // Without a file name the event's name goes into the automatic name.
    config.splitteron = false;
    config.namingexpression = QStringLiteral("EVENT-NUM");
    recorder.eventactive = true;
    recorder.StartClick();
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("Morning Show-100.wav")));
}

TEST_F(RecorderFixture, CaptureFailureInEveryState) {
    // Ready: nothing changes but the status.
    captureFailed();
    EXPECT_EQ(view.status, QStringLiteral("Ready"));
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(recorder.maxl, 0);

    // Recording: the file is closed and kept; Pause stays enabled until the next Stop.
    recorder.StartClick();
    const auto recorded = feed(150, 4000);
    captureFailed();
    EXPECT_FALSE(recorder.writing);
    EXPECT_FALSE(recorder.rec);
    EXPECT_EQ(view.status, QStringLiteral("Ready"));
    EXPECT_TRUE(view.enabled(Button::Start));
    EXPECT_TRUE(view.enabled(Button::Pause));
    EXPECT_FALSE(view.enabled(Button::PlayButton));
    expectDecodesTo(recorder.lastfile, recorded);
    recorder.StopClick();

    // Paused recording: closed as well.
    recorder.StartClick();
    feed(60, 4000);
    recorder.pauseClick();
    captureFailed();
    EXPECT_FALSE(recorder.rec);

    // Listening: the VOX stays armed and no file is open.
    recorder.StopClick();
    config.vox = true;
    recorder.StartClick();
    captureFailed();
    EXPECT_TRUE(recorder.voxarmed);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(view.status, QStringLiteral("Listen..."));
    EXPECT_FALSE(view.enabled(Button::Start));
}

TEST_F(RecorderFixture, PauseAfterNameOnlyWithManualNames) {
    config.pauserecord = true;
    recorder.StartClick(); // automatic names: no pause
    EXPECT_FALSE(recorder.paused);
    recorder.StopClick();
    feed(30, 100);

    config.autoname = false;
    view.saveAnswers.push_back(path(QStringLiteral("manual.wav")));
    recorder.StartClick();
    EXPECT_TRUE(recorder.writing);
    EXPECT_TRUE(recorder.paused);
    EXPECT_EQ(view.status, QStringLiteral("Pause"));
    feed(90, 4000); // not recorded while paused
    recorder.pauseClick();
    const auto kept = feed(120, 4000);
    recorder.StopClick();
    feed(0, 0);
    const auto last = feed(30, 4000);
    expectDecodesTo(path(QStringLiteral("manual.wav")), concat({kept, last}));
}

TEST_F(RecorderFixture, SaveDialogCancelOverwriteAndSecondStart) {
    config.autoname = false;
    // Cancel: no file; Start stays enabled, Pause enabled, Play disabled.
    recorder.StartClick();
    EXPECT_FALSE(recorder.writing);
    EXPECT_TRUE(view.enabled(Button::Start));
    EXPECT_TRUE(view.enabled(Button::Pause));
    EXPECT_FALSE(view.enabled(Button::PlayButton));
    EXPECT_TRUE(recorder.globalname.isEmpty());

    // An existing file: No shows the dialog again, Yes overwrites.
    QFile existing(path(QStringLiteral("old.wav")));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("not audio");
    existing.close();
    view.saveAnswers = {path(QStringLiteral("old.wav")), path(QStringLiteral("old.wav"))};
    view.questionAnswers = {MessageResult::No, MessageResult::Yes};
    // A second start while the dialog is open (hot key, scheduler) is refused.
    int reentered = 0;
    view.whileDialogOpen = [&] {
        ++reentered;
        if (reentered == 1)
            recorder.StartClick();
    };
    const int dialogsBefore = view.dialogs;
    recorder.StartClick();
    EXPECT_EQ(view.dialogs - dialogsBefore, 2);
    EXPECT_EQ(reentered, 2);
    ASSERT_EQ(view.boxes.size(), 2u);
    EXPECT_EQ(view.boxes[0].text, QStringLiteral("This file already exists. Overwrite?"));
    EXPECT_EQ(view.boxes[0].buttons, MessageButtons::YesNo);
    EXPECT_EQ(view.boxes[0].icon, MessageIcon::Error);
    ASSERT_TRUE(recorder.writing);
    EXPECT_EQ(recorder.globalname, QStringLiteral("old.wav"));
    recorder.StopClick();
    feed(30, 4000);
    EXPECT_EQ(QFileInfo(path(QStringLiteral("old.wav"))).size(), 44 + 5760);
}

TEST_F(RecorderFixture, FileSizeText) {
    EXPECT_EQ(TRecorder::sizeText(0), QStringLiteral("File Size: 0 Kb"));
    EXPECT_EQ(TRecorder::sizeText(1048576), QStringLiteral("File Size: 1024 Kb"));
    EXPECT_EQ(TRecorder::sizeText(1048577), QStringLiteral("File Size: 1 Mb"));
    EXPECT_EQ(TRecorder::sizeText(1572864), QStringLiteral("File Size: 1.5 Mb"));
    EXPECT_EQ(TRecorder::sizeText(1572864, QLatin1Char(',')), QStringLiteral("File Size: 1,5 Mb"));
    EXPECT_EQ(TRecorder::sizeText(int64_t(12.3 * 1048576)), QStringLiteral("File Size: 12.3 Mb"));
    EXPECT_EQ(TRecorder::sizeText(int64_t(123.4 * 1048576)), QStringLiteral("File Size: 123 Mb"));
    EXPECT_EQ(TRecorder::sizeText(int64_t(999.7 * 1048576)),
              QStringLiteral("File Size: 1E+003 Mb"));
    EXPECT_EQ(TRecorder::sizeText(int64_t(1024) * 1048576),
              QStringLiteral("File Size: 1.02E+003 Mb"));
    EXPECT_EQ(TRecorder::sizeText(int64_t(4100) * 1048576),
              QStringLiteral("File Size: 4.1E+003 Mb"));
    // Past 2 GiB the 64-bit total keeps counting.
    EXPECT_EQ(TRecorder::sizeText(int64_t(5) << 32), QStringLiteral("File Size: 2.05E+004 Mb"));
}

TEST_F(RecorderFixture, WriterFailureOnStartShowsTheBoxAndKeepsTheState) {
    breakCodec(0);
    config.codec = 0;
    recorder.StartClick();
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_TRUE(view.boxes[0].text.startsWith(QStringLiteral("Error: ")));
    EXPECT_TRUE(view.boxes[0].text.endsWith(
        QStringLiteral("\nPlease check the Output folder and Codec settings")));
    EXPECT_EQ(view.boxes[0].caption, QStringLiteral("Can not create audio file."));
    EXPECT_EQ(view.boxes[0].icon, MessageIcon::Error);
    EXPECT_FALSE(recorder.writing);
    EXPECT_FALSE(recorder.rec);
    EXPECT_TRUE(view.enabled(Button::Start));
    EXPECT_TRUE(view.enabled(Button::Pause));
    EXPECT_FALSE(view.enabled(Button::PlayButton));

    // An index only an edited settings file can hold: the same box, no crash, and no
    // counter value used up.
    config.codec = 7;
    recorder.StartClick();
    ASSERT_EQ(view.boxes.size(), 2u);
    EXPECT_TRUE(view.boxes[1].text.contains(QStringLiteral("7")));
    EXPECT_EQ(config.nextnumber, 1);
    config.codec = -1;
    recorder.StartClick();
    EXPECT_EQ(view.boxes.size(), 3u);

    // A file that cannot be created.
    config.codec = 2;
    config.autoname = false;
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), path(QStringLiteral("full.wav"))));
    view.saveAnswers.push_back(path(QStringLiteral("full.wav")));
    view.questionAnswers.push_back(MessageResult::Yes);
    recorder.StartClick();
    ASSERT_EQ(view.boxes.size(), 5u);
    EXPECT_EQ(view.boxes[4].caption, QStringLiteral("Can not create audio file."));
    EXPECT_FALSE(recorder.writing);
    feed(60, 4000); // blocks keep flowing without a writer
}

TEST_F(RecorderFixture, WriterFailureOnVoxStartListensAndRetries) {
    config.vox = true;
    config.silence = 1.0f;
    breakCodec(0);
    config.codec = 0;
    recorder.StartClick();
    feed(90, 9000);
    EXPECT_EQ(view.boxes.size(), 1u); // one box for the failed start, not one per block
    EXPECT_TRUE(recorder.writing);
    EXPECT_FALSE(recorder.rec);
    EXPECT_EQ(view.status, QStringLiteral("Listen..."));
    feed(1050, 0); // the silence stop brings the VOX back to listening
    EXPECT_FALSE(recorder.writing);
    config.codec = 2;
    feed(30, 9000); // the next sound tries again
    EXPECT_TRUE(recorder.rec);
    EXPECT_EQ(view.status, QStringLiteral("Recording"));
}

namespace {
/// Records the calls the recorder makes on the playback engine.
class RecordingPlayback final : public PlaybackEngine {
public:
    bool init() override { return true; }
    void free() override {}
    PlayStream open(const QString&) override { return 7; }
    void play(PlayStream s, bool restart) override { calls.push_back(call("play", s, restart)); }
    void pause(PlayStream s) override { calls.push_back(call("pause", s)); }
    void stop(PlayStream s) override { calls.push_back(call("stop", s)); }
    void freeStream(PlayStream s) override { calls.push_back(call("free", s)); }
    PlaybackState state(PlayStream) const override { return PlaybackState::Playing; }
    int64_t length(PlayStream) const override { return 0; }
    int64_t position(PlayStream) const override { return 0; }
    double bytesToSeconds(PlayStream, int64_t) const override { return 0; }
    void setPosition(PlayStream, int64_t) override {}
    void setVolume(PlayStream, float) override {}
    int32_t data(PlayStream, void*, int32_t) override { return 0; }
    PlaybackInfo info(PlayStream) const override { return {}; }

    static std::string call(const char* name, PlayStream s, bool restart = false) {
        return std::string(name) + " " + std::to_string(s) + (restart ? " restart" : "");
    }
    std::vector<std::string> calls;
};
} // namespace

TEST_F(RecorderFixture, PauseAndStopInPlayerMode) {
    RecordingPlayback player;
    TRecorder r(view, clock, player);
    r.PCM = pcm16Stereo(Rate);
    r.setCaptureSource(&source);
    // The monitoring code opens a file and switches to player mode.
    r.workmode = 2;
    r.playstream = 7;
    r.ShowStatus(4);
    EXPECT_EQ(view.status, QStringLiteral("Play"));
    EXPECT_EQ(view.statusColour, TRecorder::TEXTCOLOR);
    EXPECT_EQ(view.tray, 0);

    r.pauseClick();
    EXPECT_EQ(view.status, QStringLiteral("Pause"));
    r.pauseClick(); // resumes where it was, without restarting
    EXPECT_EQ(view.status, QStringLiteral("Play"));
    config.mixervolume = 42;
    r.StopClick();
    EXPECT_EQ(player.calls, (std::vector<std::string>{"pause 7", "play 7", "stop 7", "free 7"}));
    EXPECT_EQ(r.workmode, 1);
    EXPECT_EQ(r.playstream, 0u);
    EXPECT_FALSE(r.closefile); // nothing to close in player mode
    EXPECT_EQ(view.status, QStringLiteral("Ready"));
    EXPECT_EQ(view.levelSlider, 42);
    EXPECT_EQ(view.positionSlider, 0);
    EXPECT_EQ(view.timeText, QStringLiteral("00:00:00"));
    EXPECT_EQ(view.spectrumResets, 1);
    EXPECT_FALSE(view.enabled(Button::Stop));
    EXPECT_TRUE(view.enabled(Button::Start));
    EXPECT_TRUE(view.enabled(Button::PlayButton));
    EXPECT_FALSE(view.enabled(Button::Pause));
}

TEST_F(RecorderFixture, PeaksOfStereoAndMonoBlocks) {
    std::vector<int16_t> block = {100, -200, -32768, 5, 7, 32767, 1};
    // 7 samples: three whole stereo frames; the trailing sample is ignored.
    recorder.event(&source, block.data(), 7 * 2);
    EXPECT_EQ(recorder.maxl, 32767); // -32768 counts as full scale, never negative
    EXPECT_EQ(recorder.maxr, 32767);
    EXPECT_EQ(recorder.bsize, 14u);
    block = {100, -200, 300, -50};
    recorder.event(&source, block.data(), 8);
    EXPECT_EQ(recorder.maxl, 300);
    EXPECT_EQ(recorder.maxr, 200);
    recorder.PCM.nChannels = 1;
    recorder.event(&source, block.data(), 7);
    EXPECT_EQ(recorder.maxl, 300);
    EXPECT_EQ(recorder.maxr, 300);
}

TEST_F(RecorderFixture, PauseHotKeyWhileReadyAndStartWhilePaused) {
    recorder.pauseClick(); // the Pause hot key works in any state
    EXPECT_TRUE(recorder.paused);
    EXPECT_EQ(view.status, QStringLiteral("Pause"));
    feed(60, 4000);
    EXPECT_EQ(recorder.maxl, 4000); // peaks are still measured
    recorder.pauseClick();
    EXPECT_EQ(view.status, QStringLiteral("Ready"));

    recorder.pauseClick();
    recorder.StartClick(); // Start clears the pause
    EXPECT_FALSE(recorder.paused);
    const auto recorded = feed(150, 4000);
    recorder.StopClick();
    const auto last = feed(30, 4000);
    std::vector<int16_t> all = recorded;
    all.insert(all.end(), last.begin(), last.end());
    const DecodedSound sound = decodeSound(recorder.lastfile);
    ASSERT_TRUE(sound.ok);
    EXPECT_TRUE(sound.samples == all);
}

TEST_F(RecorderFixture, DeviceChangeNoticeShowsForAWhileAndTheRecordingGoesOn) {
    recorder.StartClick();
    ASSERT_TRUE(recorder.writing);
    feed(90, 5000);
    recorder.ShowDeviceChange(QStringLiteral("Headset"));
    EXPECT_EQ(view.status, QStringLiteral("Output device changed: Headset"));
    EXPECT_EQ(view.statusColour, TRecorder::TEXTRED);
    EXPECT_EQ(view.tray, 1);
    // It stays while the clock moves less than the notice's time...
    deliver(makeBlock(5000), static_cast<int>(TRecorder::DeviceNoticeMs) - 1);
    EXPECT_EQ(view.status, QStringLiteral("Output device changed: Headset"));
    // ...and the status comes back with the first block after it.
    deliver(makeBlock(5000), 1);
    EXPECT_EQ(view.status, QStringLiteral("Recording"));
    EXPECT_EQ(view.statusColour, TRecorder::TEXTRED);

    // A change of status replaces the notice at once, and no later block brings it back.
    recorder.ShowDeviceChange(QStringLiteral("Speakers"));
    recorder.pauseClick();
    EXPECT_EQ(view.status, QStringLiteral("Pause"));
    deliver(makeBlock(5000), static_cast<int>(TRecorder::DeviceNoticeMs));
    EXPECT_EQ(view.status, QStringLiteral("Pause"));
    recorder.pauseClick();
    recorder.StopClick();
    deliver(makeBlock(0));
    EXPECT_EQ(filesInFolder(), QStringList{"rec-100.wav"});
}

// The Ogg Vorbis writer gives its file the ".ogg" extension whatever name was typed: the
// overwrite question and the journal of recordings in progress speak of that file.
TEST_F(RecorderFixture, OggRecordingsAreAskedAboutAndJournalledUnderTheirRealName) {
    config.codec = 1;
    config.autoname = false;
    QTemporaryDir state;
    RecordingJournal journal(state.path());
    recorder.setJournal(&journal);
    const auto writeBytes = [](const QString& file, const QByteArray& bytes) {
        QFile f(file);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    ASSERT_TRUE(writeBytes(path(QStringLiteral("song.ogg")), "an earlier song"));
    view.saveAnswers = {path(QStringLiteral("song.wav")), QString()};
    view.questionAnswers = {MessageResult::No};
    recorder.StartClick();
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, QStringLiteral("This file already exists. Overwrite?"));
    EXPECT_FALSE(recorder.rec);

    ASSERT_TRUE(writeBytes(path(QStringLiteral("interview.mp3")), "another program's MP3"));
    view.saveAnswers = {path(QStringLiteral("interview.mp3"))};
    recorder.StartClick();
    EXPECT_EQ(view.boxes.size(), 1u); // nothing to ask: interview.ogg is new
    ASSERT_TRUE(recorder.rec);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("interview.ogg")));
    const QStringList entries = journal.entries();
    ASSERT_EQ(entries.size(), 1);
    QFile entry(journal.folder() + QLatin1Char('/') + entries[0]);
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QByteArray content = entry.readAll();
    EXPECT_TRUE(content.contains("interview.ogg")) << content.toStdString();
    EXPECT_FALSE(content.contains("interview.mp3")) << content.toStdString();
    feed(300, 5000);
    recorder.StopClick();
    feed(30, 5000);

    QFile song(path(QStringLiteral("song.ogg")));
    ASSERT_TRUE(song.open(QIODevice::ReadOnly));
    EXPECT_EQ(song.readAll(), QByteArray("an earlier song"));
    QFile mp3(path(QStringLiteral("interview.mp3")));
    ASSERT_TRUE(mp3.open(QIODevice::ReadOnly));
    EXPECT_EQ(mp3.readAll(), QByteArray("another program's MP3"));
    EXPECT_TRUE(decodeSound(path(QStringLiteral("interview.ogg"))).ok);
}
