// The scheduling engine driving a real recorder: blocks are delivered through
// the recorder's data handler, which runs the check, and recordings are real WAV files.

#include "fakelauncher.h"
#include "recorder/recorderfixture.h"

#include "capture/threadfactory.h"
#include "platform/audio/sim/simengine.h"

#include "scheduler/processlauncher.h"
#include "scheduler/scheduler.h"
#include "settings/config.h"
#include "settings/events.h"
#include "support/eventloop.h"
#include "support/fakemessages.h"

#include <QDate>
#include <QFile>

#include <utility>
#include <vector>

using Button = RecorderButton;

namespace {

class FakeList final : public ScheduleList {
public:
    int rowCount() const override { return static_cast<int>(statuses.size()); }
    void selectRow(int row) override { selections.push_back(row); }
    void setRowStatus(int row, const QString& status) override {
        statuses.at(static_cast<size_t>(row)) = status;
    }

    std::vector<QString> statuses;
    std::vector<int> selections;
};

// Monday 12 August 2024.
constexpr int Year = 2024;
constexpr int Month = 8;
constexpr int Monday = 12;

TDateTime at(int day, int hour, int minute, int second = 0, int ms = 0) {
    return datetime::encode(Year, Month, day, hour, minute, second, ms);
}

TDateTime timeOfDay(int hour, int minute, int second = 0) {
    return (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

TRecEvent daily(const QString& name, int startHour, int stopHour) {
    TRecEvent e;
    e.name = name;
    e.rep_mode = 2;
    e.days.fill(true);
    e.start = timeOfDay(startHour, 0);
    e.stop = timeOfDay(stopHour, 0);
    e.startdate = datetime::encode(Year, Month, Monday);
    return e;
}

void append(std::vector<int16_t>& all, const std::vector<int16_t>& block) {
    all.insert(all.end(), block.begin(), block.end());
}

} // namespace

class SchedulerTest : public RecorderFixture {
protected:
    void SetUp() override {
        RecorderFixture::SetUp();
        ASSERT_EQ(QDate(Year, Month, Monday).dayOfWeek(), 1);
        events.fill(TRecEvent());
        config.numevents = 0;
        config.scheduler = true;
        scheduler.startEnabled = [this] { return view.enabled(Button::Start); };
        scheduler.stopEnabled = [this] { return view.enabled(Button::Stop); };
        scheduler.reportFailure = [this](const QString& text) { reports << text; };
        scheduler.setList(&list);
        recorder.setScheduler(&scheduler);
    }

    void TearDown() override {
        recorder.setScheduler(nullptr);
        events.fill(TRecEvent());
        RecorderFixture::TearDown();
    }

    /// Adds an event behind the others, with its row reading "Wait...".
    int addEvent(const TRecEvent& e) {
        ++config.numevents;
        events[static_cast<size_t>(config.numevents)] = e;
        list.statuses.push_back(QString::fromLatin1(TScheduler::Waiting));
        return config.numevents;
    }

    /// Delivers one block that arrives exactly at `t`.
    std::vector<int16_t> blockAt(TDateTime t) {
        clock.set(datetime::addMilliseconds(t, -BlockMs));
        const auto block = makeBlock(3000);
        deliver(block);
        return block;
    }

    QString status(int slot) const { return list.statuses.at(static_cast<size_t>(slot - 1)); }

    void expectFile(const QString& name, const std::vector<int16_t>& samples) {
        const DecodedSound sound = decodeSound(path(name));
        ASSERT_TRUE(sound.ok) << qPrintable(name) << ": " << qPrintable(sound.error);
        EXPECT_EQ(sound.samples.size(), samples.size());
        EXPECT_TRUE(sound.samples == samples);
    }

    FakeMessages shown;
    QStringList reports; ///< failures reported without a box
    FakeLauncher launcher;
    FakeList list;
    TScheduler scheduler{recorder, clock, launcher};
};

TEST_F(SchedulerTest, DailyEventRecordsFromTheFirstBlockAfterItsStartToTheFirstAfterItsStop) {
    TRecEvent e = daily(QStringLiteral("Morning"), 10, 11);
    e.filename = QStringLiteral("Morning");
    addEvent(e);

    blockAt(at(Monday, 9, 59, 59, 970));
    blockAt(at(Monday, 10, 0, 0)); // not after 10:00:00 yet
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(recorder.currentevent, -1);
    EXPECT_EQ(status(1), QStringLiteral("Wait..."));

    std::vector<int16_t> recorded;
    append(recorded, blockAt(at(Monday, 10, 0, 0, 30)));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_EQ(recorder.currentevent, 1);
    ASSERT_TRUE(recorder.writing);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("Morning.wav")));
    EXPECT_EQ(status(1), QStringLiteral("Record..."));
    EXPECT_EQ(list.selections, std::vector<int>{0});
    EXPECT_EQ(datetime::millisecondsBetween(events[1].stopdate, at(Monday, 11, 0)), 0);
    EXPECT_TRUE(launcher.starts.empty());
    append(recorded, feed(90, 3000));

