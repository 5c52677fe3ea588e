#pragma once

#include "common/clock.h"
#include "platform/playback/playbackengine.h"
#include "recorder/recorder.h"
#include "recorder/recorderview.h"
#include "scheduler/processlauncher.h"
#include "scheduler/scheduler.h"
#include "scheduler/ui/addevent.h"
#include "scheduler/ui/shedule.h"
#include "settings/config.h"
#include "settings/events.h"
#include "support/fakemessages.h"
#include "support/qtprint.h"

#include <QTreeWidget>

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

/// Records what the engine asks to start instead of starting it.
class FakeLauncher final : public ProcessLauncher {
public:
    struct Started {
        QString program;
        QStringList arguments;
    };

    class Program final : public StartedProgram {
    public:
        int64_t pid() const override { return 4242; }
        void close(uint32_t) override {}
    };

    std::unique_ptr<StartedProgram> start(const QString& program, const QStringList& arguments,
                                          QString& error) override {
        started.push_back({program, arguments});
        if (!failure.isEmpty()) {
            error = failure;
            return nullptr;
        }
        return std::make_unique<Program>();
    }

    std::vector<Started> started;
    /// Non-empty: every start fails with this text.
    QString failure;
};

/// The scheduler window on a real engine and recorder, with a manual clock (Thursday
/// 2024-08-08 22:15:07), a fake launcher and recorded messages. The event table, the
/// settings and the messages start empty in every test.
class ScheduleFixture : public ::testing::Test {
protected:
    ScheduleFixture() {
        reset();
        // The real lookup would run the desktop's tools.
        window.defaultBrowser = [] { return QStringLiteral("test-browser %u"); };
    }
    ~ScheduleFixture() override {
        engine.setList(nullptr);
        reset();
    }

    static void reset() {
        config = TConfig{};
        events.fill(TRecEvent{});
    }

    /// A days-of-week (or daily) event from whole hours.
    static TRecEvent makeEvent(const QString& name, int startHour, int stopHour,
                               std::initializer_list<int> days = {1}, int32_t mode = 0) {
        TRecEvent ev;
        ev.name = name;
        ev.start = startHour / 24.0;
        ev.stop = stopHour / 24.0;
        ev.rep_mode = mode;
        for (int day : days)
            ev.days[static_cast<size_t>(day - 1)] = true;
        ev.nextday = stopHour < startHour;
        ev.startdate = datetime::encode(2024, 8, 1);
        ev.stopdate = ev.startdate;
        return ev;
    }

    /// Appends events to the table.
    static void addEvents(std::initializer_list<TRecEvent> list) {
        for (const TRecEvent& ev : list)
            events[static_cast<size_t>(++config.numevents)] = ev;
    }

    /// Events named "A", "B", ... in slots 1..count.
    static void addNamedEvents(int count) {
        for (int i = 0; i < count; ++i)
            addEvents({makeEvent(QString(QChar('A' + i)), 10, 11)});
    }

    /// The names in the table, in slot order.
    static QStringList tableNames() {
        QStringList names;
        for (int slot = 1; slot <= config.numevents; ++slot)
            names << events[static_cast<size_t>(slot)].name;
        return names;
    }

    /// The texts of one column of the list, in row order.
    QStringList column(int index) const {
        QStringList texts;
        for (int row = 0; row < window.ListView1->topLevelItemCount(); ++row)
            texts << window.ListView1->topLevelItem(row)->text(index);
        return texts;
    }

    QStringList rowTexts(int row) const {
        QStringList texts;
        const QTreeWidgetItem* item = window.ListView1->topLevelItem(row);
        for (int c = 0; item && c < item->columnCount(); ++c)
            texts << item->text(c);
        return texts;
    }

    /// Replaces the editor's modal showing: shows it (which fills it), lets `fill` work on
    /// it, and gives its result. Counts the editors opened.
    void onEditor(std::function<void(Taddevent&)> fill) {
        window.runEditor = [this, fill](Taddevent& editor) {
            ++editorsOpened;
            editor.show();
            if (fill)
                fill(editor);
            const int result = editor.result();
            editor.hide();
            return result;
        };
    }

    FakeMessages fake;
    HeadlessRecorderView view;
    NullPlaybackEngine playback;
    ManualClock clock{datetime::encode(2024, 8, 8, 22, 15, 7)};
    TRecorder recorder{view, clock, playback};
    FakeLauncher launcher;
    TScheduler engine{recorder, clock, launcher};
    Tshedule window{engine, recorder, clock};
    int editorsOpened = 0;
};
