#include "settings/desktop.h"
#include "settings/events.h"
#include "settings/namehistory.h"

#include "settingstestenv.h"
#include "support/fakemessages.h"
#include "support/qtprint.h"

#include <QDomDocument>
#include <QLocale>

namespace {

const QString SchedulerDamaged = QStringLiteral("Can't Load Scheduler Data");
const QString NamesDamaged = QStringLiteral("Can't Load Naming Rules");

class EventFiles : public ::testing::Test {
protected:
    void SetUp() override { clearStores(); }
    void TearDown() override {
        clearStores();
        QLocale::setDefault(QLocale::c());
    }

    QString eventsPath() const { return home.path() + QStringLiteral("/events.xml"); }
    QString namesPath() const { return home.path() + QStringLiteral("/names.xml"); }

    // A events file with the given header count and event elements.
    void writeEvents(int number, const QStringList& elements) {
        QByteArray text = "<?xml version=\"1.0\"?>\n<Scheduler>\n";
        text += "  <events number=\"" + QByteArray::number(number) + "\"/>\n";
        for (const QString& element : elements) {
            text += "  " + element.toUtf8() + "\n";
        }
        text += "</Scheduler>\n";
        writeBytes(eventsPath(), text);
    }

    QDomElement savedElement(const QString& name) {
        QDomDocument document;
        EXPECT_TRUE(document.setContent(readBytes(eventsPath())));
        return document.documentElement().firstChildElement(name);
    }

    TempHome home;
    FakeMessages messages;
};

// An event element with every attribute of a daily event, with `extra` appended.
QString dailyEvent(int slot, const QString& name, const QString& extra = QString()) {
    return QStringLiteral("<event%1 name=\"%2\" starttime=\"08:00:00\" stoptime=\"09:30:00\" "
                          "startdate=\"01-08-24\" stopdate=\"01-08-24\" repeat=\"2\" "
                          "cancelled=\"0\" nextday=\"0\" filename=\"\" URL=\"\" %3/>")
        .arg(slot)
        .arg(name, extra);
}

TDateTime secondsOfDay(int seconds) {
    return (seconds * 1000.0) / datetime::MsPerDay;
}

TRecEvent randomEvent(std::mt19937& rng) {
    TRecEvent e;
    e.name = randomText(rng);
    e.start = secondsOfDay(static_cast<int>(rng() % 86400));
    e.stop = secondsOfDay(static_cast<int>(rng() % 86400));
    const int32_t modes[] = {0, 1, 2, randomInt(rng)};
    e.rep_mode = modes[rng() % 4];
    // Two-digit years read back within 50 years of today.
    const QDate first = QDate::currentDate().addYears(-40).addDays(rng() % (80 * 365));
    const QDate second = first.addDays(rng() % 3);
    const TDateTime startDay = datetime::encode(first.year(), first.month(), first.day());
    const TDateTime stopDay = datetime::encode(second.year(), second.month(), second.day());
    e.startdate = e.rep_mode == 1 ? startDay + e.start : startDay;
    e.stopdate = e.rep_mode == 1 ? stopDay + e.stop : stopDay;
    if (e.rep_mode == 0) {
        for (bool& day : e.days) {
            day = randomBool(rng);
        }
    } else if (e.rep_mode == 2) {
        e.days.fill(true);
    }
    e.canceled = randomBool(rng);
    e.nextday = randomBool(rng);
    e.filename = randomText(rng);
    e.task = randomBool(rng);
    e.url = randomText(rng, 60);
    e.appname = randomText(rng);
    return e;
}

} // namespace