    append(recorded, blockAt(at(Monday, 11, 0, 0))); // not after 11:00:00 yet
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    append(recorded, blockAt(at(Monday, 11, 0, 0, 30)));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_EQ(recorder.currentevent, 1); // keeps the last event
    EXPECT_FALSE(recorder.writing);
    EXPECT_FALSE(recorder.rec);
    EXPECT_EQ(status(1), QStringLiteral("Complete"));
    EXPECT_FALSE(events[1].canceled);
    EXPECT_TRUE(launcher.closes.empty());
    EXPECT_EQ(recorder.lastfile, path(QStringLiteral("Morning.wav")));
    expectFile(QStringLiteral("Morning.wav"), recorded);

    // Not due again that day.
    blockAt(at(Monday, 11, 0, 0, 60));
    blockAt(at(Monday, 23, 59, 59, 990));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(status(1), QStringLiteral("Complete"));
    EXPECT_EQ(filesInFolder(), QStringList{QStringLiteral("Morning.wav")});
    EXPECT_TRUE(shown.shown.empty());

    // Due again the next day.
    blockAt(at(Monday + 1, 10, 30));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    EXPECT_EQ(status(1), QStringLiteral("Record..."));
    EXPECT_EQ(datetime::millisecondsBetween(events[1].stopdate, at(Monday + 1, 11, 0)), 0);
}

TEST_F(SchedulerTest, EqualStartAndStopIsNeverDue) {
    TRecEvent everyDay = daily(QStringLiteral("Daily"), 10, 10);
    addEvent(everyDay);
    TRecEvent onDays = daily(QStringLiteral("Weekdays"), 10, 10);
    onDays.rep_mode = 0;
    addEvent(onDays);

    for (const TDateTime t :
         {at(Monday, 9, 59, 59, 970), at(Monday, 10, 0), at(Monday, 10, 0, 0, 30),
          at(Monday, 10, 0, 1), at(Monday, 15, 0), at(Monday, 23, 59, 59, 990),
          at(Monday + 1, 0, 0, 0, 30), at(Monday + 1, 10, 0, 0, 30)}) {
        blockAt(t);
        EXPECT_FALSE(recorder.eventactive);
    }
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(status(1), QStringLiteral("Wait..."));
    EXPECT_EQ(status(2), QStringLiteral("Wait..."));
    EXPECT_TRUE(filesInFolder().isEmpty());
}

