#include "scheduler.h"

#include "processlauncher.h"

#include "common/clock.h"
#include "common/messages.h"
#include "recorder/recorder.h"
#include "settings/autoname.h"
#include "settings/config.h"
#include "settings/events.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int64_t MsPerDay = 86400000;

// The schedule is compared in whole milliseconds: a moment and a time of day computed in
// different ways (10:00:00 from the clock, 10/24 from the editor) then compare equal,
// so "strictly after 10:00:00" means what it says.
int64_t wholeMs(TDateTime t) {
    return std::isfinite(t) ? std::llround(t * datetime::MsPerDay) : 0;
}

// The time of day of a stored start or stop time: only its fraction counts.
int64_t timeOfDayMs(TDateTime t) {
    const int64_t ms = wholeMs(t) % MsPerDay;
    return ms < 0 ? ms + MsPerDay : ms;
}

int64_t floorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

bool validSlot(int32_t i) {
    return i >= 1 && i <= MaxEvents;
}

const QString AppCaption = QStringLiteral("Orvanta");

} // namespace

TScheduler::TScheduler(TRecorder& recorder, Clock& clock, ProcessLauncher& launcher)
    : m_recorder(recorder), m_clock(clock), m_launcher(launcher) {}

TScheduler::~TScheduler() = default;

void TScheduler::checkscheduler() {
    if (!config.scheduler)
        return;

    // One reading for the time of day, the date and the day of the week.
    const int64_t nowMs = wholeMs(m_clock.now());
    const int64_t date = floorDiv(nowMs, MsPerDay);
    const int64_t timeOfDay = nowMs - date * MsPerDay;
    // Day 0, 1899-12-30, was a Saturday (6).
    const int64_t weekday = ((date + 5) % 7 + 7) % 7 + 1;

    if (!m_recorder.eventactive) {
        const int32_t count = std::min<int32_t>(config.numevents, MaxEvents);
        for (int32_t i = 1; i <= count; ++i) {
            TRecEvent& e = events[static_cast<size_t>(i)];
            if (e.canceled)
                continue;
            if (e.rep_mode == 1) {
                const int64_t now = wholeMs(m_clock.now());
                if (wholeMs(e.startdate) <= now && now <= wholeMs(e.stopdate))
                    schedulerhelper(i);
                continue;
            }
            if (!e.days[static_cast<size_t>(weekday - 1)])
                continue;
            const int64_t start = timeOfDayMs(e.start);
            const int64_t stop = timeOfDayMs(e.stop);
            if (!e.nextday) {
                if (start < timeOfDay && timeOfDay < stop) {
                    e.stopdate = static_cast<double>(date * MsPerDay + stop) / datetime::MsPerDay;
                    schedulerhelper(i);
                }
            } else if (timeOfDay > start) {
                e.stopdate = static_cast<double>((date + 1) * MsPerDay + stop) / datetime::MsPerDay;
                schedulerhelper(i);
            }
        }
    }

    if (!m_recorder.eventactive || !validSlot(m_recorder.currentevent))
        return;
    const int32_t current = m_recorder.currentevent;
    TRecEvent& e = events[static_cast<size_t>(current)];
    if (wholeMs(m_clock.now()) <= wholeMs(e.stopdate))
        return;
    // While the event is current, Stop marks it canceled; completing it replaces that.
    if (stopEnabled && stopEnabled())
        m_recorder.StopClick();
    e.canceled = false;
    setStatus(current, QString::fromLatin1(Complete));
    if (e.task)
        closeurl();
    m_recorder.eventactive = false;
}

void TScheduler::schedulerhelper(int32_t i) {
    if (!validSlot(i))
        return;
    const TRecEvent& e = events[static_cast<size_t>(i)];
    QString failure;
    if (e.task)
        failure = launch(e.appname, e.url);
    m_recorder.currentevent = i;
    if (m_list && i - 1 < m_list->rowCount())
        m_list->selectRow(i - 1);
    setStatus(i, QString::fromLatin1(Recording));
    // The name becomes a file in the output folder: a separator or another character that
    // cannot stand in a file name (from a hand-edited events file) must not lead elsewhere.
    m_recorder.globalname = fixfilename(e.filename);
    m_recorder.eventactive = true;
    if (startEnabled && startEnabled())
        m_recorder.StartClick();
    // Reported once the recording runs, and in a way that lets the blocks go on.
    if (failure.isEmpty())
        return;
    if (reportFailure)
        reportFailure(failure);
    else
        qWarning("%s", qUtf8Printable(failure));
}

void TScheduler::openURL(const QString& app, const QString& url) {
    const QString failure = launch(app, url);
    if (!failure.isEmpty())
        messages().show(failure, AppCaption, MessageIcon::Error, MessageButtons::Ok);
}

QString TScheduler::launch(const QString& app, const QString& url) {
    const QStringList command = commandArguments(app, url);
    // Also with an empty application and an address: the address is never run as a program.
    if (command.isEmpty())
        return QStringLiteral("Scheduler error: Application not specified");
    QString error;
    std::unique_ptr<StartedProgram> started =
        m_launcher.start(command.front(), command.mid(1), error);
    if (!started) {
        if (error.isEmpty())
            error = QStringLiteral("Cannot start \"%1\"").arg(command.front());
        return QStringLiteral("Scheduler error: ") + error;
    }
    // Only the newest application is tracked; an earlier one runs on, let go.
    ProcessInfo = std::move(started);
    return {};
}

void TScheduler::closeurl() {
    if (!ProcessInfo)
        return;
    ProcessInfo->close(100);
    ProcessInfo.reset();
}

QString TScheduler::eventName(int index) const {
    return validSlot(index) ? events[static_cast<size_t>(index)].name : QString();
}

void TScheduler::cancelEvent(int index) {
    if (!validSlot(index))
        return;
    events[static_cast<size_t>(index)].canceled = true;
    setStatus(index, QString::fromLatin1(Canceled));
}

void TScheduler::setStatus(int32_t slot, const QString& status) {
    if (!m_list)
        return;
    const int32_t row = slot - 1;
    if (row >= 0 && row < m_list->rowCount())
        m_list->setRowStatus(row, status);
}