TEST_F(EventFiles, FixedDateEventOverMidnightIsWrittenByDayAndReadBackAsMoments) {
    config.numevents = 1;
    TRecEvent& night = events[1];
    night.name = QStringLiteral("Night & Day");
    night.start = 0.75;
    night.stop = 1.0 / 24.0;
    night.startdate = datetime::encode(2024, 8, 8, 18);
    night.stopdate = datetime::encode(2024, 8, 9, 1);
    night.rep_mode = 1;
    night.nextday = true;
    night.url = QStringLiteral("http://radio.example/live?a=1&b=2");
    night.appname = QStringLiteral("player %u");
    night.task = true;
    ASSERT_TRUE(saveevents(eventsPath()));

    const QDomElement element = savedElement(QStringLiteral("event1"));
    EXPECT_EQ(element.attribute(QStringLiteral("startdate")), QStringLiteral("08-08-24"));
    EXPECT_EQ(element.attribute(QStringLiteral("stopdate")), QStringLiteral("09-08-24"));
    EXPECT_EQ(element.attribute(QStringLiteral("starttime")), QStringLiteral("18:00:00"));
    EXPECT_EQ(element.attribute(QStringLiteral("stoptime")), QStringLiteral("01:00:00"));
    EXPECT_EQ(element.attribute(QStringLiteral("nextday")), QStringLiteral("1"));
    EXPECT_EQ(element.attribute(QStringLiteral("cancelled")), QStringLiteral("0"));
    EXPECT_EQ(element.attribute(QStringLiteral("Task")), QStringLiteral("1"));
    EXPECT_FALSE(element.hasAttribute(QStringLiteral("day1")));
    EXPECT_EQ(savedElement(QStringLiteral("events")).attribute(QStringLiteral("number")),
              QStringLiteral("1"));
    // The attributes keep their documented order.
    const QByteArray text = readBytes(eventsPath());
    EXPECT_TRUE(text.contains("<event1 name=\"Night &amp; Day\" starttime=\"18:00:00\" "
                              "stoptime=\"01:00:00\" startdate=\"08-08-24\" "
                              "stopdate=\"09-08-24\" repeat=\"1\" cancelled=\"0\" nextday=\"1\""))
        << text.constData();

    const TRecEvent written = night;
    clearStores();
    loadevents(eventsPath());
    EXPECT_EQ(config.numevents, 1);
    EXPECT_TRUE(events[1] == written);
    EXPECT_EQ(events[1].startdate, datetime::encode(2024, 8, 8, 18));
    EXPECT_EQ(events[1].stopdate, datetime::encode(2024, 8, 9, 1));
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(EventFiles, DaysAreWrittenOnlyForTheWeekdayMode) {
    config.numevents = 2;
    events[1].name = QStringLiteral("Daily");
    events[1].rep_mode = 2;
    events[2].name = QStringLiteral("Weekdays");
    events[2].rep_mode = 0;
    events[2].days = {true, false, true, false, false, false, true};
    ASSERT_TRUE(saveevents(eventsPath()));

    EXPECT_FALSE(savedElement(QStringLiteral("event1")).hasAttribute(QStringLiteral("day1")));
    const QDomElement weekdays = savedElement(QStringLiteral("event2"));
    EXPECT_EQ(weekdays.attribute(QStringLiteral("day1")), QStringLiteral("true"));
    EXPECT_EQ(weekdays.attribute(QStringLiteral("day2")), QStringLiteral("false"));
    EXPECT_EQ(weekdays.attribute(QStringLiteral("day7")), QStringLiteral("true"));

    clearStores();
    loadevents(eventsPath());
    EXPECT_EQ(events[1].days, (std::array<bool, 7>{true, true, true, true, true, true, true}));
    EXPECT_EQ(events[2].days, (std::array<bool, 7>{true, false, true, false, false, false, true}));
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(EventFiles, OlderEventsWithoutApplicationOrTaskGetTheDefaults) {
    writeEvents(
        2, {dailyEvent(1, QStringLiteral("Old")),
            dailyEvent(2, QStringLiteral("New"), QStringLiteral("Appname=\"\" Task=\"true\""))});
    loadevents(eventsPath());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(events[1].appname, getdefaultbrowser());
    EXPECT_FALSE(events[1].appname.isEmpty());
    EXPECT_FALSE(events[1].task);
    EXPECT_EQ(events[1].start, secondsOfDay(8 * 3600));
    EXPECT_EQ(events[1].stop, secondsOfDay(9 * 3600 + 1800));
    EXPECT_EQ(events[1].startdate, datetime::encode(2024, 8, 1)); // no time added outside mode 1
    EXPECT_EQ(events[2].appname, QString());
    EXPECT_TRUE(events[2].task);
}

TEST_F(EventFiles, MissingFileChangesNothing) {
    config.numevents = 0;
    loadevents(eventsPath());
    loadnames(namesPath());
    EXPECT_EQ(config.numevents, 0);
    EXPECT_TRUE(namehistory.isEmpty());
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(EventFiles, PartlyDamagedFilesKeepEveryValidEntryAndABackup) {
    // The third event does not read and the fourth is missing: the others close up.
    writeEvents(5, {dailyEvent(1, QStringLiteral("One")), dailyEvent(2, QStringLiteral("Two")),
                    QStringLiteral("<event3 name=\"Three\" starttime=\"25:00:00\"/>"),
                    dailyEvent(5, QStringLiteral("Five"))});
    const QByteArray damagedEvents = readBytes(eventsPath());
    loadevents(eventsPath());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, SchedulerDamaged);
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Information);
    EXPECT_EQ(config.numevents, 3);
    EXPECT_EQ(events[1].name, QStringLiteral("One"));
    EXPECT_EQ(events[2].name, QStringLiteral("Two"));
    EXPECT_EQ(events[3].name, QStringLiteral("Five"));
    EXPECT_EQ(readBytes(eventsPath()), damagedEvents);
    EXPECT_EQ(readBytes(eventsPath() + QStringLiteral(".bak")), damagedEvents);

    ASSERT_TRUE(saveevents(eventsPath()));
    clearStores();
    loadevents(eventsPath());
    EXPECT_EQ(config.numevents, 3);
    EXPECT_EQ(events[3].name, QStringLiteral("Five"));
    EXPECT_EQ(messages.shown.size(), 1u);

    // A count far beyond the file's events makes no blank ones.
    writeEvents(100000,
                {dailyEvent(1, QStringLiteral("One")), dailyEvent(2, QStringLiteral("Two"))});
    const QByteArray hugeCount = readBytes(eventsPath());
    clearStores();
    messages.shown.clear();
    loadevents(eventsPath());
    EXPECT_EQ(config.numevents, 2);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, SchedulerDamaged);
    EXPECT_EQ(readBytes(eventsPath() + QStringLiteral(".bak")), hugeCount);
    ASSERT_TRUE(saveevents(eventsPath()));
    EXPECT_EQ(savedElement(QStringLiteral("events")).attribute(QStringLiteral("number")),
              QStringLiteral("2"));
    EXPECT_TRUE(savedElement(QStringLiteral("event3")).isNull());

    // Names: one entry without its text, one missing, and a count beyond them.
    writeBytes(namesPath(), "<Auto-names><options number=\"100000\"/><name0 string=\"a\"/>"
                            "<name1/><name3 string=\"d\"/><name2 string=\"c\"/></Auto-names>");
    const QByteArray damagedNames = readBytes(namesPath());
    messages.shown.clear();
    loadnames(namesPath());
    EXPECT_EQ(namehistory, QStringList({"a", "c", "d"}));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, NamesDamaged);
    EXPECT_EQ(readBytes(namesPath() + QStringLiteral(".bak")), damagedNames);
    ASSERT_TRUE(savenames(namesPath()));
    namehistory.clear();
    loadnames(namesPath());
    EXPECT_EQ(namehistory, QStringList({"a", "c", "d"}));
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(EventFiles, DamagedEventsAreLeftOut) {
    const QString broken[] = {
        QStringLiteral("<event1 name=\"a\" starttime=\"08:00:00\" stoptime=\"09:00:00\" "
                       "startdate=\"31-02-24\" stopdate=\"01-03-24\" repeat=\"1\"/>"),
        QStringLiteral("<event1 name=\"a\" starttime=\"08:00:00\" stoptime=\"09:00:00\" "
                       "startdate=\"01-03-24\" stopdate=\"01-03-24\" repeat=\"0\" "
                       "cancelled=\"0\" nextday=\"0\" filename=\"\" URL=\"\"/>"), // no days
        dailyEvent(1, QStringLiteral("a")).remove(QStringLiteral("URL=\"\"")),
        dailyEvent(1, QStringLiteral("a"), QStringLiteral("Task=\"sometimes\"")),
    };
    for (const QString& element : broken) {
        clearStores();
        messages.shown.clear();
        writeEvents(1, {element});
        loadevents(eventsPath());
        EXPECT_EQ(messages.shown.size(), 1u) << element.toStdString();
        EXPECT_EQ(config.numevents, 0) << element.toStdString();
    }

    const QByteArray wholeFiles[] = {"not xml", "<Other><events number=\"1\"/></Other>",
                                     "<Scheduler/>",
                                     "<Scheduler><events number=\"-3\"/></Scheduler>",
                                     "<Scheduler><events number=\"two\"/></Scheduler>"};
    for (const QByteArray& text : wholeFiles) {
        clearStores();
        messages.shown.clear();
        writeBytes(eventsPath(), text);
        loadevents(eventsPath());
        EXPECT_EQ(messages.shown.size(), 1u) << text.constData();
        EXPECT_EQ(config.numevents, 0) << text.constData();
        EXPECT_EQ(readBytes(eventsPath() + QStringLiteral(".bak")), text);
    }

    // The count decides: events beyond it are not in the table.
    writeEvents(0, {dailyEvent(1, QStringLiteral("Ignored"))});
    clearStores();
    messages.shown.clear();
    loadevents(eventsPath());
    EXPECT_EQ(config.numevents, 0);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(EventFiles, TableHoldsAtMostAHundredEvents) {
    QStringList elements;
    for (int i = 1; i <= 150; ++i) {
        elements << dailyEvent(i, QStringLiteral("E%1").arg(i), QStringLiteral("Appname=\"\""));
    }
    writeEvents(150, elements);
    loadevents(eventsPath());
    EXPECT_EQ(config.numevents, MaxEvents);
    EXPECT_EQ(events[100].name, QStringLiteral("E100"));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].icon, MessageIcon::Information);
    EXPECT_TRUE(messages.shown[0].text.contains(QStringLiteral("100")))
        << messages.shown[0].text.toStdString();

    // A count that went wrong in memory never reaches past the table.
    config.numevents = 5000;
    ASSERT_TRUE(saveevents(eventsPath()));
    EXPECT_EQ(savedElement(QStringLiteral("events")).attribute(QStringLiteral("number")),
              QStringLiteral("100"));
}