TEST_F(SchedulerTest, MondayNightEventIsDueFrom23AndStopsOnTuesdayAt1) {
    TRecEvent e;
    e.name = QStringLiteral("Night");
    e.filename = QStringLiteral("Night");
    e.rep_mode = 0;
    e.days[0] = true; // Monday only
    e.start = timeOfDay(23, 0);
    e.stop = timeOfDay(1, 0);
    e.nextday = true;
    addEvent(e);

    blockAt(at(Monday - 1, 23, 30)); // Sunday
    blockAt(at(Monday, 0, 30));      // Monday, but before 23:00
    blockAt(at(Monday, 22, 59, 59, 990));
    blockAt(at(Monday, 23, 0, 0));
    EXPECT_FALSE(recorder.eventactive);

    blockAt(at(Monday, 23, 0, 0, 30));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    EXPECT_EQ(datetime::millisecondsBetween(events[1].stopdate, at(Monday + 1, 1, 0)), 0);

    blockAt(at(Monday + 1, 0, 0, 0, 30)); // past midnight: still current
    blockAt(at(Monday + 1, 1, 0, 0));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    blockAt(at(Monday + 1, 1, 0, 0, 30));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(status(1), QStringLiteral("Complete"));
    EXPECT_TRUE(QFile::exists(path(QStringLiteral("Night.wav"))));

    // Tuesday night is not ticked.
    blockAt(at(Monday + 1, 23, 30));
    EXPECT_FALSE(recorder.eventactive);
}

TEST_F(SchedulerTest, MondayNightEventStartsAtOnceWhenTheProgramStartsAt2330) {
    TRecEvent e;
    e.name = QStringLiteral("Night");
    e.rep_mode = 0;
    e.days[0] = true;
    e.start = timeOfDay(23, 0);
    e.stop = timeOfDay(1, 0);
    e.nextday = true;
    e.task = true;
    e.appname = QStringLiteral("radio-player --new-window %u");
    e.url = QStringLiteral("http://radio.example/live?a=1&b=2");
    addEvent(e);

    // The first block the program sees.
    blockAt(at(Monday, 23, 30));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    ASSERT_EQ(launcher.starts.size(), 1u);
    EXPECT_EQ(launcher.starts[0].program, QStringLiteral("radio-player"));
    EXPECT_EQ(launcher.starts[0].arguments, (QStringList{QStringLiteral("--new-window"), e.url}));
    EXPECT_EQ(heldPid(scheduler), 500);

    blockAt(at(Monday + 1, 1, 0, 0, 30));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(status(1), QStringLiteral("Complete"));
    EXPECT_EQ(launcher.closes, (std::vector<std::pair<int64_t, uint32_t>>{{500, 100}}));
    EXPECT_EQ(heldPid(scheduler), 0);
}

TEST_F(SchedulerTest, FixedDateEventRunsOnceWithinItsMoments) {
    TRecEvent e;
    e.name = QStringLiteral("Concert");
    e.filename = QStringLiteral("Concert");
    e.rep_mode = 1;
    e.start = timeOfDay(18, 0);
    e.stop = timeOfDay(19, 0);
    e.startdate = datetime::encode(2024, 8, 8, 18, 0);
    e.stopdate = datetime::encode(2024, 8, 8, 19, 0);
    addEvent(e);

    blockAt(datetime::encode(2024, 8, 7, 18, 30)); // the day before
    EXPECT_FALSE(recorder.eventactive);

    // The program starts at 18:30 that day: the event starts at once.
    blockAt(datetime::encode(2024, 8, 8, 18, 30));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("Concert.wav")));
    EXPECT_EQ(status(1), QStringLiteral("Record..."));
    // The stop moment is the stored one.
    EXPECT_EQ(events[1].stopdate, e.stopdate);

    blockAt(datetime::encode(2024, 8, 8, 19, 0));
    EXPECT_TRUE(recorder.eventactive);
    blockAt(datetime::encode(2024, 8, 8, 19, 0, 0, 30));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(status(1), QStringLiteral("Complete"));

    for (const TDateTime t :
         {datetime::encode(2024, 8, 8, 19, 30), datetime::encode(2024, 8, 9, 18, 30),
          datetime::encode(2024, 8, 15, 18, 30), datetime::encode(2025, 8, 8, 18, 30)}) {
        blockAt(t);
        EXPECT_FALSE(recorder.eventactive);
    }
    EXPECT_EQ(filesInFolder(), QStringList{QStringLiteral("Concert.wav")});
}

