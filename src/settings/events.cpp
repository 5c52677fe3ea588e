#include "settings/events.h"

#include "common/messages.h"
#include "settings/config.h"
#include "settings/desktop.h"
#include "settings/xmlstore.h"

#include <QDomDocument>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>

#include <algorithm>
#include <cmath>
#include <functional>

std::array<TRecEvent, MaxEvents + 1> events;

namespace {

using xmlstore::fromBool;

const QString Caption = QStringLiteral("Orvanta");

struct LoadError {
    QString reason;
};

QString requiredText(const QDomElement& element, const QString& attribute) {
    if (!element.hasAttribute(attribute)) {
        throw LoadError{QStringLiteral("element \"%1\" has no attribute \"%2\"")
                            .arg(element.tagName(), attribute)};
    }
    return element.attribute(attribute);
}

LoadError badValue(const QDomElement& element, const QString& attribute) {
    return LoadError{QStringLiteral("\"%1\" of element \"%2\" is not a valid value")
                         .arg(attribute, element.tagName())};
}

int32_t requiredInteger(const QDomElement& element, const QString& attribute) {
    if (const std::optional<int32_t> value = xmlstore::toInt32(requiredText(element, attribute))) {
        return *value;
    }
    throw badValue(element, attribute);
}

bool requiredBool(const QDomElement& element, const QString& attribute) {
    if (const std::optional<bool> value = xmlstore::toBool(requiredText(element, attribute))) {
        return *value;
    }
    throw badValue(element, attribute);
}

// The locale's long time format names the time zone, which a stored time of day never
// carries; without the zone the format still reads files of the locale-dependent form.
QString withoutTimeZone(QString format) {
    static const QRegularExpression zone(QStringLiteral("\\s*(?<![A-Za-z'])t+(?![A-Za-z'])"));
    return format.remove(zone).trimmed();
}

// Times are written in the fixed 24-hour form "HH:MM:SS", which reads back under any locale.
// Files written with the user's long time format (with an AM/PM marker, say) are read too.
std::optional<TDateTime> parseTime(const QString& text) {
    const QLocale c = QLocale::c();
    const QLocale user;
    const QString longFormat = user.timeFormat(QLocale::LongFormat);
    const QString formats[] = {QStringLiteral("H:mm:ss"), longFormat, withoutTimeZone(longFormat),
                               user.timeFormat(QLocale::ShortFormat)};
    const QString trimmed = text.trimmed();
    QTime time = c.toTime(trimmed, formats[0]);
    for (const QString& format : formats) {
        if (time.isValid()) {
            break;
        }
        time = user.toTime(trimmed, format);
    }
    if (!time.isValid()) {
        return std::nullopt;
    }
    return time.msecsSinceStartOfDay() / datetime::MsPerDay;
}

// Only the day of a moment is stored. Moments far outside any calendar are clamped, so that
// a damaged value in memory can never overflow the conversion.
QString dateText(TDateTime moment) {
    constexpr double FirstDay = -693593.0; // 0001-01-01
    constexpr double LastDay = 2958465.0;  // 9999-12-31
    double day = std::isfinite(moment) ? std::floor(moment) : 0.0;
    day = std::clamp(day, FirstDay, LastDay);
    const QDate date = QDate(1899, 12, 30).addDays(static_cast<qint64>(day));
    return QLocale::c().toString(date, QStringLiteral("dd-MM-yy"));
}

TDateTime requiredDate(const QDomElement& element, const QString& attribute) {
    const std::optional<QDate> date =
        parseEventDate(requiredText(element, attribute), QDate::currentDate().year());
    if (!date) {
        throw badValue(element, attribute);
    }
    return datetime::encode(date->year(), date->month(), date->day());
}

TDateTime requiredTime(const QDomElement& element, const QString& attribute) {
    if (const std::optional<TDateTime> time = parseTime(requiredText(element, attribute))) {
        return *time;
    }
    throw badValue(element, attribute);
}

// Reads one event element into a copy, so that a slot is changed only by a complete event.
TRecEvent readEvent(const QDomElement& element, const TRecEvent& current,
                    const std::function<QString()>& browser) {
    TRecEvent e = current;
    e.name = requiredText(element, QStringLiteral("name"));
    e.start = requiredTime(element, QStringLiteral("starttime"));
    e.stop = requiredTime(element, QStringLiteral("stoptime"));
    e.startdate = requiredDate(element, QStringLiteral("startdate"));
    e.stopdate = requiredDate(element, QStringLiteral("stopdate"));
    e.rep_mode = requiredInteger(element, QStringLiteral("repeat"));
    if (e.rep_mode == 1) {
        e.startdate += e.start;
        e.stopdate += e.stop;
    } else if (e.rep_mode == 0) {
        for (size_t d = 0; d < e.days.size(); ++d) {
            e.days[d] = requiredBool(element, QStringLiteral("day%1").arg(d + 1));
        }
    } else if (e.rep_mode == 2) {
        e.days.fill(true);
    }
    e.canceled = requiredBool(element, QStringLiteral("cancelled"));
    e.nextday = requiredBool(element, QStringLiteral("nextday"));
    e.filename = requiredText(element, QStringLiteral("filename"));
    e.url = requiredText(element, QStringLiteral("URL"));
    e.appname = element.hasAttribute(QStringLiteral("Appname"))
                    ? element.attribute(QStringLiteral("Appname"))
                    : browser();
    e.task = element.hasAttribute(QStringLiteral("Task"))
                 ? requiredBool(element, QStringLiteral("Task"))
                 : false;
    return e;
}

} // namespace

