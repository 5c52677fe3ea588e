#include "schedulefixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTest>
#include <QTimeEdit>

#include <cmath>
#include <memory>

namespace {

const QString Caption = QStringLiteral("Orvanta");

class AddEventTest : public ScheduleFixture {
protected:
    /// An editor as the window makes it, shown (which fills it).
    std::unique_ptr<Taddevent> openEditor(Taddevent::Mode mode, int row = -1) {
        auto editor =
            std::make_unique<Taddevent>(*window.ListView1, engine, recorder, clock, &window);
        editor->defaultBrowser = window.defaultBrowser;
        editor->setMode(mode, row);
        editor->show();
        return editor;
    }

    static void tickDays(Taddevent& editor, std::initializer_list<int> tags) {
        for (int tag : tags)
            editor.dayBoxes[static_cast<size_t>(tag - 1)]->setChecked(true);
    }

    static QStringList tickedDays(const Taddevent& editor) {
        QStringList ticked;
        for (const QCheckBox* box : editor.dayBoxes) {
            if (box->isChecked())
                ticked << box->text();
        }
        return ticked;
    }

    static bool taskFieldsEnabled(const Taddevent& editor) {
        const bool on = editor.e_app->isEnabled();
        EXPECT_EQ(editor.e_param->isEnabled(), on);
        EXPECT_EQ(editor.testButton->isEnabled(), on);
        EXPECT_EQ(editor.appLabel->isEnabled(), on);
        EXPECT_EQ(editor.paramLabel->isEnabled(), on);
        return on;
    }

    /// Editor times are whole seconds; compare moments to the millisecond.
    static void expectMoment(TDateTime actual, TDateTime expected, const char* what) {
        EXPECT_EQ(std::llround(actual * datetime::MsPerDay),
                  std::llround(expected * datetime::MsPerDay))
            << what;
    }

