// Feeds mutated copies of valid files through the three loaders. Run under the sanitizers,
// a crash, a hang, an overflow or a leak is a failure; the checks below add what the loaders
// promise about their results whatever the input.

#include "settings/events.h"
#include "settings/namehistory.h"
#include "settings/settingsfile.h"

#include "settingstestenv.h"
#include "support/fakemessages.h"
#include "support/qtprint.h"

#include <QElapsedTimer>
#include <QRegularExpression>

namespace {

// Each loader gets about a third of this; the loop ends early on a slow, loaded machine
// rather than running long.
constexpr qint64 BudgetPerLoaderMs = 3300;
constexpr int MaxRoundsPerLoader = 3000;

QByteArray hugeNumber(std::mt19937& rng) {
    static const char* const numbers[] = {"99999999999999999999",
                                          "2147483648",
                                          "-2147483649",
                                          "2147483647",
                                          "-2147483648",
                                          "1e999",
                                          "-1e-999",
                                          "0x10",
                                          "00000000000000000000000000000000000001",
                                          "nan",
                                          "inf",
                                          "1,5,5",
                                          ""};
    return numbers[rng() % std::size(numbers)];
}

QByteArray mutateOnce(QByteArray bytes, std::mt19937& rng) {
    const auto position = [&] {
        return bytes.isEmpty() ? qsizetype(0) : qsizetype(rng() % (bytes.size() + 1));
    };
    switch (rng() % 9) {
    case 0: // flipped bits
        for (int n = 1 + static_cast<int>(rng() % 8); n > 0 && !bytes.isEmpty(); --n) {
            bytes[qsizetype(rng() % bytes.size())] ^= static_cast<char>(1u << (rng() % 8));
        }
        break;
    case 1: // cut short
        bytes.truncate(position());
        break;
    case 2: { // a number replaced by a huge or odd one
        static const QRegularExpression number(QStringLiteral("\"-?[0-9]+(\\.[0-9]+)?\""));
        const QString text = QString::fromUtf8(bytes);
        QList<QRegularExpressionMatch> matches;
        for (auto it = number.globalMatch(text); it.hasNext();) {
            matches << it.next();
        }
        if (!matches.isEmpty()) {
            const QRegularExpressionMatch& m = matches[qsizetype(rng() % matches.size())];
            QString changed = text;
            changed.replace(m.capturedStart() + 1, m.capturedLength() - 2,
                            QString::fromLatin1(hugeNumber(rng)));
            bytes = changed.toUtf8();
        }
        break;
    }
    case 3: { // deep nesting
        const int depth = 1 + static_cast<int>(rng() % 50000);
        const qsizetype at = bytes.indexOf("/>");
        bytes.insert(at < 0 ? position() : at + 2,
                     QByteArray("<d>").repeated(depth) + QByteArray("</d>").repeated(depth));
        break;
    }
    case 4: // invalid UTF-8
        for (int n = 1 + static_cast<int>(rng() % 4); n > 0; --n) {
            bytes.insert(position(), static_cast<char>(0x80 + rng() % 0x80));
        }
        break;
    case 5: { // a line repeated or dropped
        QList<QByteArray> lines = bytes.split('\n');
        const qsizetype line = qsizetype(rng() % lines.size());
        if (rng() % 2) {
            lines.insert(line, lines[line]);
        } else {
            lines.removeAt(line);
        }
        bytes = lines.join('\n');
        break;
    }
    case 6: { // entity expansion
        const qsizetype root = bytes.indexOf("?>");
        bytes.insert(root < 0 ? 0 : root + 2,
                     "<!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;"
                     "&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;"
                     "&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;\">]>");
        const qsizetype quote = bytes.indexOf("=\"", position());
        if (quote >= 0) {
            bytes.insert(quote + 2, "&e;");
        }
        break;
    }
    case 7: // markup characters in odd places
        bytes.insert(position(), "<>&\"'\0"[rng() % 6]);
        break;
    default: // a range of bytes swapped with random ones
        for (qsizetype at = position(), n = qsizetype(rng() % 32); n > 0 && at < bytes.size();
             ++at, --n) {
            bytes[at] = static_cast<char>(rng());
        }
        break;
    }
    return bytes;
}

QByteArray mutate(const QByteArray& base, std::mt19937& rng) {
    QByteArray bytes = mutateOnce(base, rng);
    while (rng() % 4 == 0) {
        bytes = mutateOnce(bytes, rng);
    }
    return bytes;
}

class LoaderFuzz : public ::testing::Test {
protected:
    void SetUp() override {
        clearStores();
        // Without helper programs on the path the browser lookup fails at once, so the
        // rounds measure the loaders and not process start-up.
        ASSERT_TRUE(QDir().mkpath(home.path() + QStringLiteral("/emptybin")));
        writeBaseFiles();
    }
    void TearDown() override { clearStores(); }