std::optional<QDate> parseEventDate(const QString& text, int currentYear) {
    static const QRegularExpression form(
        QStringLiteral("^\\s*(\\d{1,2})-(\\d{1,2})-(\\d{1,4})\\s*$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const int day = match.captured(1).toInt();
    const int month = match.captured(2).toInt();
    int year = match.captured(3).toInt();
    if (match.capturedLength(3) <= 2) {
        // Qt reads "yy" as 19yy, which would put every fixed-date event into the last
        // century where it never fires; take the year nearest to the current one instead.
        year += currentYear - currentYear % 100;
        if (year > currentYear + 50) {
            year -= 100;
        } else if (year <= currentYear - 50) {
            year += 100;
        }
    }
    const QDate date(year, month, day);
    if (!date.isValid()) {
        return std::nullopt;
    }
    return date;
}

void loadevents(const QString& path) {
    if (!QFile::exists(path)) {
        return;
    }
    bool truncated = false;
    int32_t stored = 0;
    try {
        QDomDocument document;
        if (const QString problem = xmlstore::readDocument(path, document); !problem.isEmpty()) {
            throw LoadError{problem};
        }
        const QDomElement root = document.documentElement();
        if (root.tagName() != QLatin1String("Scheduler")) {
            throw LoadError{QStringLiteral("the root element \"Scheduler\" is missing")};
        }
        const QHash<QString, QDomElement> children = xmlstore::childrenByName(root);
        const QDomElement header = children.value(QStringLiteral("events"));
        if (header.isNull()) {
            throw LoadError{QStringLiteral("element \"events\" is missing")};
        }
        stored = requiredInteger(header, QStringLiteral("number"));
        if (stored < 0) {
            throw badValue(header, QStringLiteral("number"));
        }
        // The table has room for MaxEvents; the rest of the file is left out.
        truncated = stored > MaxEvents;
        config.numevents = std::min(stored, MaxEvents);

        // The browser's command is looked up at most once per file, and only when an event
        // has no application of its own.
        std::optional<QString> browser;
        const auto defaultBrowser = [&browser] {
            if (!browser) {
                browser = getdefaultbrowser();
            }
            return *browser;
        };
        for (int i = 1; i <= config.numevents; ++i) {
            const QDomElement element = children.value(QStringLiteral("event%1").arg(i));
            if (!element.isNull()) {
                events[i] = readEvent(element, events[i], defaultBrowser);
            }
        }
    } catch (const LoadError&) {
        messages().show(QStringLiteral("Can't Load Scheduler Data"), Caption,
                        MessageIcon::Information, MessageButtons::Ok);
    }
    if (truncated) {
        messages().show(QStringLiteral("The scheduler file holds %1 events, but the scheduler "
                                       "keeps at most %2. Only the first %2 events were loaded.")
                            .arg(stored)
                            .arg(MaxEvents),
                        Caption, MessageIcon::Information, MessageButtons::Ok);
    }
}

bool saveevents(const QString& path) {
    const int count = std::clamp(config.numevents, 0, MaxEvents);
    xmlstore::DocumentWriter writer(QStringLiteral("Scheduler"));
    writer.addElement(QStringLiteral("events"),
                      {{QStringLiteral("number"), QString::number(count)}});
    for (int i = 1; i <= count; ++i) {
        const TRecEvent& e = events[i];
        xmlstore::DocumentWriter::Attributes attributes = {
            {QStringLiteral("name"), e.name},
            {QStringLiteral("starttime"), timetext(e.start)},
            {QStringLiteral("stoptime"), timetext(e.stop)},
            {QStringLiteral("startdate"), dateText(e.startdate)},
            {QStringLiteral("stopdate"), dateText(e.stopdate)},
            {QStringLiteral("repeat"), QString::number(e.rep_mode)},
        };
        if (e.rep_mode == 0) {
            for (size_t d = 0; d < e.days.size(); ++d) {
                attributes.emplace_back(QStringLiteral("day%1").arg(d + 1),
                                        e.days[d] ? QStringLiteral("true")
                                                  : QStringLiteral("false"));
            }
        }
        attributes.insert(attributes.end(), {
                                                {QStringLiteral("cancelled"), fromBool(e.canceled)},
                                                {QStringLiteral("nextday"), fromBool(e.nextday)},
                                                {QStringLiteral("filename"), e.filename},
                                                {QStringLiteral("URL"), e.url},
                                                {QStringLiteral("Appname"), e.appname},
                                                {QStringLiteral("Task"), fromBool(e.task)},
                                            });
        writer.addElement(QStringLiteral("event%1").arg(i), attributes);
    }
    if (const QString problem = xmlstore::writeFileAtomically(path, writer.finish());
        !problem.isEmpty()) {
        messages().show(QStringLiteral("Could not save the scheduler events to \"%1\": %2.\nThe "
                                       "previous events file was left as it was.")
                            .arg(path, problem),
                        Caption, MessageIcon::Error, MessageButtons::Ok);
        return false;
    }
    return true;
}
