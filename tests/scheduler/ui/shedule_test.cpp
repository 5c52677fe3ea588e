#include "schedulefixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

const QString Full = QStringLiteral(
    "The schedule is full: it holds at most 100 events. Delete an event before adding another.");

class SheduleTest : public ScheduleFixture {
protected:
    bool commandsEnabled() const {
        const bool edit = window.editeventbutton->isEnabled();
        EXPECT_EQ(window.deleventbutton->isEnabled(), edit);
        EXPECT_EQ(window.cloneeventbutton->isEnabled(), edit);
        return edit;
    }
};

TEST_F(SheduleTest, ShowingRebuildsTheListAndClearsEveryCanceledFlag) {
    TRecEvent weekdays = makeEvent(QStringLiteral("Morning"), 10, 11, {1, 3, 5});
    weekdays.canceled = true;
    TRecEvent daily = makeEvent(QStringLiteral("News"), 23, 1, {}, 2);
    daily.filename = QStringLiteral("news");
    daily.canceled = true;
    TRecEvent fixed = makeEvent(QStringLiteral("Concert"), 18, 19, {}, 1);
    fixed.startdate = datetime::encode(2024, 8, 20, 18);
    TRecEvent noDays = makeEvent(QStringLiteral("Nothing"), 0, 0, {});
    addEvents({weekdays, daily, fixed, noDays});

    EXPECT_EQ(window.windowTitle(), QStringLiteral("Recording Schedule"));
    EXPECT_EQ(window.rowCount(), 0) << "the list is built when the window is shown";
    window.show();

    QStringList headers;
    for (int c = 0; c < window.ListView1->columnCount(); ++c)
        headers << window.ListView1->headerItem()->text(c);
    EXPECT_EQ(headers,
              (QStringList{"Name", "Start time", "End time", "Repeat", "File Name", "Status"}));
    ASSERT_EQ(window.rowCount(), 4);
    EXPECT_EQ(rowTexts(0), (QStringList{"Morning", "10:00:00", "11:00:00", "Mon,Wed,Fri",
                                        "Auto-Name", "Wait..."}));
    EXPECT_EQ(rowTexts(1),
              (QStringList{"News", "23:00:00", "01:00:00", "Daily", "news", "Wait..."}));
    EXPECT_EQ(rowTexts(2)[3], QStringLiteral("20 Aug 2024"));
    EXPECT_EQ(rowTexts(3)[3], QString());
    for (int slot = 1; slot <= 4; ++slot)
        EXPECT_FALSE(events[static_cast<size_t>(slot)].canceled) << slot;
    EXPECT_FALSE(commandsEnabled()) << "nothing is selected after a rebuild";

    // The engine's texts last until the next showing; a flag set meanwhile is cleared again.
    window.setRowStatus(0, QStringLiteral("Canceled"));
    events[1].canceled = true;
    window.hide();
    EXPECT_EQ(window.rowCount(), 4) << "hiding keeps the list";
    EXPECT_EQ(rowTexts(0)[5], QStringLiteral("Canceled"));
    window.show();
    EXPECT_EQ(rowTexts(0)[5], QStringLiteral("Wait..."));
    EXPECT_FALSE(events[1].canceled);

    // A damaged count neither reads beyond the table nor builds rows for nothing.
    window.hide();
    config.numevents = -5;
    window.show();
    EXPECT_EQ(window.rowCount(), 0);
    window.hide();
    config.numevents = MaxEvents + 20;
    window.show();
    EXPECT_EQ(window.rowCount(), MaxEvents);
    EXPECT_TRUE(fake.shown.empty());
}