    static TDateTime today() { return datetime::encode(2024, 8, 8); }
};

TEST_F(AddEventTest, AddModeStartsFromTheDefaults) {
    auto editor = openEditor(Taddevent::Mode::Add);
    EXPECT_EQ(editor->windowTitle(), QStringLiteral("Add Event"));
    EXPECT_EQ(editor->e_name->text(), QString());
    EXPECT_EQ(editor->e_starttime->time(), QTime(0, 0, 0));
    EXPECT_EQ(editor->e_stoptime->time(), QTime(1, 0, 0));
    EXPECT_EQ(editor->e_starttime->displayFormat(), QStringLiteral("HH:mm:ss"));
    EXPECT_EQ(editor->e_fixeddate->date(), QDate(2024, 8, 8)) << "today, from the clock";
    EXPECT_TRUE(editor->e_fixeddate->calendarPopup());
    EXPECT_EQ(editor->e_rep->currentIndex(), 0);
    EXPECT_EQ(editor->Notebook1->currentIndex(), 0);
    EXPECT_EQ(editor->e_app->text(), QStringLiteral("test-browser %u"));
    EXPECT_EQ(editor->e_param->text(), QString());
    EXPECT_FALSE(editor->e_task->isChecked());
    EXPECT_FALSE(taskFieldsEnabled(*editor));
    EXPECT_TRUE(editor->autobutton->isChecked());
    EXPECT_TRUE(tickedDays(*editor).isEmpty());

    // The task box switches the application fields, by mouse or otherwise.
    QTest::mouseClick(editor->e_task, Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_TRUE(editor->e_task->isChecked());
    EXPECT_TRUE(taskFieldsEnabled(*editor));
    editor->e_task->setChecked(false);
    EXPECT_FALSE(taskFieldsEnabled(*editor));
    editor->e_task->setChecked(true);
    EXPECT_TRUE(taskFieldsEnabled(*editor));
}

TEST_F(AddEventTest, TheDateFieldAlwaysShowsFourDigitYears) {
    // The short format of the United States has two-digit years, which a typed date could
    // put in the wrong century.
    const QLocale before;
    QLocale::setDefault(QLocale(QStringLiteral("en_US")));
    auto editor = openEditor(Taddevent::Mode::Add);
    QLocale::setDefault(before);
    EXPECT_EQ(editor->e_fixeddate->displayFormat(), QStringLiteral("M/d/yyyy"));
    EXPECT_EQ(editor->e_fixeddate->text(), QStringLiteral("8/8/2024"));
}

TEST_F(AddEventTest, RepeatChoicesSwitchPagesAndDailyTicksEveryDay) {
    auto editor = openEditor(Taddevent::Mode::Add);
    tickDays(*editor, {2});
    editor->e_rep->setCurrentIndex(1);
    EXPECT_EQ(editor->Notebook1->currentIndex(), 1);
    EXPECT_EQ(tickedDays(*editor), QStringList{"Tue"}) << "the date page leaves the days alone";
    editor->e_rep->setCurrentIndex(2);
    EXPECT_EQ(editor->Notebook1->currentIndex(), 0);
    EXPECT_EQ(tickedDays(*editor).size(), 7);
    editor->e_rep->setCurrentIndex(0);
    EXPECT_EQ(editor->Notebook1->currentIndex(), 0);
    EXPECT_EQ(tickedDays(*editor).size(), 7) << "switching back leaves them ticked";
}

TEST_F(AddEventTest, AddingStoresTheEventAndAppendsItsRow) {
    addNamedEvents(1);
    window.show();
    onEditor([](Taddevent& editor) {
        editor.e_name->setText(QStringLiteral("Late show"));
        editor.e_starttime->setTime(QTime(23, 0, 0));
        editor.e_stoptime->setTime(QTime(1, 0, 0));
        tickDays(editor, {1, 3, 5});
        editor.e_task->setChecked(true);
        editor.e_param->setText(QStringLiteral("http://radio.example/live"));
        editor.Ok_ButtonClick();
    });
    window.addeventbutton->click();

    ASSERT_EQ(config.numevents, 2);
    const TRecEvent& ev = events[2];
    EXPECT_EQ(ev.name, QStringLiteral("Late show"));
    expectMoment(ev.start, 23.0 / 24, "start");
    expectMoment(ev.stop, 1.0 / 24, "stop");
    EXPECT_EQ(ev.rep_mode, 0);
    EXPECT_TRUE(ev.nextday);
    expectMoment(ev.startdate, today(), "startdate");
    expectMoment(ev.stopdate, today() + 1, "stopdate");
    EXPECT_EQ(ev.days, (std::array<bool, 7>{true, false, true, false, true, false, false}));
    EXPECT_TRUE(ev.task);
    EXPECT_EQ(ev.appname, QStringLiteral("test-browser %u"));
    EXPECT_EQ(ev.url, QStringLiteral("http://radio.example/live"));
    EXPECT_EQ(ev.filename, QString());
    EXPECT_FALSE(ev.canceled);
    EXPECT_EQ(rowTexts(1), (QStringList{"Late show", "23:00:00", "01:00:00", "Mon,Wed,Fri",
                                        "Auto-Name", "Wait..."}));
    EXPECT_TRUE(fake.shown.empty());

    // Equal times do not run into the next day.
    onEditor([](Taddevent& editor) {
        editor.e_name->setText(QStringLiteral("Same"));
        editor.manualbutton->setChecked(true);
        editor.e_starttime->setTime(QTime(10, 0, 0));
        editor.e_stoptime->setTime(QTime(10, 0, 0));
        editor.e_rep->setCurrentIndex(2);
        editor.Ok_ButtonClick();
    });
    window.addeventbutton->click();
    ASSERT_EQ(config.numevents, 3);
    EXPECT_FALSE(events[3].nextday);
    expectMoment(events[3].stopdate, today(), "stopdate");
    EXPECT_EQ(events[3].filename, QStringLiteral("Same"));
    EXPECT_EQ(rowTexts(2),
              (QStringList{"Same", "10:00:00", "10:00:00", "Daily", "Same", "Wait..."}));
}

TEST_F(AddEventTest, AFixedDateEventEditedLaterShowsItsStartMoment) {
    window.show();
    onEditor([](Taddevent& editor) {
        editor.e_name->setText(QStringLiteral("Concert"));
        editor.e_rep->setCurrentIndex(1);
        editor.e_fixeddate->setDate(QDate(2024, 8, 20));
        editor.e_starttime->setTime(QTime(23, 30, 0));
        editor.e_stoptime->setTime(QTime(1, 15, 0));
        editor.Ok_ButtonClick();
    });
    window.addeventbutton->click();
    ASSERT_EQ(config.numevents, 1);
    expectMoment(events[1].startdate, datetime::encode(2024, 8, 20, 23, 30), "startdate");
    expectMoment(events[1].stopdate, datetime::encode(2024, 8, 21, 1, 15), "stopdate");
    EXPECT_EQ(rowTexts(0)[3], QStringLiteral("20 Aug 2024"));

    window.selectRow(0);
    auto editor = openEditor(Taddevent::Mode::Edit, 0);
    EXPECT_EQ(editor->windowTitle(), QStringLiteral("Edit Event"));
    EXPECT_EQ(editor->e_rep->currentIndex(), 1);
    EXPECT_EQ(editor->Notebook1->currentIndex(), 1);
    EXPECT_EQ(editor->e_fixeddate->dateTime(), QDateTime(QDate(2024, 8, 20), QTime(23, 30)));
    EXPECT_EQ(editor->e_starttime->time(), QTime(23, 30));
    EXPECT_EQ(editor->e_stoptime->time(), QTime(1, 15));

    // Saved unchanged, the event stays as it was.
    const TRecEvent before = events[1];
    editor->Ok_ButtonClick();
    EXPECT_EQ(editor->result(), QDialog::Accepted);
    EXPECT_EQ(events[1], before);
}

TEST_F(AddEventTest, EditModeShowsTheEventAndRewritesItsRow) {
    TRecEvent ev = makeEvent(QStringLiteral("Morning"), 6, 8, {6, 7});
    ev.filename = QStringLiteral("Morning");
    ev.task = true;
    ev.appname = QStringLiteral("player");
    ev.url = QStringLiteral("stream");
    addEvents({makeEvent(QStringLiteral("First"), 1, 2), ev});
    window.show();
    window.setRowStatus(1, QStringLiteral("Complete"));
    window.selectRow(1);

    auto editor = openEditor(Taddevent::Mode::Edit, 1);
    EXPECT_EQ(editor->e_name->text(), QStringLiteral("Morning"));
    EXPECT_EQ(editor->e_starttime->time(), QTime(6, 0));
    EXPECT_EQ(editor->e_stoptime->time(), QTime(8, 0));
    EXPECT_TRUE(editor->manualbutton->isChecked());
    EXPECT_TRUE(editor->e_task->isChecked());
    EXPECT_TRUE(taskFieldsEnabled(*editor));
    EXPECT_EQ(editor->e_app->text(), QStringLiteral("player"));
    EXPECT_EQ(editor->e_param->text(), QStringLiteral("stream"));
    EXPECT_EQ(tickedDays(*editor), (QStringList{"Sat", "Sun"}));
    EXPECT_EQ(editor->e_fixeddate->date(), QDate(2024, 8, 1));

    editor->e_name->setText(QStringLiteral("Weekend"));
    editor->autobutton->setChecked(true);
    editor->e_stoptime->setTime(QTime(9, 30));
    editor->Ok_ButtonClick();
    EXPECT_EQ(editor->result(), QDialog::Accepted);
    EXPECT_EQ(config.numevents, 2);
    EXPECT_EQ(events[2].name, QStringLiteral("Weekend"));
    EXPECT_EQ(events[2].filename, QString());
    expectMoment(events[2].stop, 9.5 / 24, "stop");
    EXPECT_EQ(rowTexts(1),
              (QStringList{"Weekend", "06:00:00", "09:30:00", "Sat,Sun", "Auto-Name", "Wait..."}));
    EXPECT_EQ(rowTexts(0)[0], QStringLiteral("First"));

    // A daily event opens with every day ticked.
    events[1].rep_mode = 2;
    auto daily = openEditor(Taddevent::Mode::Edit, 0);
    EXPECT_EQ(tickedDays(*daily).size(), 7);
    EXPECT_EQ(daily->Notebook1->currentIndex(), 0);
}

TEST_F(AddEventTest, EditingTheRecordingEventKeepsItRecordingWithTheNewStopTime) {
    addEvents({makeEvent(QStringLiteral("A"), 20, 21), makeEvent(QStringLiteral("B"), 22, 23)});
    config.scheduler = true;
    window.show();
    events[2].days.fill(true);
    engine.checkscheduler(); // Thursday 22:15:07: "B" is due
    ASSERT_TRUE(recorder.eventactive);
    ASSERT_EQ(recorder.currentevent, 2);
    ASSERT_EQ(rowTexts(1)[5], QStringLiteral("Record..."));

    auto editor = openEditor(Taddevent::Mode::Edit, 1);
    editor->e_stoptime->setTime(QTime(23, 45));
    editor->Ok_ButtonClick();
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_EQ(recorder.currentevent, 2);
    expectMoment(events[2].stopdate, datetime::encode(2024, 8, 8, 23, 45), "new stop moment");
    EXPECT_EQ(rowTexts(1)[5], QStringLiteral("Wait..."));

    // The engine now stops it at the new moment, not the old one.
    clock.set(datetime::encode(2024, 8, 8, 23, 30));
    engine.checkscheduler();
    EXPECT_TRUE(recorder.eventactive);
    clock.set(datetime::encode(2024, 8, 8, 23, 46));
    engine.checkscheduler();
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_EQ(rowTexts(1)[5], QStringLiteral("Complete"));

    // Another event edited meanwhile keeps the stop moment the editor gives it.
    recorder.eventactive = true;
    auto other = openEditor(Taddevent::Mode::Edit, 0);
    other->Ok_ButtonClick();
    expectMoment(events[1].stopdate, datetime::encode(2024, 8, 1), "not the running event");
    EXPECT_TRUE(recorder.eventactive);
}

TEST_F(AddEventTest, AnOvernightRecordingEditedAfterMidnightStopsThatNight) {
    addEvents({makeEvent(QStringLiteral("Night"), 23, 1, {4})});
    events[1].stopdate = datetime::encode(2024, 8, 9, 1); // started on Thursday
    recorder.eventactive = true;
    recorder.currentevent = 1;
    window.show();

    // Before midnight the stop moment is the next morning.
    auto before = openEditor(Taddevent::Mode::Edit, 0);
    before->e_stoptime->setTime(QTime(2, 0));
    before->Ok_ButtonClick();
    expectMoment(events[1].stopdate, datetime::encode(2024, 8, 9, 2), "before midnight");

    // After midnight it is the same morning, not a day later.
    clock.set(datetime::encode(2024, 8, 9, 0, 30));
    auto after = openEditor(Taddevent::Mode::Edit, 0);
    after->e_stoptime->setTime(QTime(3, 0));
    after->Ok_ButtonClick();
    expectMoment(events[1].stopdate, datetime::encode(2024, 8, 9, 3), "after midnight");
    EXPECT_TRUE(recorder.eventactive);
}

TEST_F(AddEventTest, BadInputIsExplainedAndKeepsTheEditorOpen) {
    window.show();
    auto editor = openEditor(Taddevent::Mode::Add);
    editor->e_starttime->setTime(QTime(7, 0));
    editor->e_param->setText(QStringLiteral("kept"));
    editor->Ok_ButtonClick();
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].text, QStringLiteral("Please enter event name."));
    EXPECT_EQ(fake.shown[0].caption, Caption);
    EXPECT_EQ(fake.shown[0].icon, MessageIcon::Information);
    EXPECT_EQ(fake.shown[0].buttons, MessageButtons::Ok);

