#include "settings/autoname.h"

#include <gtest/gtest.h>

namespace {

const QDateTime Instant(QDate(2024, 8, 8), QTime(22, 15, 7)); // a Thursday
const QLocale English(QLocale::English);

QString expand(const QString& expression, const QString& eventname = QString(),
               int32_t number = 100) {
    return makeautoname(expression, eventname, number, Instant, English);
}

} // namespace

TEST(MakeAutoName, ExpandsEveryToken) {
    EXPECT_EQ(expand(QStringLiteral("YY-MM-DD-HH-NN-SS")), QStringLiteral("2024-Aug-08-22-15-07"));
    EXPECT_EQ(expand(QStringLiteral("track-DD-MM-YY_HH-NN-SS")),
              QStringLiteral("track-08-Aug-2024_22-15-07"));
    EXPECT_EQ(expand(QStringLiteral("YS.MN DW")), QStringLiteral("24.08 Thu"));
    EXPECT_EQ(expand(QStringLiteral("rec-NUM"), QString(), 100), QStringLiteral("rec-100"));
    EXPECT_EQ(expand(QStringLiteral("rec-NUM"), QString(), 101), QStringLiteral("rec-101"));
    // Every occurrence is replaced, not only the first.
    EXPECT_EQ(expand(QStringLiteral("HH HH")), QStringLiteral("22 22"));
}

TEST(MakeAutoName, PadsSmallSingleDigitFieldsAndYears) {
    const QDateTime early(QDate(2005, 1, 2), QTime(3, 4, 5));
    EXPECT_EQ(
        makeautoname(QStringLiteral("YY YS MN DD HH NN SS MM DW"), QString(), 0, early, English),
        QStringLiteral("2005 05 01 02 03 04 05 Jan Sun"));
    const QDateTime ancient(QDate(987, 6, 7), QTime(0, 0, 0));
    EXPECT_EQ(makeautoname(QStringLiteral("YY/YS"), QString(), 0, ancient, English),
              QStringLiteral("0987_87"));
}

TEST(MakeAutoName, PadsTheCounterToThreeDigits) {
    EXPECT_EQ(expand(QStringLiteral("NUM"), QString(), 0), QStringLiteral("000"));
    EXPECT_EQ(expand(QStringLiteral("NUM"), QString(), 5), QStringLiteral("005"));
    EXPECT_EQ(expand(QStringLiteral("NUM"), QString(), 42), QStringLiteral("042"));
    EXPECT_EQ(expand(QStringLiteral("NUM"), QString(), 999), QStringLiteral("999"));
    EXPECT_EQ(expand(QStringLiteral("NUM"), QString(), 1234), QStringLiteral("1234"));
}

TEST(MakeAutoName, ReplacesTokensInTheirFixedOrder) {
    // MN is replaced before NN, so "MNN" loses its first two letters to the month number.
    EXPECT_EQ(expand(QStringLiteral("MNN")), QStringLiteral("08N"));
    // YY comes before YS.
    EXPECT_EQ(expand(QStringLiteral("YYS")), QStringLiteral("2024S"));
    // MM is replaced before NUM can be seen.
    EXPECT_EQ(expand(QStringLiteral("NUMM")), QStringLiteral("NUAug"));
    // A run of three letters: the left pair goes first and the rest stays.
    EXPECT_EQ(expand(QStringLiteral("SSS")), QStringLiteral("07S"));
    // DD comes before DW.
    EXPECT_EQ(expand(QStringLiteral("DDW")), QStringLiteral("08W"));
}

TEST(MakeAutoName, LeavesLowerCaseAndTheEventNameAlone) {
    EXPECT_EQ(expand(QStringLiteral("rec-num")), QStringLiteral("rec-num"));
    EXPECT_EQ(expand(QStringLiteral("yy-mm-dd")), QStringLiteral("yy-mm-dd"));
    EXPECT_EQ(expand(QStringLiteral("EVENT-HH")), QStringLiteral("-22"));
    EXPECT_EQ(expand(QStringLiteral("EVENT-HH"), QStringLiteral("Morning Show")),
              QStringLiteral("Morning Show-22"));
    // The event name goes in last, so tokens inside it survive.
    EXPECT_EQ(expand(QStringLiteral("EVENT"), QStringLiteral("YY NUM HH")),
              QStringLiteral("YY NUM HH"));
}

TEST(MakeAutoName, CleansTheResult) {
    EXPECT_EQ(expand(QStringLiteral("EVENT"), QStringLiteral("a/b:c")), QStringLiteral("a_b_c"));
    EXPECT_EQ(expand(QStringLiteral("EVENT"), QStringLiteral("x\ty\nz")), QStringLiteral("x_y_z"));
    // Control characters pass the expression check but not the clean-up.
    EXPECT_EQ(expand(QStringLiteral("a\x01HH")), QStringLiteral("a_22"));
}

TEST(MakeAutoName, UsesTheLocaleNames) {
    const QLocale german(QLocale::German, QLocale::Germany);
    const QString name = makeautoname(QStringLiteral("MM DW"), QString(), 0, Instant, german);
    EXPECT_EQ(name, german.monthName(8, QLocale::ShortFormat) + QLatin1Char(' ') +
                        german.dayName(4, QLocale::ShortFormat));
    EXPECT_NE(name, QStringLiteral("Aug Thu"));
}

TEST(MakeAutoName, ReadsTheClockWhenNoInstantIsGiven) {
    // Only a shape check: the instant is not under test control here.
    const QString name = makeautoname(QStringLiteral("YY-MN-DD NUM EVENT"), QStringLiteral("e"), 7);
    ASSERT_EQ(name.size(), 16);
    EXPECT_TRUE(name.endsWith(QStringLiteral(" 007 e")));
    EXPECT_FALSE(name.contains(QStringLiteral("YY")));
}

TEST(FixFileName, ReplacesEveryRefusedCharacterAndKeepsTheLength) {
    for (QChar c : QStringLiteral("\"*/:<>?\\|")) {
        const QString name = QStringLiteral("a") + c + QStringLiteral("b");
        EXPECT_EQ(fixfilename(name), QStringLiteral("a_b")) << name.toStdString();
    }
    for (char16_t code = 0; code < 32; ++code) {
        const QString name = QStringLiteral("a") + QChar(code) + QStringLiteral("b");
        EXPECT_EQ(fixfilename(name), QStringLiteral("a_b")) << int(code);
    }
    const QString allowed = QStringLiteral(" !#$%&'()+,-.;=@[]^_`{}~\x7f\u00e9\u6587");
    EXPECT_EQ(fixfilename(allowed), allowed);
    EXPECT_EQ(fixfilename(QString()), QString());
    EXPECT_EQ(fixfilename(QStringLiteral("||||")), QStringLiteral("____"));
}

TEST(CheckExpression, RefusesTheNinePrintableCharactersOnly) {
    EXPECT_TRUE(checkexpression(QStringLiteral("YY-MM-DD-HH-NN-SS")));
    EXPECT_TRUE(checkexpression(QString()));
    // Control characters are left for the clean-up.
    EXPECT_TRUE(checkexpression(QStringLiteral("a\tb\x01")));
    for (QChar c : QStringLiteral("\\/:*?\"<>|")) {
        EXPECT_FALSE(checkexpression(QStringLiteral("rec") + c + QStringLiteral("NUM")))
            << QString(c).toStdString();
        EXPECT_FALSE(checkexpression(QString(c)));
    }
}
