// TDateTime arithmetic and the manual clock.

#include "common/clock.h"
#include "common/tdatetime.h"

#include <QDateTime>

#include <gtest/gtest.h>

namespace {

using namespace datetime;

TEST(TDateTime, EncodeCountsDaysFromTheEpochAndRoundTripsThroughQDateTime) {
    EXPECT_DOUBLE_EQ(encode(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(encode(1900, 1, 1), 2.0);
    EXPECT_DOUBLE_EQ(encode(2000, 1, 1), 36526.0);
    EXPECT_DOUBLE_EQ(encode(2000, 1, 1, 12), 36526.5);
    EXPECT_DOUBLE_EQ(encode(1899, 12, 29, 18), -0.25);

    const TDateTime t = encode(2024, 2, 29, 22, 15, 7, 123);
    const QDateTime q = toQDateTime(t);
    EXPECT_EQ(q.date(), QDate(2024, 2, 29));
    EXPECT_EQ(q.time(), QTime(22, 15, 7, 123));
    EXPECT_DOUBLE_EQ(fromQDateTime(q), t);

    // The last millisecond of a day stays on that day.
    const QDateTime late = toQDateTime(encode(2023, 12, 31, 23, 59, 59, 999));
    EXPECT_EQ(late.date(), QDate(2023, 12, 31));
    EXPECT_EQ(late.time(), QTime(23, 59, 59, 999));
}

TEST(TDateTime, DifferencesRoundToWholeMillisecondsBeforeTruncatingToSeconds) {
    // 61 s built by adding milliseconds is 61 s, at every time of day tried.
    for (int minute = 0; minute < 24 * 60; minute += 7) {
        const TDateTime start = encode(2024, 8, 8, minute / 60, minute % 60, 13, 457);
        const TDateTime end = addMilliseconds(start, 61000);
        ASSERT_EQ(secondsBetween(start, end), 61) << minute;
        ASSERT_EQ(millisecondsBetween(start, end), 61000) << minute;
    }
    const TDateTime t = encode(2024, 8, 8, 10);
    EXPECT_EQ(millisecondsBetween(t, addMilliseconds(t, 1499)), 1499);
    EXPECT_EQ(millisecondsBetween(addMilliseconds(t, 1499), t), 1499); // order does not matter
    EXPECT_EQ(secondsBetween(t, addMilliseconds(t, 59999)), 59);
    EXPECT_EQ(millisecondsBetween(t, t + 0.6 / MsPerDay), 1);
    EXPECT_EQ(millisecondsBetween(t, t + 0.4 / MsPerDay), 0);
    EXPECT_EQ(secondsBetween(t, t), 0);
}

TEST(ManualClock, MovesOnlyWhenTold) {
    ManualClock clock;
    const TDateTime start = clock.now();
    EXPECT_DOUBLE_EQ(start, encode(2024, 8, 8, 22, 15, 7));
    EXPECT_DOUBLE_EQ(clock.now(), start);
    clock.advanceMs(1500);
    EXPECT_EQ(millisecondsBetween(start, clock.now()), 1500);
    clock.advanceMs(2 * 3600 * 1000); // past midnight
    EXPECT_EQ(toQDateTime(clock.now()).date(), QDate(2024, 8, 9));
    clock.set(encode(2030, 1, 1));
    EXPECT_DOUBLE_EQ(clock.now(), encode(2030, 1, 1));
}

TEST(SystemClock, AgreesWithQtsLocalTime) {
    const TDateTime before = fromQDateTime(QDateTime::currentDateTime());
    const TDateTime now = systemClock().now();
    const TDateTime after = fromQDateTime(QDateTime::currentDateTime());
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

} // namespace