TEST_F(EventFiles, RandomTablesSurviveSaveAndLoad) {
    std::mt19937 rng(8082024);
    for (int round = 0; round < 5; ++round) {
        clearStores();
        config.numevents = static_cast<int32_t>(rng() % (MaxEvents + 1));
        for (int i = 1; i <= config.numevents; ++i) {
            events[i] = randomEvent(rng);
        }
        const auto written = events;
        const int32_t count = config.numevents;
        ASSERT_TRUE(saveevents(eventsPath()));
        clearStores();
        loadevents(eventsPath());
        ASSERT_EQ(config.numevents, count);
        for (int i = 1; i <= count; ++i) {
            ASSERT_TRUE(events[i] == written[i]) << "round " << round << " slot " << i;
        }
    }
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(EventFiles, TimesAndDatesReadUnderAnyLocale) {
    config.numevents = 1;
    events[1].start = secondsOfDay(18 * 3600 + 5 * 60 + 9);
    events[1].stop = secondsOfDay(6 * 3600);
    events[1].rep_mode = 2;
    events[1].days.fill(true);
    events[1].startdate = datetime::encode(2024, 8, 8);
    events[1].stopdate = datetime::encode(2024, 8, 8);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); // 12-hour clock
    ASSERT_TRUE(saveevents(eventsPath()));
    EXPECT_EQ(savedElement(QStringLiteral("event1")).attribute(QStringLiteral("starttime")),
              QStringLiteral("18:05:09"));
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const TRecEvent written = events[1];
    clearStores();
    loadevents(eventsPath());
    EXPECT_TRUE(events[1] == written);

    // A file in the 12-hour form of an English locale still reads under that locale.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    clearStores();
    writeEvents(1, {dailyEvent(1, QStringLiteral("Evening"))
                        .replace(QStringLiteral("08:00:00"), QStringLiteral("6:00:00 PM"))});
    loadevents(eventsPath());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(events[1].start, 0.75);
    EXPECT_EQ(events[1].startdate, datetime::encode(2024, 8, 1));
}

