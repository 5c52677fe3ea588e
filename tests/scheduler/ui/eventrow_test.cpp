#include "scheduler/ui/eventrow.h"

#include "settings/events.h"
#include "support/qtprint.h"

#include <gtest/gtest.h>

namespace {

TEST(EventRowTest, TimeZoneFieldsLeaveTheTimeFormat) {
    EXPECT_EQ(withoutTimeZone(QStringLiteral("HH:mm:ss t")), QStringLiteral("HH:mm:ss"));
    EXPECT_EQ(withoutTimeZone(QStringLiteral("h:mm:ss AP t")), QStringLiteral("h:mm:ss AP"));
    EXPECT_EQ(withoutTimeZone(QStringLiteral("t HH:mm:ss")), QStringLiteral("HH:mm:ss"));
    EXPECT_EQ(withoutTimeZone(QStringLiteral("H:mm:ss (t)")), QStringLiteral("H:mm:ss"));
    EXPECT_EQ(withoutTimeZone(QStringLiteral("HH:mm:ss tttt")), QStringLiteral("HH:mm:ss"));
    EXPECT_EQ(withoutTimeZone(QStringLiteral("AP h:mm:ss t x")), QStringLiteral("AP h:mm:ss x"));
    // Quoted text is literal, including its letters t and escaped quotes.
    EXPECT_EQ(withoutTimeZone(QStringLiteral("HH 'at' mm 'it''s' t")),
              QStringLiteral("HH 'at' mm 'it''s'"));
    EXPECT_EQ(withoutTimeZone(QStringLiteral("HH:mm:ss")), QStringLiteral("HH:mm:ss"));

    // The real locales.
    const TDateTime tenPast = (22 * 60 + 10) / 1440.0;
    EXPECT_EQ(eventTimeText(tenPast, QLocale::c()), QStringLiteral("22:10:00"));
    EXPECT_EQ(eventTimeText(tenPast, QLocale(QStringLiteral("en_US"))),
              QStringLiteral("10:10:00 PM"));
    EXPECT_FALSE(
        eventTimeText(tenPast, QLocale(QStringLiteral("fa_IR"))).contains(QLatin1Char('(')));
    EXPECT_EQ(eventTimeText(tenPast, QLocale(QStringLiteral("zh_CN"))), QStringLiteral("22:10:00"));
}

TEST(EventRowTest, TimesOfDayComeFromTheFraction) {
    // Whole days are ignored, including the days of a moment before 1899-12-30.
    EXPECT_EQ(timeOfDay(45000.75), QTime(18, 0));
    EXPECT_EQ(timeOfDay(-1.25), QTime(18, 0));
    EXPECT_EQ(timeOfDay(0.9999999999), QTime(0, 0)) << "a hair below midnight is midnight";
    EXPECT_EQ(timeOfDay(dayFraction(QTime(23, 59, 59))), QTime(23, 59, 59));
    EXPECT_EQ(dayFraction(QTime()), 0.0);
}

TEST(EventRowTest, RowTextsDescribeTheEvent) {
    TRecEvent ev;
    ev.name = QStringLiteral("Show");
    ev.start = 0.5;
    ev.stop = 0.75;
    ev.days = {false, true, false, true, false, false, true};
    const QLocale c = QLocale::c();
    EXPECT_EQ(eventRowTexts(ev, c),
              (QStringList{"Show", "12:00:00", "18:00:00", "Tue,Thu,Sun", "Auto-Name", "Wait..."}));
    ev.rep_mode = 1;
    ev.startdate = datetime::encode(2024, 12, 31, 12);
    ev.filename = QStringLiteral("show");
    EXPECT_EQ(repeatText(ev, c), QStringLiteral("31 Dec 2024"));
    EXPECT_EQ(repeatText(ev, QLocale(QStringLiteral("en_US"))), QStringLiteral("12/31/24"));
    EXPECT_EQ(eventRowTexts(ev, c)[4], QStringLiteral("show"));
    ev.rep_mode = 2;
    EXPECT_EQ(repeatText(ev, c), QStringLiteral("Daily"));
}

} // namespace
