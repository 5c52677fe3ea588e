#pragma once

#include "common/tdatetime.h"

#include <QDate>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

/// One scheduled recording.
struct TRecEvent {
    QString name;
    TDateTime start = 0.0;      ///< time of day, fraction only
    TDateTime stop = 0.0;       ///< time of day, fraction only
    TDateTime startdate = 0.0;  ///< mode 1: the start moment; modes 0 and 2: the picked date
    TDateTime stopdate = 0.0;   ///< mode 1: the stop moment; modes 0 and 2: set when running
    int32_t rep_mode = 0;       ///< 0 ticked days of the week, 1 fixed date, 2 daily
    std::array<bool, 7> days{}; ///< Monday first
    bool canceled = false;
    bool nextday = false; ///< the recording runs past midnight
    QString filename;     ///< empty: named automatically
    bool task = false;    ///< start an application before recording
    QString url;
    QString appname;

    bool operator==(const TRecEvent&) const = default;
};

/// The most events the table holds.
constexpr int MaxEvents = 100;

/// The event table: slots 1..MaxEvents, of which 1..config.numevents are in use, in list
/// order. Slot 0 is never used, so that slot numbers index the array directly.
/// Window thread only.
extern std::array<TRecEvent, MaxEvents + 1> events;

/// Fills `events` and `config.numevents` from the events file at `path`. A missing file
/// changes nothing. Events beyond the 100th are left out, with one information message. A
/// missing or damaged event is left out and the valid ones follow on in their order; a count
/// that does not read takes the events that are there. A damaged file shows "Can't Load
/// Scheduler Data" (a file of which nothing reads changes nothing else). A file of which
/// anything was left out is first copied to "<path>.bak", as the next save writes over it.
/// Window thread only.
void loadevents(const QString& path);

/// Writes slots 1..config.numevents to `path`, replacing the file atomically. A failure is
/// reported through the message service and gives false; the previous file stays.
/// Window thread only.
bool saveevents(const QString& path);

/// Reads a "dd-mm-yy" date of the events file. A year of one or two digits is placed in the
/// century window around `currentYear` (from 49 years before to 50 years after it); four
/// digits are taken as they stand. Nothing when the text is not a valid date. Any thread.
std::optional<QDate> parseEventDate(const QString& text, int currentYear);
