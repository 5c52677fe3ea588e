#include "settings/autoname.h"

#include <QDate>
#include <QTime>

#include <array>
#include <utility>

namespace {

QString twoDigits(int value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// The nine printable characters that cannot stand in a file name, in the order in which the
// expression check reports them.
constexpr std::array<char16_t, 9> RefusedCharacters = {u'\\', u'/', u':', u'*', u'?',
                                                       u'"',  u'<', u'>', u'|'};

bool isRefusedInFileName(QChar c) {
    if (c.unicode() < 32) {
        return true;
    }
    for (char16_t refused : RefusedCharacters) {
        if (c.unicode() == refused) {
            return true;
        }
    }
    return false;
}

} // namespace

QString makeautoname(const QString& expression, const QString& eventname, int32_t number,
                     const QDateTime& now, const QLocale& locale) {
    const QDate date = now.date();
    const QTime time = now.time();

    QString numberText = QString::number(number);
    while (numberText.size() < 3) {
        numberText.prepend(QLatin1Char('0'));
    }

    // The order matters: text put in by an earlier token may be matched by a later one, and
    // the event name goes in last so that it is never expanded itself.
    const std::array<std::pair<QString, QString>, 11> replacements = {{
        {QStringLiteral("YY"), QStringLiteral("%1").arg(date.year(), 4, 10, QLatin1Char('0'))},
        {QStringLiteral("MM"), locale.monthName(date.month(), QLocale::ShortFormat)},
        {QStringLiteral("DD"), twoDigits(date.day())},
        {QStringLiteral("YS"), twoDigits(date.year() % 100)},
        {QStringLiteral("MN"), twoDigits(date.month())},
        {QStringLiteral("DW"), locale.dayName(date.dayOfWeek(), QLocale::ShortFormat)},
        {QStringLiteral("HH"), twoDigits(time.hour())},
        {QStringLiteral("NN"), twoDigits(time.minute())},
        {QStringLiteral("SS"), twoDigits(time.second())},
        {QStringLiteral("NUM"), numberText},
        {QStringLiteral("EVENT"), eventname},
    }};

    QString name = expression;
    for (const auto& [token, text] : replacements) {
        // QString::replace scans left to right and does not look again at what it inserted.
        name.replace(token, text, Qt::CaseSensitive);
    }
    return fixfilename(name);
}

QString makeautoname(const QString& expression, const QString& eventname, int32_t number) {
    return makeautoname(expression, eventname, number, QDateTime::currentDateTime(),
                        QLocale::system());
}

QString fixfilename(const QString& name) {
    QString fixed = name;
    for (QChar& c : fixed) {
        if (isRefusedInFileName(c)) {
            c = QLatin1Char('_');
        }
    }
    return fixed;
}

bool checkexpression(const QString& expression) {
    for (char16_t refused : RefusedCharacters) {
        if (expression.contains(QChar(refused))) {
            return false;
        }
    }
    return true;
}
