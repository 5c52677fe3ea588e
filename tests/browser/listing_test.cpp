#include "browser/listing.h"
#include "browser/tagbinding.h"
#include "browser/tagworker.h"
#include "support/qtprint.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TMCRS row(const char* file, const char* title = "", int32_t duration = 0, TDateTime modified = 0) {
    TMCRS r;
    r.audiofile = QString::fromUtf8(file);
    r.title = QString::fromUtf8(title);
    r.duration = duration;
    r.modified = modified;
    return r;
}

QStringList files(const std::vector<TMCRS>& rows) {
    QStringList names;
    for (const TMCRS& r : rows)
        names << r.audiofile;
    return names;
}

TEST(Listing, ExtensionsAndDurations) {
    EXPECT_TRUE(IsRecordingFile(lowerExtension(QStringLiteral("Take1.MP3"))));
    EXPECT_TRUE(IsRecordingFile(lowerExtension(QStringLiteral("a.b.flac"))));
    EXPECT_FALSE(IsRecordingFile(lowerExtension(QStringLiteral("take1.mp3.bak"))));
    EXPECT_FALSE(IsRecordingFile(lowerExtension(QStringLiteral("mp3"))));
    EXPECT_FALSE(IsRecordingFile(QStringLiteral(".MP3"))); // the caller lower-cases
    EXPECT_EQ(durationText(3725), QStringLiteral("1:02:05"));
    EXPECT_EQ(durationText(59), QStringLiteral("0:00:59"));
    EXPECT_EQ(durationText(90000), QStringLiteral("1:00:00")); // only the time of day
    EXPECT_EQ(durationText(0), QStringLiteral("0:00:00"));
}

TEST(Listing, ComparisonRules) {
    // File names compare with a-z upper-cased only; titles are case-sensitive.
    EXPECT_LT(compareRows(0, row("abc.mp3"), row("ABD.mp3")), 0);
    EXPECT_EQ(compareRows(0, row("abc.mp3"), row("ABC.mp3")), 0);
    EXPECT_LT(compareRows(0, row("ab"), row("abc")), 0);
    // Outside ASCII nothing is folded: "é" and "É" differ.
    EXPECT_NE(compareRows(0, row("\xc3\xa9.mp3"), row("\xc3\x89.mp3")), 0);
    EXPECT_LT(compareRows(1, row("x", "Zed"), row("y", "apple")), 0);
    EXPECT_GT(compareRows(3, row("x", "", 10), row("y", "", 9)), 0);
    EXPECT_EQ(compareRows(9, row("a"), row("b")), 0);
    // Same calendar day at different hours: equal. Different days: by moment.
    const TDateTime morning = datetime::encode(2026, 3, 4, 8, 0);
    const TDateTime evening = datetime::encode(2026, 3, 4, 22, 30);
    const TDateTime nextDay = datetime::encode(2026, 3, 5, 0, 1);
    EXPECT_EQ(compareRows(4, row("a", "", 0, morning), row("b", "", 0, evening)), 0);
    EXPECT_LT(compareRows(4, row("a", "", 0, evening), row("b", "", 0, nextDay)), 0);
    EXPECT_GT(compareRows(4, row("a", "", 0, nextDay), row("b", "", 0, morning)), 0);
}

TEST(Listing, SortIsStableInBothDirections) {
    const TDateTime day = datetime::encode(2026, 3, 4);
    std::vector<TMCRS> rows = {row("late.mp3", "", 0, day + 0.9), row("old.mp3", "", 0, day - 3),
                               row("early.mp3", "", 0, day + 0.1)};
    sortRows(rows, 4, true);
    EXPECT_EQ(files(rows), (QStringList{"late.mp3", "early.mp3", "old.mp3"}));
    sortRows(rows, 4, false);
    EXPECT_EQ(files(rows), (QStringList{"old.mp3", "late.mp3", "early.mp3"}));

    std::vector<TMCRS> titles = {row("1", "apple"), row("2", "Zed"), row("3", "apple")};
    sortRows(titles, 1, false);
    EXPECT_EQ(files(titles), (QStringList{"2", "1", "3"}));
    sortRows(titles, 1, true);
    EXPECT_EQ(files(titles), (QStringList{"1", "3", "2"}));
}

TEST(Listing, AFileGoneBeforeItIsReadIsAFailureNotAnEmptyRow) {
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("here.wav")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("RIFF");
    file.close();
    const TagBinding none(dir.filePath(QStringLiteral("no-such-library.so")));
    const TagAccess access(none);
    TMCRS row;
    EXPECT_TRUE(readListedFile(access, dir.path(), QStringLiteral("here.wav"), row));
    EXPECT_EQ(row.audiofile, QStringLiteral("here.wav"));
    EXPECT_EQ(row.duration, 0); // no library: an empty tag, but listed
    EXPECT_FALSE(readListedFile(access, dir.path(), QStringLiteral("gone.wav"), row));
}

} // namespace
