#pragma once

#include "recorder/recorderview.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class Clock;
class ProcessLauncher;
class StartedProgram;
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
    ~TScheduler() override;

    /// Whether the Start and the Stop command are available now (the main window's
    /// buttons). Unset: not available.
    std::function<bool()> startEnabled;
    std::function<bool()> stopEnabled;
    /// Shows that a scheduled event's application could not be started, without holding
    /// up the blocks: it runs inside the data handler, where a modal box would keep every
    /// block waiting until dismissed. Unset: it goes to the log (qWarning).
    std::function<void(const QString&)> reportFailure;

    /// The scheduler list, once it exists (null: no list; row updates are skipped).
    void setList(ScheduleList* list) { m_list = list; }

    /// The check run for every block.
    void checkscheduler();
    /// Starts event `i` (slot number).
    void schedulerhelper(int32_t i);
    /// Starts the application `app` with the address `url`; failures are shown as
    /// "Scheduler error: ..." messages (modal: for the event editor) and change nothing else.
    void openURL(const QString& app, const QString& url);
    /// Closes the application last started by openURL (close request, 100 ms, then ended)
    /// and lets go of it.
    void closeurl();

    // The recorder's hooks.
    void check() override { checkscheduler(); }
    QString eventName(int index) const override;
    void cancelEvent(int index) override;

    /// The application last started by openURL, held until it is closed or another one
    /// is started; null when none.
    std::unique_ptr<StartedProgram> ProcessInfo;

    static constexpr const char* Waiting = "Wait...";
    static constexpr const char* Recording = "Record...";
    static constexpr const char* Complete = "Complete";
    static constexpr const char* Canceled = "Canceled";

private:
    /// Starts the application; the "Scheduler error: ..." text of a failure, else empty.
    QString launch(const QString& app, const QString& url);
    void setStatus(int32_t slot, const QString& status);

    TRecorder& m_recorder;
    Clock& m_clock;
    ProcessLauncher& m_launcher;
    ScheduleList* m_list = nullptr;
};
