#pragma once

#include <cstdint>

class QDateTime;

/// A moment as days since 1899-12-30 (local time); the fraction is the time of day.
/// Every time and moment of the recorder, settings and scheduler is held in it.
using TDateTime = double;

namespace datetime {

constexpr double MsPerDay = 86400000.0;

/// Days since 1899-12-30 of a local calendar date and time. Allocates nothing.
TDateTime encode(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                 int millisecond = 0);

/// Conversions to and from QDateTime (local time).
TDateTime fromQDateTime(const QDateTime& dt);
QDateTime toQDateTime(TDateTime t);

/// Whole milliseconds between two moments: the absolute difference, rounded to whole
/// milliseconds. Rounding first keeps 61 s from coming out as 60.999999 s.
int64_t millisecondsBetween(TDateTime a, TDateTime b);

/// Whole seconds between two moments: the whole milliseconds, truncated to seconds.
int64_t secondsBetween(TDateTime a, TDateTime b);

/// Adds a number of milliseconds to a moment.
inline TDateTime addMilliseconds(TDateTime t, int64_t ms) {
    return t + static_cast<double>(ms) / MsPerDay;
}

} // namespace datetime