TEST(EventDate, TwoDigitYearsLandNearTheCurrentYear) {
    EXPECT_EQ(parseEventDate(QStringLiteral("08-08-24"), 2025), QDate(2024, 8, 8));
    EXPECT_EQ(parseEventDate(QStringLiteral("08-08-24"), QDate::currentDate().year()),
              QDate(2024, 8, 8));
    EXPECT_EQ(parseEventDate(QStringLiteral("01-01-75"), 2025), QDate(2075, 1, 1));
    EXPECT_EQ(parseEventDate(QStringLiteral("01-01-76"), 2025), QDate(1976, 1, 1));
    EXPECT_EQ(parseEventDate(QStringLiteral("31-12-99"), 2001), QDate(1999, 12, 31));
    EXPECT_EQ(parseEventDate(QStringLiteral("01-01-02"), 2099), QDate(2102, 1, 1));
    EXPECT_EQ(parseEventDate(QStringLiteral("1-2-24"), 2025), QDate(2024, 2, 1));
    EXPECT_EQ(parseEventDate(QStringLiteral("01-02-1924"), 2025), QDate(1924, 2, 1));
    EXPECT_EQ(parseEventDate(QStringLiteral("29-02-24"), 2025), QDate(2024, 2, 29));
    for (const char* bad : {"29-02-23", "00-01-24", "01-13-24", "01/02/24", "", "01-02", "a-b-c",
                            "01-02-24-05", "001-02-24", "01-02-12345"}) {
        EXPECT_EQ(parseEventDate(QString::fromLatin1(bad), 2025), std::nullopt) << bad;
    }
}

