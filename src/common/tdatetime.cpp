#include "tdatetime.h"

#include <QDateTime>

#include <cmath>

namespace datetime {

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// 1899-12-30 is 25569 days before 1970-01-01.
constexpr int64_t EpochOffsetDays = 25569;

} // namespace

TDateTime encode(int year, int month, int day, int hour, int minute, int second, int millisecond) {
    const int64_t days =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
        EpochOffsetDays;
    const double ms = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond;
    return static_cast<double>(days) + ms / MsPerDay;
}

TDateTime fromQDateTime(const QDateTime& dt) {
    const QDateTime local = dt.toLocalTime();
    const QDate d = local.date();
    const QTime t = local.time();
    return encode(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec());
}

QDateTime toQDateTime(TDateTime t) {
    const double wholeDays = std::floor(t);
    auto ms = static_cast<int64_t>(std::llround((t - wholeDays) * MsPerDay));
    auto days = static_cast<int64_t>(wholeDays);
    if (ms >= static_cast<int64_t>(MsPerDay)) {
        ms -= static_cast<int64_t>(MsPerDay);
        ++days;
    }
    const QDate date = QDate(1899, 12, 30).addDays(days);
    return QDateTime(date, QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms)));
}

int64_t millisecondsBetween(TDateTime a, TDateTime b) {
    return static_cast<int64_t>(std::llround(std::fabs(a - b) * MsPerDay));
}

int64_t secondsBetween(TDateTime a, TDateTime b) {
    return millisecondsBetween(a, b) / 1000;
}

} // namespace datetime
