#pragma once

#include "common/tdatetime.h"

#include <QLocale>
#include <QStringList>
#include <QTime>

class QTreeWidgetItem;
struct TRecEvent;

// The rows of the scheduler list, shared by the list and the event editor. The text
// functions are pure and any thread may call them; makeEventRow is for the window thread.

/// The column indexes of the scheduler list.
enum ScheduleColumn : int {
    NameColumn = 0,
    StartColumn,
    EndColumn,
    RepeatColumn,
    FileColumn,
    StatusColumn,
    ScheduleColumnCount
};

/// The time of day of `t` (its fraction), to the millisecond.
QTime timeOfDay(TDateTime t);

/// The fraction of a day that `time` stands for.
TDateTime dayFraction(const QTime& time);

/// A time format without its time-zone field ("t" to "tttt" outside quotes), with the blanks
/// and the parentheses that went with it: the list shows local times of day, to which a zone
/// name would add nothing.
QString withoutTimeZone(const QString& format);

/// The time of day of `t` in the locale's long time format, without the time zone.
QString eventTimeText(TDateTime t, const QLocale& locale = QLocale());

/// The Repeat column: "Daily", the start date in the locale's short date format, or the
/// ticked days ("Mon,Wed,Fri").
QString repeatText(const TRecEvent& ev, const QLocale& locale = QLocale());

/// The six texts of the event's row; the status is "Wait...".
QStringList eventRowTexts(const TRecEvent& ev, const QLocale& locale = QLocale());

/// A new row for `ev`: selectable and draggable, never a drop target (rows hold no rows).
QTreeWidgetItem* makeEventRow(const TRecEvent& ev);
