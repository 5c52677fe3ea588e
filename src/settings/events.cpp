#include "settings/events.h"

#include "common/messages.h"
#include "settings/config.h"
#include "settings/desktop.h"
#include "settings/xmlstore.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>

#include <algorithm>
#include <cmath>
#include <functional>

std::array<TRecEvent, MaxEvents + 1> events;

namespace {

using xmlstore::Element;
using xmlstore::fromBool;

const QString Caption = QStringLiteral("Orvanta");

struct LoadError {
    QString reason;
};

QString requiredText(const Element& element, const QString& attribute) {
    if (!element.hasAttribute(attribute)) {
        throw LoadError{QStringLiteral("element \"%1\" has no attribute \"%2\"")
                            .arg(element.tagName(), attribute)};
    }
    return element.attribute(attribute);
}

LoadError badValue(const Element& element, const QString& attribute) {
    return LoadError{QStringLiteral("\"%1\" of element \"%2\" is not a valid value")
                         .arg(attribute, element.tagName())};
}

int32_t requiredInteger(const Element& element, const QString& attribute) {
    if (const std::optional<int32_t> value = xmlstore::toInt32(requiredText(element, attribute))) {
        return *value;
    }
    throw badValue(element, attribute);
}

bool requiredBool(const Element& element, const QString& attribute) {
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

TDateTime requiredDate(const Element& element, const QString& attribute) {
    const std::optional<QDate> date =
        parseEventDate(requiredText(element, attribute), QDate::currentDate().year());
    if (!date) {
        throw badValue(element, attribute);
    }
    return datetime::encode(date->year(), date->month(), date->day());
}

TDateTime requiredTime(const Element& element, const QString& attribute) {
    if (const std::optional<TDateTime> time = parseTime(requiredText(element, attribute))) {
        return *time;
    }
    throw badValue(element, attribute);
}

// Reads one event element; throws LoadError when it is not a complete event.
TRecEvent readEvent(const Element& element, const std::function<QString()>& browser) {
    TRecEvent e;
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

void showDamaged() {
    messages().show(QStringLiteral("Can't Load Scheduler Data"), Caption, MessageIcon::Information,
                    MessageButtons::Ok);
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
    QString problem;
    const std::optional<QByteArray> bytes = xmlstore::readFile(path, problem);
    xmlstore::Document document;
    if (bytes) {
        problem = xmlstore::parseDocument(*bytes, document);
    }
    if (!problem.isEmpty() || document.rootName != QLatin1String("Scheduler")) {
        // Nothing in it can be used; the exit's save would write over it.
        xmlstore::keepBackup(path, bytes);
        showDamaged();
        return;
    }

    const QHash<QString, Element>& children = document.children;
    const Element header = children.value(QStringLiteral("events"));
    const std::optional<int32_t> stored =
        header.isNull() ? std::nullopt
                        : xmlstore::toInt32(header.attribute(QStringLiteral("number")));
    // Without a count that reads, the events that are there are taken, up to what the table
    // holds. Events beyond the table are left out, with a word.
    bool damaged = !stored || *stored < 0;
    const int32_t last = damaged ? MaxEvents : std::min(*stored, MaxEvents);
    const bool truncated = !damaged && *stored > MaxEvents &&
                           children.contains(QStringLiteral("event%1").arg(MaxEvents + 1));

    // The browser's command is looked up at most once per file, and only when an event has no
    // application of its own.
    std::optional<QString> browser;
    const auto defaultBrowser = [&browser] {
        if (!browser) {
            browser = getdefaultbrowser();
        }
        return *browser;
    };
    // A missing or damaged event is left out and the valid ones close up, so that the table
    // never holds an event the file did not.
    int32_t kept = 0;
    for (int i = 1; i <= last; ++i) {
        const Element element = children.value(QStringLiteral("event%1").arg(i));
        if (element.isNull()) {
            damaged = true;
            continue;
        }
        try {
            const TRecEvent event = readEvent(element, defaultBrowser);
            events[++kept] = event;
        } catch (const LoadError&) {
            damaged = true;
        }
    }
    config.numevents = kept;

    // The file keeps what was left out until the save writes over it; the backup keeps it
    // after that.
    if (damaged || truncated) {
        xmlstore::keepBackup(path, bytes);
    }
    if (damaged) {
        showDamaged();
    }
    if (truncated) {
        messages().show(QStringLiteral("The scheduler file holds %1 events, but the scheduler "
                                       "keeps at most %2. Only the first %2 events were loaded.")
                            .arg(*stored)
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