TEST_F(SheduleTest, ColumnWidthsAndTheSwitchComeFromTheSettings) {
    // A fresh record holds zero widths: the form's widths stay.
    window.FormCreate();
    auto widths = window.columnWidths();
    EXPECT_EQ((std::array<int32_t, 5>{widths[0], widths[1], widths[2], widths[3], widths[4]}),
              (std::array<int32_t, 5>{170, 70, 70, 86, 80}));
    EXPECT_EQ(widths[5], 75);
    EXPECT_FALSE(window.timenable->isChecked());

    config.schedulercolumns = {200, 90, 91, 92, 93, 300};
    config.scheduler = true;
    Tshedule second(engine, recorder, clock);
    second.FormCreate();
    widths = second.columnWidths();
    EXPECT_EQ(widths, (std::array<int32_t, 6>{200, 90, 91, 92, 93, 75}))
        << "the sixth column keeps its form width";
    EXPECT_TRUE(second.timenable->isChecked());

    // What the user drags the header to is what gets stored.
    second.ListView1->header()->resizeSection(2, 123);
    EXPECT_EQ(second.columnWidths()[2], 123);

    // A width beyond the screen keeps the form's width too.
    config.schedulercolumns = {8000, 90, 91, 92, 93, 75};
    Tshedule wide(engine, recorder, clock);
    wide.FormCreate();
    EXPECT_EQ(wide.columnWidths()[0], 170);
    EXPECT_EQ(wide.columnWidths()[1], 90);
    engine.setList(&window);
    config.scheduler = false;

    // The switch writes the setting at once; the main window's indicator follows at "&Ok".
    int refreshed = 0;
    bool schedulerAtRefresh = true;
    window.showinfo = [&] {
        ++refreshed;
        schedulerAtRefresh = config.scheduler;
    };
    window.show();
    QTest::mouseClick(window.timenable, Qt::LeftButton);
    EXPECT_TRUE(window.timenable->isChecked());
    EXPECT_TRUE(config.scheduler);
    EXPECT_EQ(refreshed, 0);
    window.OkButton->click();
    EXPECT_EQ(refreshed, 1);
    EXPECT_TRUE(schedulerAtRefresh);
    EXPECT_FALSE(window.isVisible());

    // Closing by the title bar only hides the window, and refreshes the indicators too.
    window.show();
    window.timenable->click();
    EXPECT_FALSE(config.scheduler);
    EXPECT_TRUE(window.close());
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(refreshed, 2);
    EXPECT_FALSE(schedulerAtRefresh);
}

TEST_F(SheduleTest, TheEngineSelectsRowsAndWritesTheirStatus) {
    addNamedEvents(3);
    window.show();
    EXPECT_EQ(window.rowCount(), 3);

    window.selectRow(2);
    EXPECT_EQ(window.selectedRow(), 2);
    EXPECT_TRUE(commandsEnabled());
    window.setRowStatus(1, QStringLiteral("Complete"));
    EXPECT_EQ(column(5), (QStringList{"Wait...", "Complete", "Wait..."}));

    // Rows that do not exist are left alone.
    window.selectRow(3);
    window.selectRow(-1);
    window.setRowStatus(3, QStringLiteral("Record..."));
    window.setRowStatus(-1, QStringLiteral("Record..."));
    EXPECT_EQ(window.selectedRow(), 2);
    EXPECT_EQ(column(5), (QStringList{"Wait...", "Complete", "Wait..."}));

    // The engine starting event 2 marks and selects its row.
    engine.schedulerhelper(2);
    EXPECT_EQ(window.selectedRow(), 1);
    EXPECT_EQ(column(5), (QStringList{"Wait...", "Record...", "Wait..."}));
    EXPECT_TRUE(recorder.eventactive);
    EXPECT_EQ(recorder.currentevent, 2);
}

TEST_F(SheduleTest, DeletingSelectsTheNextRowThenTheLastThenNothing) {
    addNamedEvents(4);
    events[4].filename = QStringLiteral("d");
    window.show();

    // No selection: nothing to delete.
    window.deleventbuttonClick();
    EXPECT_EQ(config.numevents, 4);

    window.selectRow(1);
    window.deleventbutton->click();
    EXPECT_EQ(tableNames(), (QStringList{"A", "C", "D"}));
    EXPECT_EQ(column(0), tableNames());
    EXPECT_EQ(events[3].filename, QStringLiteral("d")) << "every field moves down";
    EXPECT_EQ(events[4], TRecEvent{}) << "the freed slot holds nothing stale";
    EXPECT_EQ(window.selectedRow(), 1) << "the row that took its place";

    // The Delete key does the same; deleting the last row selects the new last row.
    window.selectRow(2);
    QTest::keyClick(window.ListView1, Qt::Key_Delete);
    EXPECT_EQ(tableNames(), (QStringList{"A", "C"}));
    EXPECT_EQ(column(0), tableNames());
    EXPECT_EQ(window.selectedRow(), 1);
    EXPECT_TRUE(commandsEnabled());

    // Other keys keep the list's own handling.
    QTest::keyClick(window.ListView1, Qt::Key_Up);
    EXPECT_EQ(window.selectedRow(), 0);
    EXPECT_EQ(config.numevents, 2);

    window.deleventbuttonClick();
    window.deleventbuttonClick();
    EXPECT_EQ(config.numevents, 0);
    EXPECT_EQ(window.rowCount(), 0);
    EXPECT_FALSE(commandsEnabled());
    EXPECT_TRUE(window.addeventbutton->isEnabled());
    window.deleventbuttonClick();
    EXPECT_EQ(config.numevents, 0);
    EXPECT_TRUE(fake.shown.empty()) << "deleting asks nothing";
}