    void writeBaseFiles() {
        TConfig record;
        defaultconfig(record);
        record.namingexpression = QStringLiteral("rec-<NUM> & \"EVENT\"");
        record.silence = 0.3f;
        config.numevents = 3;
        for (int i = 1; i <= 3; ++i) {
            events[i].name = QStringLiteral("Event %1").arg(i);
            events[i].rep_mode = i - 1;
            events[i].start = 0.25 * i;
            events[i].startdate = datetime::encode(2024, 8, i);
            events[i].days[i] = true;
        }
        events[3].appname = QStringLiteral("player %u");
        namehistory = QStringList{QStringLiteral("YY-MM-DD"), QStringLiteral("rec-NUM"),
                                  QStringLiteral("rec-NUM")};
        ASSERT_TRUE(saveconfig(QStringLiteral("tressic.xml"), record));
        baseSettings = readBytes(home.settingsFile());
        baseEvents = readBytes(home.settingsDir() + QStringLiteral("events.xml"));
        baseNames = readBytes(home.settingsDir() + QStringLiteral("names.xml"));
        clearStores();
    }

    TempHome home;
    ScopedEnv path{"PATH", (home.path() + QStringLiteral("/emptybin")).toUtf8()};
    FakeMessages messages;
    QByteArray baseSettings;
    QByteArray baseEvents;
    QByteArray baseNames;
};

} // namespace

TEST_F(LoaderFuzz, SettingsLoaderGivesTheFileOrTheDefaults) {
    TConfig defaults;
    defaultconfig(defaults);
    defaults.pathtosettings = home.settingsDir();

    std::mt19937 rng(1);
    QElapsedTimer budget;
    budget.start();
    int rounds = 0;
    for (; rounds < MaxRoundsPerLoader && !budget.hasExpired(BudgetPerLoaderMs); ++rounds) {
        const QByteArray bytes = mutate(baseSettings, rng);
        writeBytes(home.settingsFile(), bytes);
        QFile::remove(home.settingsFile() + QStringLiteral(".bak"));
        messages.shown.clear();
        const auto mode = rounds % 2 ? ConfigLoadMode::ReadOnly : ConfigLoadMode::Normal;

        TConfig record;
        const QString problem = loadconfig(QStringLiteral("tressic.xml"), record, mode);
        EXPECT_EQ(record.nextnumber, 0);
        EXPECT_EQ(record.vbrmode, 0);
        EXPECT_EQ(record.pathtosettings, home.settingsDir());
        if (problem.isEmpty()) {
            ASSERT_TRUE(messages.shown.empty()) << bytes.constData();
            ASSERT_EQ(readBytes(home.settingsFile()), bytes);
            continue;
        }
        TConfig expected = defaults;
        expected.voxautodeletetime = record.voxautodeletetime;
        ASSERT_TRUE(record == expected) << bytes.constData();
        if (mode == ConfigLoadMode::ReadOnly) {
            ASSERT_TRUE(messages.shown.empty());
            ASSERT_EQ(readBytes(home.settingsFile()), bytes);
        } else {
            ASSERT_EQ(messages.shown.size(), 1u);
            ASSERT_EQ(readBytes(home.settingsFile() + QStringLiteral(".bak")), bytes);
        }
    }
    RecordProperty("rounds", rounds);
}

