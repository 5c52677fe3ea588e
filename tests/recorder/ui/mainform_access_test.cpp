// The main window driven as a screen reader and a keyboard user drive it: Qt's accessibility
// interfaces of the skin controls, and Tab, Space and the arrow keys.
#include "recorder/ui/mainformfixture.h"

#include "controls/bmptimedisplay.h"
#include "controls/icebtn.h"
#include "controls/iceslider.h"
#include "controls/icevumeter.h"
#include "controls/spectrumdisplay.h"
#include "controls/trigger.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace {

QAccessibleInterface* reader(QWidget* w) {
    return QAccessible::queryAccessibleInterface(w);
}

QWidget* focused() {
    return QApplication::focusWidget();
}

} // namespace

TEST_F(MainFormTest, EveryControlIsReadAndAPressOrASpaceStartsAndStopsARecording) {
    ASSERT_TRUE(create());
    countBlocks();
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));

    struct Control {
        QWidget* widget;
        QAccessible::Role role;
        QString name;
    };
    const Control controls[] = {
        {form->Start, QAccessible::Button, QStringLiteral("Start recording")},
        {form->Stop, QAccessible::Button, QStringLiteral("Stop")},
        {form->pause, QAccessible::Button, QStringLiteral("Pause")},
        {form->PlayButton, QAccessible::Button, QStringLiteral("Play")},
        {form->folderbutton, QAccessible::Button, QStringLiteral("Recording browser")},
        {form->schedbutton, QAccessible::Button, QStringLiteral("Scheduler")},
        {form->setbutton, QAccessible::Button, QStringLiteral("Settings")},
        {form->helpbutton, QAccessible::Button, QStringLiteral("Help")},
        {form->minbutton, QAccessible::Button, QStringLiteral("Minimise")},
        {form->exitbutton, QAccessible::Button, QStringLiteral("Exit")},
        {form->volumemain, QAccessible::Slider, QStringLiteral("Recording level")},
        {form->Slider, QAccessible::Slider, QStringLiteral("Playback position")},
        {form->timebox, QAccessible::StaticText, QStringLiteral("00:00:00")},
        {form->VUmeter, QAccessible::ProgressBar, QStringLiteral("Levels: left 0 %, right 0 %")},
        {form->spc, QAccessible::Chart, QStringLiteral("Spectrum display")},
        {form->dvox, QAccessible::CheckBox, QStringLiteral("VOX")},
        {form->dtimer, QAccessible::CheckBox, QStringLiteral("Timer")},
        {form->fstatus, QAccessible::StaticText, QStringLiteral("Ready")},
    };
    for (const Control& c : controls) {
        QAccessibleInterface* control = reader(c.widget);
        ASSERT_NE(control, nullptr) << c.name.toStdString();
        EXPECT_EQ(control->role(), c.role) << c.name.toStdString();
        EXPECT_EQ(control->text(QAccessible::Name), c.name);
    }
    EXPECT_EQ(reader(form->Start)->text(QAccessible::Accelerator), QStringLiteral("Ctrl+Alt+R"));
    EXPECT_FALSE(reader(form->Start)->state().disabled);
    EXPECT_TRUE(reader(form->Stop)->state().disabled);
    EXPECT_FALSE(reader(form->dvox)->state().checked);

    // The window opens with the focus on Start, unmarked until the keyboard moves it.
    EXPECT_EQ(focused(), form->Start);
    EXPECT_FALSE(form->Start->focusMarkShown());
    // Tab goes round the buttons that click and the sliders, left to right, top to bottom.
    std::vector<QWidget*> order;
    for (QWidget* w : std::initializer_list<QWidget*>{
             form->minbutton, form->exitbutton, form->volumemain, form->Slider, form->Start,
             form->Stop, form->pause, form->PlayButton, form->folderbutton, form->schedbutton,
             form->setbutton, form->helpbutton}) {
        auto* button = qobject_cast<TiceBtn*>(w);
        if (!button || button->isEnable())
            order.push_back(w);
    }
    const auto start = std::find(order.begin(), order.end(), form->Start);
    std::rotate(order.begin(), start, order.end());
    for (size_t i = 1; i <= order.size(); ++i) {
        QTest::keyClick(focused(), Qt::Key_Tab);
        EXPECT_EQ(focused(), order[i % order.size()]) << i;
    }
    EXPECT_TRUE(form->Start->focusMarkShown());
    QTest::keyClick(focused(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(focused(), order.back());

    // The level slider by keys and by a screen reader, each as a drag would set it.
    form->volumemain->setFocus(Qt::TabFocusReason);
    QTest::keyClick(focused(), Qt::Key_Home);
    EXPECT_EQ(form->volumemain->Position(), 0);
    EXPECT_EQ(config.mixervolume, 0);
    QTest::keyClick(focused(), Qt::Key_PageUp);
    QTest::keyClick(focused(), Qt::Key_Up);
    EXPECT_EQ(form->volumemain->Position(), 11);
    QTest::keyClick(focused(), Qt::Key_End);
    EXPECT_EQ(config.mixervolume, 100);
    QAccessibleValueInterface* level = reader(form->volumemain)->valueInterface();
    ASSERT_NE(level, nullptr);
    level->setCurrentValue(40);
    EXPECT_EQ(form->volumemain->Position(), 40);
    EXPECT_EQ(config.mixervolume, 40);
    EXPECT_EQ(level->currentValue().toInt(), 40);
    EXPECT_EQ(level->maximumValue().toInt(), 100);

    // The press action is a click: the recording starts, and the focus goes on to Stop.
    form->Start->setFocus(Qt::TabFocusReason);
    QAccessibleActionInterface* press = reader(form->Start)->actionInterface();
    ASSERT_NE(press, nullptr);
    ASSERT_TRUE(press->actionNames().contains(QAccessibleActionInterface::pressAction()));
    press->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(form->recorder().writing);
    EXPECT_EQ(reader(form->fstatus)->text(QAccessible::Name), QStringLiteral("Recording"));
    EXPECT_TRUE(reader(form->Start)->state().disabled);
    EXPECT_FALSE(reader(form->Stop)->state().disabled);
    feed(0.25f);
    EXPECT_EQ(focused(), form->Stop);
    EXPECT_TRUE(form->Stop->focusMarkShown());

    // Space holds Stop down with its pressed picture and clicks it on release.
    QTest::keyPress(focused(), Qt::Key_Space);
    EXPECT_TRUE(reader(form->Stop)->state().pressed);
    EXPECT_EQ(form->Stop->shown(), form->Stop->PicDown());
    EXPECT_TRUE(form->recorder().writing);
    QTest::keyRelease(focused(), Qt::Key_Space);
    feed(0.1f); // the file closes after this block
    EXPECT_FALSE(form->recorder().writing);
    EXPECT_FALSE(form->Stop->isDown());
    EXPECT_EQ(recordings().size(), 1);
    // Stop no longer clicks, so the focus has moved on to a button that does.
    EXPECT_TRUE(processUntil([&] { return focused() != form->Stop; }));
    auto* next = qobject_cast<TiceBtn*>(focused());
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(next->isEnable());
}