TEST_F(SheduleTest, DeletingKeepsTheCurrentEventAttached) {
    addNamedEvents(5);
    window.show();
    recorder.eventactive = true;
    recorder.currentevent = 3; // "C"

    window.selectRow(4); // "E", after the current event
    window.deleventbuttonClick();
    EXPECT_EQ(recorder.currentevent, 3);
    window.selectRow(0); // "A", before it
    window.deleventbuttonClick();
    EXPECT_EQ(recorder.currentevent, 2);
    EXPECT_EQ(events[2].name, QStringLiteral("C"));
    EXPECT_TRUE(recorder.eventactive);

    // Deleting the current event itself hands the recording to the user.
    recorder.writing = true;
    window.selectRow(1);
    window.deleventbuttonClick();
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_EQ(recorder.currentevent, -1);
    EXPECT_TRUE(recorder.writing) << "the recording goes on";
    recorder.writing = false;

    // No event current: the number of the last event stays as it was.
    recorder.currentevent = 2;
    window.selectRow(0);
    window.deleventbuttonClick();
    EXPECT_EQ(recorder.currentevent, 2);
    EXPECT_EQ(tableNames(), QStringList{"D"});
}

TEST_F(SheduleTest, CloningAppendsACopyAndKeepsTheSelection) {
    addNamedEvents(3);
    TRecEvent& source = events[2];
    source.nextday = true;
    source.task = true;
    source.url = QStringLiteral("http://radio.example/stream");
    source.filename = QStringLiteral("b-file");
    window.show();
    source.canceled = true;

    window.selectRow(1);
    window.cloneeventbutton->click();
    ASSERT_EQ(config.numevents, 4);
    TRecEvent expected = events[2];
    EXPECT_EQ(events[4], expected) << "every field is copied; the rebuild cleared canceled";
    EXPECT_FALSE(events[2].canceled);
    EXPECT_EQ(column(0), (QStringList{"A", "B", "C", "B"}));
    EXPECT_EQ(rowTexts(3)[4], QStringLiteral("b-file"));
    EXPECT_EQ(window.selectedRow(), 1);

    // Without a selection there is nothing to clone.
    window.ListView1->clearSelection();
    window.cloneeventbuttonClick();
    EXPECT_EQ(config.numevents, 4);
}

TEST_F(SheduleTest, AFullTableRefusesAddingAndCloning) {
    addNamedEvents(MaxEvents - 1);
    window.show();
    onEditor([](Taddevent& editor) {
        editor.e_name->setText(QStringLiteral("Last"));
        editor.e_rep->setCurrentIndex(2);
        editor.Ok_ButtonClick();
    });
    window.addeventbutton->click();
    ASSERT_EQ(config.numevents, MaxEvents) << "the hundredth event still fits";
    EXPECT_TRUE(fake.shown.empty());

    window.addeventbutton->click();
    window.selectRow(0);
    window.cloneeventbutton->click();
    EXPECT_EQ(editorsOpened, 1) << "the editor does not open for a full table";
    EXPECT_EQ(config.numevents, MaxEvents);
    EXPECT_EQ(window.rowCount(), MaxEvents);
    EXPECT_EQ(events[MaxEvents].name, QStringLiteral("Last"));
    ASSERT_EQ(fake.shown.size(), 2u);
    for (const auto& shown : fake.shown) {
        EXPECT_EQ(shown.text, Full);
        EXPECT_EQ(shown.caption, QStringLiteral("Orvanta"));
        EXPECT_EQ(shown.icon, MessageIcon::Information);
    }
    EXPECT_EQ(window.selectedRow(), 0);

    // The editor itself guards the table too.
    Taddevent editor(*window.ListView1, engine, recorder, clock);
    editor.show();
    editor.e_name->setText(QStringLiteral("One more"));
    editor.e_rep->setCurrentIndex(2);
    editor.Ok_ButtonClick();
    EXPECT_EQ(config.numevents, MaxEvents);
    EXPECT_EQ(window.rowCount(), MaxEvents);
    ASSERT_EQ(fake.shown.size(), 3u);
    EXPECT_EQ(fake.shown[2].text, Full);
    EXPECT_NE(editor.result(), QDialog::Accepted);
}