TEST_F(SchedulerTest, FixedDateIncludesItsStartMoment) {
    TRecEvent e;
    e.rep_mode = 1;
    e.startdate = datetime::encode(2024, 8, 8, 18, 0);
    e.stopdate = datetime::encode(2024, 8, 8, 19, 0);
    addEvent(e);
    blockAt(datetime::encode(2024, 8, 8, 17, 59, 59, 990));
    EXPECT_FALSE(recorder.eventactive);
    blockAt(datetime::encode(2024, 8, 8, 18, 0));
    EXPECT_TRUE(recorder.eventactive);
}

TEST_F(SchedulerTest, FixedDateIncludesItsStopMoment) {
    TRecEvent e;
    e.rep_mode = 1;
    e.startdate = datetime::encode(2024, 8, 8, 18, 0);
    e.stopdate = datetime::encode(2024, 8, 8, 19, 0);
    addEvent(e);
    // The program's first block arrives exactly at the stop moment: due, and over at the
    // next block.
    blockAt(datetime::encode(2024, 8, 8, 19, 0));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    blockAt(datetime::encode(2024, 8, 8, 19, 0, 0, 30));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(status(1), QStringLiteral("Complete"));
}

TEST_F(SchedulerTest, StopByHandCancelsLeavesTheApplicationOpenAndSkipsLaterDays) {
    TRecEvent e = daily(QStringLiteral("Morning"), 10, 11);
    e.task = true;
    e.appname = QStringLiteral("browser");
    e.url = QStringLiteral("http://stream.example/");
    addEvent(e);

    blockAt(at(Monday, 10, 0, 0, 30));
    ASSERT_TRUE(recorder.eventactive);
    ASSERT_EQ(launcher.starts.size(), 1u);
    blockAt(at(Monday, 10, 30));

    ASSERT_TRUE(view.enabled(Button::Stop));
    recorder.StopClick(); // by hand
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_TRUE(events[1].canceled);
    EXPECT_EQ(status(1), QStringLiteral("Canceled"));
    blockAt(at(Monday, 10, 30, 0, 30));
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(filesInFolder().size(), 1);

    // The browser stays open, even when the stop moment passes.
    blockAt(at(Monday, 11, 0, 1));
    EXPECT_TRUE(launcher.closes.empty());
    EXPECT_EQ(heldPid(scheduler), 500);
    EXPECT_EQ(status(1), QStringLiteral("Canceled"));

    // Skipped on the following days.
    blockAt(at(Monday + 1, 10, 30));
    blockAt(at(Monday + 2, 10, 30));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(launcher.starts.size(), 1u);
    EXPECT_EQ(filesInFolder().size(), 1);

    // Until the flag is cleared (the scheduler window does so when it is shown).
    events[1].canceled = false;
    blockAt(at(Monday + 2, 10, 30, 0, 30));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    EXPECT_EQ(status(1), QStringLiteral("Record..."));
    EXPECT_EQ(launcher.starts.size(), 2u);
}

