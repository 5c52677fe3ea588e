#include "eventrow.h"

#include "scheduler/scheduler.h"
#include "settings/events.h"

#include <QDate>
#include <QTreeWidgetItem>

#include <cmath>

namespace {

const char* const DayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

void chopSpaces(QString& text) {
    while (!text.isEmpty() && text.back().isSpace())
        text.chop(1);
}

} // namespace

QTime timeOfDay(TDateTime t) {
    const double fraction = t - std::floor(t);
    const auto msPerDay = static_cast<int64_t>(datetime::MsPerDay);
    // A fraction a hair below one day rounds up to a whole day, which is midnight again.
    const int64_t ms = std::llround(fraction * datetime::MsPerDay) % msPerDay;
    return QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms));
}

TDateTime dayFraction(const QTime& time) {
    return time.isValid() ? time.msecsSinceStartOfDay() / datetime::MsPerDay : 0.0;
}

QString withoutTimeZone(const QString& format) {
    QString out;
    bool quoted = false;
    qsizetype i = 0;
    while (i < format.size()) {
        const QChar c = format.at(i);
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
            out += c;
            ++i;
            continue;
        }
        if (quoted || c != QLatin1Char('t')) {
            out += c;
            ++i;
            continue;
        }
        // Some locales put the zone in parentheses ("H:mm:ss (t)").
        while (i < format.size() && format.at(i) == QLatin1Char('t'))
            ++i;
        chopSpaces(out);
        while (i < format.size() && format.at(i).isSpace())
            ++i;
        if (out.endsWith(QLatin1Char('(')) && i < format.size() &&
            format.at(i) == QLatin1Char(')')) {
            out.chop(1);
            chopSpaces(out);
            ++i;
            while (i < format.size() && format.at(i).isSpace())
                ++i;
        }
        if (!out.isEmpty() && i < format.size())
            out += QLatin1Char(' ');
    }
    return out.trimmed();
}

QString eventTimeText(TDateTime t, const QLocale& locale) {
    return locale.toString(timeOfDay(t), withoutTimeZone(locale.timeFormat(QLocale::LongFormat)));
}

QString repeatText(const TRecEvent& ev, const QLocale& locale) {
    if (ev.rep_mode == 2)
        return QStringLiteral("Daily");
    if (ev.rep_mode == 1)
        return locale.toString(datetime::toQDateTime(ev.startdate).date(), QLocale::ShortFormat);
    QStringList ticked;
    for (size_t day = 0; day < ev.days.size(); ++day) {
        if (ev.days[day])
            ticked << QString::fromLatin1(DayNames[day]);
    }
    return ticked.join(QLatin1Char(','));
}

QStringList eventRowTexts(const TRecEvent& ev, const QLocale& locale) {
    return {ev.name,
            eventTimeText(ev.start, locale),
            eventTimeText(ev.stop, locale),
            repeatText(ev, locale),
            ev.filename.isEmpty() ? QStringLiteral("Auto-Name") : ev.filename,
            QString::fromLatin1(TScheduler::Waiting)};
}

QTreeWidgetItem* makeEventRow(const TRecEvent& ev) {
    auto* item = new QTreeWidgetItem(eventRowTexts(ev));
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled);
    return item;
}