TEST_F(LoaderFuzz, EventsLoaderStaysWithinTheTable) {
    std::mt19937 rng(2);
    QElapsedTimer budget;
    budget.start();
    const QString path = home.settingsDir() + QStringLiteral("events.xml");
    int rounds = 0;
    for (; rounds < MaxRoundsPerLoader && !budget.hasExpired(BudgetPerLoaderMs); ++rounds) {
        const QByteArray bytes = mutate(baseEvents, rng);
        writeBytes(path, bytes);
        clearStores();
        messages.shown.clear();
        loadevents(path);
        ASSERT_GE(config.numevents, 0);
        ASSERT_LE(config.numevents, MaxEvents);
        ASSERT_LE(messages.shown.size(), 2u);
        // Never rewritten; a file too large to read is moved to the backup.
        ASSERT_EQ(QFile::exists(path) ? readBytes(path) : readBytes(path + QStringLiteral(".bak")),
                  bytes);
    }
    RecordProperty("rounds", rounds);
}

TEST_F(LoaderFuzz, NamesLoaderAppendsAtMostWhatTheFileHolds) {
    std::mt19937 rng(3);
    QElapsedTimer budget;
    budget.start();
    const QString path = home.settingsDir() + QStringLiteral("names.xml");
    int rounds = 0;
    for (; rounds < MaxRoundsPerLoader && !budget.hasExpired(BudgetPerLoaderMs); ++rounds) {
        const QByteArray bytes = mutate(baseNames, rng);
        writeBytes(path, bytes);
        namehistory.clear();
        messages.shown.clear();
        loadnames(path);
        ASSERT_LE(messages.shown.size(), 1u);
        ASSERT_LE(namehistory.size(), bytes.count("string"));
    }
    RecordProperty("rounds", rounds);
}

// Qt's XML reader takes time that grows with the square of a tag's attributes (half a minute
// for 100,000), so the loaders count them first; a file larger than any of ours is not read.
// Either way the file is damaged: the defaults, the message and a backup.
TEST_F(LoaderFuzz, FilesBeyondOurSizesAreDamagedAndKept) {
    // 100,000 attributes of distinct short names, about 700 kB.
    QByteArray attributes;
    const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int i = 0; i < 100000; ++i) {
        attributes += ' ';
        for (int n = i; n > 0 || attributes.endsWith(' '); n /= 52) {
            attributes += letters[n % 52];
        }
        attributes += "=\"\"";
    }
    const QByteArray padding = "<!--" + QByteArray(1100 * 1024, 'x') + "-->";
    const auto withAttributes = [&attributes](QByteArray bytes, const char* tag) {
        return bytes.insert(bytes.indexOf(tag) + qsizetype(qstrlen(tag)), attributes);
    };
    const auto withPadding = [&padding](QByteArray bytes) {
        return bytes.insert(bytes.lastIndexOf('<'), padding);
    };

    TConfig defaults;
    defaultconfig(defaults);
    defaults.pathtosettings = home.settingsDir();
    for (const QByteArray& bytes :
         {withAttributes(baseSettings, "<ogg"), withPadding(baseSettings)}) {
        writeBytes(home.settingsFile(), bytes);
        messages.shown.clear();
        TConfig record;
        EXPECT_FALSE(loadconfig(QStringLiteral("tressic.xml"), record).isEmpty());
        EXPECT_TRUE(record == defaults);
        EXPECT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(readBytes(home.settingsFile() + QStringLiteral(".bak")), bytes);
    }

    const QString eventsPath = home.settingsDir() + QStringLiteral("events.xml");
    for (const QByteArray& bytes :
         {withAttributes(baseEvents, "<event2"), withPadding(baseEvents)}) {
        writeBytes(eventsPath, bytes);
        clearStores();
        messages.shown.clear();
        loadevents(eventsPath);
        EXPECT_EQ(config.numevents, 0);
        EXPECT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(readBytes(eventsPath + QStringLiteral(".bak")), bytes);
    }

    const QString namesPath = home.settingsDir() + QStringLiteral("names.xml");
    for (const QByteArray& bytes :
         {withAttributes(baseNames, "<options"), withPadding(baseNames)}) {
        writeBytes(namesPath, bytes);
        namehistory.clear();
        messages.shown.clear();
        loadnames(namesPath);
        EXPECT_TRUE(namehistory.isEmpty());
        EXPECT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(readBytes(namesPath + QStringLiteral(".bak")), bytes);
    }
}