TEST_F(SchedulerTest, TwoEventsDueInOneCheckBothStartAndTheSecondIsCurrent) {
    TRecEvent first = daily(QStringLiteral("First"), 10, 10);
    first.stop = timeOfDay(10, 30);
    first.filename = QStringLiteral("First");
    first.task = true;
    first.appname = QStringLiteral("player-one");
    first.url = QStringLiteral("u1");
    addEvent(first);
    TRecEvent second = daily(QStringLiteral("Second"), 10, 11);
    second.filename = QStringLiteral("Second");
    second.task = true;
    second.appname = QStringLiteral("player-two --quiet");
    second.url = QStringLiteral("u2");
    addEvent(second);

    std::vector<int16_t> recorded;
    append(recorded, blockAt(at(Monday, 10, 0, 0, 30)));
    EXPECT_EQ(status(1), QStringLiteral("Record..."));
    EXPECT_EQ(status(2), QStringLiteral("Record..."));
    EXPECT_EQ(list.selections, (std::vector<int>{0, 1}));
    ASSERT_EQ(launcher.starts.size(), 2u);
    EXPECT_EQ(launcher.starts[0].program, QStringLiteral("player-one"));
    EXPECT_EQ(launcher.starts[0].arguments, QStringList{QStringLiteral("u1")});
    EXPECT_EQ(launcher.starts[1].program, QStringLiteral("player-two"));
    EXPECT_EQ(launcher.starts[1].arguments,
              (QStringList{QStringLiteral("--quiet"), QStringLiteral("u2")}));
    EXPECT_EQ(heldPid(scheduler), 501);
    EXPECT_EQ(recorder.currentevent, 2);
    EXPECT_TRUE(recorder.eventactive);
    // The first started the recording.
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("First.wav")));

    // The first event's stop moment does not matter: it is not current.
    append(recorded, blockAt(at(Monday, 10, 30, 0, 30)));
    EXPECT_TRUE(recorder.writing);
    EXPECT_TRUE(recorder.eventactive);

    append(recorded, blockAt(at(Monday, 11, 0, 0, 30)));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(status(2), QStringLiteral("Complete"));
    EXPECT_EQ(status(1), QStringLiteral("Record..."));
    EXPECT_EQ(launcher.closes, (std::vector<std::pair<int64_t, uint32_t>>{{501, 100}}));
    expectFile(QStringLiteral("First.wav"), recorded);
    EXPECT_EQ(filesInFolder(), QStringList{QStringLiteral("First.wav")});

    blockAt(at(Monday, 11, 30));
    EXPECT_FALSE(recorder.eventactive);
}

TEST_F(SchedulerTest, EventDueWhileTheUserRecordsTakesOverTheUsersRecording) {
    TRecEvent e = daily(QStringLiteral("Show"), 10, 11);
    e.filename = QStringLiteral("Show");
    e.task = true;
    e.appname = QStringLiteral("browser");
    e.url = QStringLiteral("http://show.example/");
    addEvent(e);

    blockAt(at(Monday, 9, 50));
    recorder.StartClick(); // the user
    ASSERT_TRUE(recorder.writing);
    const QString usersFile = recorder.outputfile;
    EXPECT_EQ(usersFile, path(QStringLiteral("rec-100.wav")));

    blockAt(at(Monday, 10, 0, 0, 30));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_EQ(recorder.currentevent, 1);
    EXPECT_EQ(launcher.starts.size(), 1u);
    EXPECT_EQ(status(1), QStringLiteral("Record..."));
    EXPECT_EQ(recorder.outputfile, usersFile); // no new file
    EXPECT_TRUE(recorder.writing);

    blockAt(at(Monday, 11, 0, 0, 30));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing); // the user's recording stopped
    EXPECT_EQ(status(1), QStringLiteral("Complete"));
    EXPECT_FALSE(events[1].canceled);
    EXPECT_EQ(launcher.closes.size(), 1u);
    EXPECT_EQ(filesInFolder(), QStringList{QStringLiteral("rec-100.wav")});
}

TEST_F(SchedulerTest, DisabledSchedulerStartsNothingAndCompletesNothing) {
    addEvent(daily(QStringLiteral("Morning"), 10, 11));
    config.scheduler = false;
    blockAt(at(Monday, 10, 30));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing);
    EXPECT_EQ(status(1), QStringLiteral("Wait..."));

    // Disabled while an event is current: it stays current past its stop moment.
    config.scheduler = true;
    blockAt(at(Monday, 10, 30, 0, 30));
    ASSERT_TRUE(recorder.eventactive);
    config.scheduler = false;
    blockAt(at(Monday, 11, 30));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    EXPECT_EQ(status(1), QStringLiteral("Record..."));

    // It completes at the first check after the scheduler is enabled again.
    config.scheduler = true;
    blockAt(at(Monday, 11, 30, 0, 30));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_EQ(status(1), QStringLiteral("Complete"));
}