    editor->e_name->setText(QStringLiteral("   "));
    editor->Ok_ButtonClick();
    ASSERT_EQ(fake.shown.size(), 2u);
    EXPECT_EQ(fake.shown[1].text, QStringLiteral("Please enter event name."));

    editor->e_name->setText(QStringLiteral("Radio"));
    editor->Ok_ButtonClick();
    ASSERT_EQ(fake.shown.size(), 3u);
    EXPECT_EQ(fake.shown[2].text, QStringLiteral("Please select at least one day of week."));
    EXPECT_EQ(fake.shown[2].icon, MessageIcon::Information);

    // A name used as the file name must be one.
    tickDays(*editor, {4});
    editor->manualbutton->setChecked(true);
    editor->e_name->setText(QStringLiteral("../Radio"));
    editor->Ok_ButtonClick();
    ASSERT_EQ(fake.shown.size(), 4u);
    EXPECT_TRUE(fake.shown[3].text.startsWith(QStringLiteral("The event name is also used")));

    EXPECT_TRUE(editor->isVisible());
    EXPECT_NE(editor->result(), QDialog::Accepted);
    EXPECT_EQ(config.numevents, 0);
    EXPECT_EQ(window.rowCount(), 0);
    EXPECT_EQ(editor->e_starttime->time(), QTime(7, 0)) << "the input stays";
    EXPECT_EQ(editor->e_param->text(), QStringLiteral("kept"));
    EXPECT_EQ(tickedDays(*editor), QStringList{"Thu"});

