#include "settings/autoname.h"

#include "common/trackinfo.h"

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

TEST(MakeAutoName, NamesThePlayingTrackWithoutExpandingItsTexts) {
    TrackInfo track;
    track.artist = QStringLiteral("AC/DC");
    track.title = QStringLiteral("MM NUM EVENT\x01");
    track.album = QStringLiteral("SS");
    track.trackNumber = 7;
    const auto name = [&](const QString& expression) {
        return makeautoname(expression, QStringLiteral("ev"), 100, Instant, English, &track);
    };
    EXPECT_EQ(name(QStringLiteral("TRACK ARTIST - TITLE (ALBUM) HH")),
              QStringLiteral("07 AC_DC - MM NUM EVENT_ (SS) 22"));
    // A track token takes its letters before an overlapping token can; the rest still works.
    EXPECT_EQ(name(QStringLiteral("ALBUMM-EVENTITLE")), QStringLiteral("SSM-EVENMM NUM EVENT_"));

    const TrackInfo unknown;
    EXPECT_EQ(makeautoname(QStringLiteral("ARTIST-TITLE-ALBUM-TRACK"), QString(), 0, Instant,
                           English, &unknown),
              QStringLiteral("Unknown Artist-Unknown Title--"));
    // Without a track (the recorder not following a player) the words stay text.
    EXPECT_EQ(expand(QStringLiteral("TITLE-HH")), QStringLiteral("TITLE-22"));
}

TEST(PartialTrack, TellsACutTrackAndMarksItsName) {
    const int64_t fourMinutes = 240'000'000;
    EXPECT_TRUE(isPartialTrack(true, false, fourMinutes, fourMinutes));
    EXPECT_FALSE(isPartialTrack(false, false, 10'000'000, fourMinutes)); // skipped by the user
    EXPECT_FALSE(isPartialTrack(false, true, fourMinutes - 2'000'000, fourMinutes));
    EXPECT_TRUE(isPartialTrack(false, true, fourMinutes - 2'000'001, fourMinutes));
    EXPECT_FALSE(isPartialTrack(false, true, 1'000'000, 0));        // a stream: no end to miss
    EXPECT_TRUE(isPartialTrack(false, true, 2'500'000, 4'000'000)); // half a short jingle

    EXPECT_EQ(partialTrackName(QStringLiteral("/m/v1.2/Mr. Blue.ogg")),
              QStringLiteral("/m/v1.2/Mr. Blue (partial).ogg"));
    EXPECT_EQ(partialTrackName(QStringLiteral("/m/v1.2/rec")),
              QStringLiteral("/m/v1.2/rec (partial)"));
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