TEST_F(SchedulerTest, ListWithoutRowsOrNoListStillMovesTheState) {
    addEvent(daily(QStringLiteral("Morning"), 10, 11));
    list.statuses.clear(); // the window has not built its list yet

    blockAt(at(Monday, 10, 0, 0, 30));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    EXPECT_TRUE(list.selections.empty());
    recorder.StopClick();
    EXPECT_TRUE(events[1].canceled);
    EXPECT_FALSE(recorder.eventactive);
    blockAt(at(Monday, 10, 0, 0, 60));

    events[1].canceled = false;
    scheduler.setList(nullptr);
    blockAt(at(Monday, 10, 30));
    EXPECT_TRUE(recorder.eventactive);
    blockAt(at(Monday, 11, 0, 0, 30));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_FALSE(recorder.writing);
    EXPECT_FALSE(events[1].canceled);
}

TEST_F(SchedulerTest, WithoutFileNameTheEventNamesTheRecording) {
    config.namingexpression = QStringLiteral("EVENT-NUM");
    addEvent(daily(QStringLiteral("Morning Show"), 10, 11));
    blockAt(at(Monday, 10, 30));
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral("Morning Show-100.wav")));
    EXPECT_EQ(scheduler.eventName(1), QStringLiteral("Morning Show"));
    EXPECT_EQ(scheduler.eventName(0), QString());
    EXPECT_EQ(scheduler.eventName(MaxEvents + 1), QString());
    scheduler.cancelEvent(-1); // ignored
    scheduler.cancelEvent(MaxEvents + 1);
}

TEST_F(SchedulerTest, AnEventsFileNameStaysInTheOutputFolder) {
    // A hand-edited events file can hold any text as the file name.
    TRecEvent e = daily(QStringLiteral("Show"), 10, 11);
    e.filename = QStringLiteral("../away/x:y");
    addEvent(e);
    blockAt(at(Monday, 10, 30));
    ASSERT_TRUE(recorder.writing);
    EXPECT_EQ(recorder.outputfile, path(QStringLiteral(".._away_x_y.wav")));
}

TEST_F(SchedulerTest, ApplicationFailuresAreReportedAndTheRecordingStartsAllTheSame) {
    TRecEvent e = daily(QStringLiteral("Morning"), 10, 11);
    e.task = true;
    e.appname = QStringLiteral("missing-player");
    e.url = QStringLiteral("http://x.example/");
    addEvent(e);
    launcher.failure = QStringLiteral("Cannot start \"missing-player\": No such file or directory");

    scheduler.reportFailure = [this](const QString& text) {
        EXPECT_TRUE(recorder.writing) << "reported before the recording started";
        reports << text;
    };
    blockAt(at(Monday, 10, 30));
    EXPECT_EQ(reports,
              QStringList{QStringLiteral("Scheduler error: Cannot start "
                                         "\"missing-player\": No such file or directory")});
    EXPECT_TRUE(shown.shown.empty());
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
    EXPECT_EQ(heldPid(scheduler), 0);

    // At the stop moment there is no application to close.
    blockAt(at(Monday, 11, 0, 0, 30));
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_TRUE(launcher.closes.empty());
}

TEST_F(SchedulerTest, EmptyApplicationWithAnAddressIsNotRunAndTheRecordingStarts) {
    TRecEvent e = daily(QStringLiteral("Morning"), 10, 11);
    e.task = true;
    e.url = QStringLiteral("/tmp/evil-program");
    addEvent(e);

    blockAt(at(Monday, 10, 30));
    EXPECT_TRUE(launcher.starts.empty());
    EXPECT_EQ(reports, QStringList{QStringLiteral("Scheduler error: Application not specified")});
    EXPECT_TRUE(shown.shown.empty());
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_TRUE(recorder.writing);
}