    // With an automatic file name the same text is just a name; a fixed date needs no days.
    editor->autobutton->setChecked(true);
    editor->dayBoxes[3]->setChecked(false);
    editor->e_rep->setCurrentIndex(1);
    editor->Ok_ButtonClick();
    EXPECT_EQ(fake.shown.size(), 4u);
    EXPECT_EQ(editor->result(), QDialog::Accepted);
    EXPECT_EQ(config.numevents, 1);
    EXPECT_EQ(events[1].name, QStringLiteral("../Radio"));
    EXPECT_EQ(window.rowCount(), 1);
}

TEST_F(AddEventTest, TestingTheTaskStartsTheApplicationNow) {
    auto editor = openEditor(Taddevent::Mode::Add);
    editor->e_task->setChecked(true);
    editor->e_app->setText(QStringLiteral("player --new-window"));
    const QString url = QStringLiteral("http://radio.example/a b?x=\"1\"&y=2");
    editor->e_param->setText(url);
    editor->testButton->click();
    ASSERT_EQ(launcher.started.size(), 1u);
    EXPECT_EQ(launcher.started[0].program, QStringLiteral("player"));
    EXPECT_EQ(launcher.started[0].arguments, (QStringList{"--new-window", url}))
        << "the address is one argument, unchanged";
    EXPECT_TRUE(fake.shown.empty());

    launcher.failure = QStringLiteral("No such file or directory");
    editor->testButtonClick();
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].text, QStringLiteral("Scheduler error: No such file or directory"));

    editor->e_app->clear();
    editor->e_param->clear();
    editor->testButtonClick();
    ASSERT_EQ(fake.shown.size(), 2u);
    EXPECT_EQ(fake.shown[1].text, QStringLiteral("Scheduler error: Application not specified"));
    EXPECT_EQ(launcher.started.size(), 2u);
    EXPECT_EQ(config.numevents, 0) << "testing stores nothing";
    EXPECT_TRUE(editor->isVisible());
}

TEST_F(AddEventTest, CancelChangesNothing) {
    addNamedEvents(1);
    window.show();
    const TRecEvent before = events[1];
    auto editor = openEditor(Taddevent::Mode::Edit, 0);
    editor->e_name->setText(QStringLiteral("Changed"));
    editor->e_rep->setCurrentIndex(2);
    editor->Cancel_Button->click();
    EXPECT_EQ(editor->result(), QDialog::Rejected);
    EXPECT_FALSE(editor->isVisible());
    EXPECT_EQ(events[1], before);
    EXPECT_EQ(rowTexts(0)[0], QStringLiteral("A"));
}

} // namespace
