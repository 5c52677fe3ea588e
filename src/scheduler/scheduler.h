#pragma once

#include "recorder/recorderview.h"

#include <QString>

#include <cstdint>
#include <functional>

class Clock;
class ProcessLauncher;
class TRecorder;

/// The scheduler window's list as the engine sees it: one row per event, row = slot - 1.
/// Window thread only.
class ScheduleList {
public:
    virtual ~ScheduleList() = default;
    virtual int rowCount() const = 0;
    /// Selects the row (whole-row selection), as the user would.
    virtual void selectRow(int row) = 0;
    /// Sets the text of the row's Status column.
    virtual void setRowStatus(int row, const QString& status) = 0;
};

/// The scheduling engine: decides when an event of the event table is due, starts its
/// recording through the recorder's Start command (after starting the event's application
/// when it has one), stops it at the event's stop moment and keeps the status column of
/// the scheduler list up to date. It has no timer: the recorder calls check() for every
/// captured block. The recorder's eventactive, currentevent and globalname are the engine's
/// state. Window thread only.
class TScheduler final : public RecorderScheduler {
public:
    TScheduler(TRecorder& recorder, Clock& clock, ProcessLauncher& launcher);

    /// Whether the Start and the Stop command are available now (the main window's
    /// buttons). Unset: not available.
    std::function<bool()> startEnabled;
    std::function<bool()> stopEnabled;

    /// The scheduler list, once it exists (null: no list; row updates are skipped).
    void setList(ScheduleList* list) { m_list = list; }

    /// The check run for every block.
    void checkscheduler();
    /// Starts event `i` (slot number).
    void schedulerhelper(int32_t i);
    /// Starts the application `app` with the address `url`; failures are shown as
    /// "Scheduler error: ..." messages and change nothing else.
    void openURL(const QString& app, const QString& url);
    /// Closes the application last started by openURL (close request, 100 ms, then ended).
    void closeurl();

    // The recorder's hooks.
    void check() override { checkscheduler(); }
    QString eventName(int index) const override;
    void cancelEvent(int index) override;

    /// The process id of the application last started by openURL; 0 when none.
    int64_t ProcessInfo = 0;

    static constexpr const char* Waiting = "Wait...";
    static constexpr const char* Recording = "Record...";
    static constexpr const char* Complete = "Complete";
    static constexpr const char* Canceled = "Canceled";

private:
    void setStatus(int32_t slot, const QString& status);

    TRecorder& m_recorder;
    Clock& m_clock;
    ProcessLauncher& m_launcher;
    ScheduleList* m_list = nullptr;
};