TEST_F(SchedulerTest, OnlyTheFirstHundredSlotsAreVisited) {
    config.numevents = 150; // an edited file; slots beyond the table do not exist
    TRecEvent e = daily(QStringLiteral("Last"), 10, 11);
    events[MaxEvents] = e;
    blockAt(at(Monday, 10, 30));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_EQ(recorder.currentevent, MaxEvents);
}

/// The engine and recorder fed through the real capture, storage and hand-off from the
/// scripted audio engine, as in the program: a block reaches the recorder only when the one
/// before it has been handled.
class SchedulerCaptureTest : public SchedulerTest {
protected:
    static constexpr uint32_t PacketFrames = 2400; // 50 ms: one block each

    void SetUp() override {
        SchedulerTest::SetUp();
        audio::SimEndpoint sink;
        sink.id = Sink;
        sink.cardName = QStringLiteral("Card");
        sink.endpointName = QStringLiteral("Speakers");
        sink.mixFormat = audio::SimEngine::floatFormat(Rate, 2);
        engine.addEndpoint(sink);
        engine.setDefaultEndpoint(audio::eRender, Sink);
        live.setAudioEngine(&engine);
        live.propagate();
        recorder.setCaptureSource(&live);
        live.OnData = [this](TWASAPISource* sender, const void* data, int32_t size) {
            recorder.event(sender, data, size);
            receivedFrames += std::max(size, 0) / 4;
        };
        ASSERT_TRUE(live.startnew(live.defaultcard, live.defaultinput, recorder.PCM));
    }

    void TearDown() override {
        live.stop();
        recorder.setCaptureSource(&source);
        SchedulerTest::TearDown();
    }

    /// Plays packets until `count` have been played in all, each taken by the capture
    /// thread before the next.
    void play(int count) {
        while (played < count) {
            engine.queuePacket(Sink, audio::SimEngine::floatPacket(
                                         std::vector<float>(PacketFrames * 2, 0.25f), 2));
            ++played;
            ASSERT_TRUE(processUntil(
                [this] { return engine.releasedPackets(Sink) >= static_cast<uint64_t>(played); }));
        }
    }

    const QString Sink = QStringLiteral("sink");
    audio::SimEngine engine;
    AudioThreadFactory threads{handoff, engine};
    TWASAPISource live{handoff, &threads, clock};
    int played = 0;
    int64_t receivedFrames = 0;
};

TEST_F(SchedulerCaptureTest, AnApplicationThatCannotStartHoldsUpNoBlockOfTheEvent) {
    TRecEvent e = daily(QStringLiteral("Morning"), 10, 11);
    e.filename = QStringLiteral("Morning");
    e.task = true;
    e.appname = QStringLiteral("missing-player");
    addEvent(e);
    launcher.failure = QStringLiteral("Cannot start \"missing-player\": No such file or directory");
    constexpr int EventPackets = 8;
    // A modal box inside the data handler stays open until someone comes back, after the
    // event, say; meanwhile capture goes on and its blocks wait behind the one in hand.
    shown.whileOpen = [this] {
        play(EventPackets);
        clock.set(at(Monday, 11, 0, 0, 30));
    };

    clock.set(at(Monday, 10, 30));
    play(EventPackets);
    ASSERT_TRUE(processUntil([this] { return receivedFrames >= EventPackets * PacketFrames; }));
    // The first block after the stop moment ends the event.
    clock.set(at(Monday, 11, 0, 0, 30));
    play(EventPackets + 1);
    ASSERT_TRUE(processUntil([this] { return !recorder.eventactive; }));

    EXPECT_TRUE(shown.shown.empty());
    EXPECT_EQ(reports,
              QStringList{QStringLiteral("Scheduler error: Cannot start "
                                         "\"missing-player\": No such file or directory")});
    EXPECT_EQ(status(1), QStringLiteral("Complete"));
    const DecodedSound sound = decodeSound(path(QStringLiteral("Morning.wav")));
    ASSERT_TRUE(sound.ok) << qPrintable(sound.error);
    EXPECT_EQ(sound.samples.size() / 2, size_t{EventPackets + 1} * PacketFrames);
}