TEST_F(SheduleTest, DragAndDropMovesTheEventInTheTableAndTheList) {
    addNamedEvents(5);
    window.show();
    window.setRowStatus(1, QStringLiteral("Record..."));

    // Downwards: "B" to row 3.
    window.selectRow(1);
    EXPECT_TRUE(window.ListView1DragDrop(1, 3));
    EXPECT_EQ(tableNames(), (QStringList{"A", "C", "D", "B", "E"}));
    EXPECT_EQ(column(0), tableNames());
    EXPECT_EQ(column(5), (QStringList{"Wait...", "Wait...", "Wait...", "Record...", "Wait..."}))
        << "the row moves with its status";
    EXPECT_EQ(window.selectedRow(), 3);

    // Upwards: "E" to the top.
    EXPECT_TRUE(window.ListView1DragDrop(4, 0));
    EXPECT_EQ(tableNames(), (QStringList{"E", "A", "C", "D", "B"}));
    EXPECT_EQ(column(0), tableNames());
    EXPECT_EQ(column(1), QStringList(5, QStringLiteral("10:00:00")));

    // Onto itself, or rows that do not exist: nothing moves.
    EXPECT_TRUE(window.ListView1DragDrop(2, 2));
    EXPECT_FALSE(window.ListView1DragDrop(5, 0));
    EXPECT_FALSE(window.ListView1DragDrop(0, 5));
    EXPECT_FALSE(window.ListView1DragDrop(-1, 0));
    EXPECT_EQ(tableNames(), (QStringList{"E", "A", "C", "D", "B"}));
    EXPECT_EQ(column(0), tableNames());

    // A drop is welcome only where a row lies under the pointer.
    const QRect first = window.ListView1->visualItemRect(window.ListView1->topLevelItem(0));
    const QRect last = window.ListView1->visualItemRect(window.ListView1->topLevelItem(4));
    EXPECT_TRUE(window.ListView1DragOver(first.center()));
    EXPECT_TRUE(window.ListView1DragOver(last.center()));
    EXPECT_FALSE(window.ListView1DragOver(QPoint(last.center().x(), last.bottom() + 20)));
}

TEST_F(SheduleTest, MovingKeepsTheCurrentEventAttached) {
    addNamedEvents(5);
    window.show();
    recorder.eventactive = true;
    recorder.currentevent = 2; // "B"

    window.ListView1DragDrop(1, 3); // "B" itself moves down
    EXPECT_EQ(recorder.currentevent, 4);
    window.ListView1DragDrop(0, 4); // "A" passes it going down
    EXPECT_EQ(recorder.currentevent, 3);
    window.ListView1DragDrop(4, 0); // "A" passes it going up
    EXPECT_EQ(recorder.currentevent, 4);
    window.ListView1DragDrop(0, 1); // moves that do not cross it
    EXPECT_EQ(recorder.currentevent, 4);
    window.ListView1DragDrop(4, 4);
    EXPECT_EQ(recorder.currentevent, 4);
    EXPECT_EQ(events[static_cast<size_t>(recorder.currentevent)].name, QStringLiteral("B"));
    window.ListView1DragDrop(3, 0); // "B" itself moves up
    EXPECT_EQ(recorder.currentevent, 1);
    EXPECT_EQ(events[1].name, QStringLiteral("B"));

    // The engine now completes the moved event at its own stop moment.
    config.scheduler = true;
    events[1].stopdate = clock.now() - 1.0 / 24;
    events[2].stopdate = clock.now() + 1.0;
    engine.checkscheduler();
    EXPECT_FALSE(recorder.eventactive);
    EXPECT_EQ(rowTexts(0)[5], QStringLiteral("Complete"));
}

TEST_F(SheduleTest, TheEditorOpensForTheSelectedRowOnly) {
    addNamedEvents(2);
    window.show();
    std::vector<QString> seen;
    onEditor([&](Taddevent& editor) {
        seen.push_back(editor.windowTitle() + QLatin1Char(':') + editor.e_name->text());
    });

    window.editeventbuttonClick();
    EXPECT_TRUE(seen.empty()) << "no row selected";

    window.selectRow(1);
    window.editeventbutton->click();
    const QTreeWidgetItem* first = window.ListView1->topLevelItem(0);
    const QPoint point = window.ListView1->visualItemRect(first).center();
    // A double click as the platform delivers it: press, release, press, double click,
    // release.
    QTest::mouseClick(window.ListView1->viewport(), Qt::LeftButton, {}, point);
    QTest::mouseDClick(window.ListView1->viewport(), Qt::LeftButton, {}, point);
    QTest::mouseRelease(window.ListView1->viewport(), Qt::LeftButton, {}, point);
    window.addeventbutton->click();
    EXPECT_EQ(seen, (std::vector<QString>{"Edit Event:B", "Edit Event:A", "Add Event:"}));
    EXPECT_EQ(tableNames(), (QStringList{"A", "B"})) << "cancelled editors change nothing";
    EXPECT_EQ(window.findChildren<Taddevent*>().size(), 0) << "each editor is destroyed";
}

} // namespace