TEST_F(EventFiles, NamesKeepTheirOrderAndDuplicates) {
    namehistory << QStringLiteral("already here");
    writeBytes(namesPath(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Auto-names>\n"
                            "  <options number=\"3\"/>\n"
                            "  <name2 string=\"rec-NUM\"/>\n"
                            "  <name0 string=\"YY-MM-DD\"/>\n"
                            "  <name1 string=\"rec-NUM\"/>\n"
                            "</Auto-names>\n");
    loadnames(namesPath());
    EXPECT_EQ(namehistory, QStringList({"already here", "YY-MM-DD", "rec-NUM", "rec-NUM"}));
    EXPECT_TRUE(messages.shown.empty());

    ASSERT_TRUE(savenames(namesPath()));
    QDomDocument document;
    ASSERT_TRUE(document.setContent(readBytes(namesPath())));
    const QDomElement root = document.documentElement();
    EXPECT_EQ(root.tagName(), QStringLiteral("Auto-names"));
    EXPECT_EQ(root.firstChildElement().tagName(), QStringLiteral("options"));
    EXPECT_EQ(root.firstChildElement(QStringLiteral("options")).attribute(QStringLiteral("number")),
              QStringLiteral("4"));
    EXPECT_EQ(root.firstChildElement(QStringLiteral("name3")).attribute(QStringLiteral("string")),
              QStringLiteral("rec-NUM"));
}

TEST_F(EventFiles, RandomNamesSurviveSaveAndLoad) {
    std::mt19937 rng(42);
    for (int i = 0; i < 300; ++i) {
        namehistory << randomText(rng, 40);
    }
    const QStringList written = namehistory;
    ASSERT_TRUE(savenames(namesPath()));
    namehistory.clear();
    loadnames(namesPath());
    EXPECT_EQ(namehistory, written);
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(EventFiles, DamagedNamesFilesGiveNoNames) {
    const QByteArray damaged[] = {"<Auto-names", "<Auto-names/>",
                                  "<Auto-names><options number=\"x\"/></Auto-names>",
                                  "<Auto-names><options number=\"1\"/></Auto-names>"};
    for (const QByteArray& text : damaged) {
        namehistory.clear();
        messages.shown.clear();
        writeBytes(namesPath(), text);
        loadnames(namesPath());
        EXPECT_EQ(messages.shown.size(), 1u) << text.constData();
        EXPECT_TRUE(namehistory.isEmpty());
        EXPECT_EQ(readBytes(namesPath() + QStringLiteral(".bak")), text);
    }

    // Another root is not a naming-rules file: left alone without a word, but kept, as the
    // save writes over it.
    messages.shown.clear();
    const QByteArray other = "<Other><options number=\"1\"/><name0 string=\"a\"/></Other>";
    writeBytes(namesPath(), other);
    loadnames(namesPath());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(namehistory.isEmpty());
    EXPECT_EQ(readBytes(namesPath() + QStringLiteral(".bak")), other);
}
