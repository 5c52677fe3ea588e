#include "settings/autoname.h"

#include "common/trackinfo.h"

#include <QDate>
#include <QTime>

#include <algorithm>
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

namespace {

// The tokens of the expression's own instant, counter and event, replaced in this order over
// one stretch of the expression.
QString expandTokens(const QString& stretch, const QString& eventname, int32_t number,
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

    QString name = stretch;
    for (const auto& [token, text] : replacements) {
        // QString::replace scans left to right and does not look again at what it inserted.
        name.replace(token, text, Qt::CaseSensitive);
    }
    return name;
}

// A player's text cut to `maxBytes` of UTF-8, whole characters at a time: a file name
// holds at most 255 bytes, and a title, artist and album together must leave room for the
// rest of the name.
QString fitted(QString text, qsizetype maxBytes) {
    while (text.toUtf8().size() > maxBytes) {
        text.chop(text.size() >= 2 && text.at(text.size() - 1).isLowSurrogate() ? 2 : 1);
        text = text.trimmed();
    }
    return text;
}

QString orUnknown(const QString& value, const char* unknown, qsizetype maxBytes) {
    const QString trimmed = fitted(value.trimmed(), maxBytes);
    return trimmed.isEmpty() ? QString::fromLatin1(unknown) : trimmed;
}

} // namespace

QString makeautoname(const QString& expression, const QString& eventname, int32_t number,
                     const QDateTime& now, const QLocale& locale, const TrackInfo* track) {
    if (!track) {
        return fixfilename(expandTokens(expression, eventname, number, now, locale));
    }

    const std::array<std::pair<QString, QString>, 4> trackTokens = {{
        {QStringLiteral("ARTIST"), orUnknown(track->artist, "Unknown Artist", 50)},
        {QStringLiteral("TITLE"), orUnknown(track->title, "Unknown Title", 100)},
        {QStringLiteral("ALBUM"), fitted(track->album.trimmed(), 50)},
        {QStringLiteral("TRACK"),
         track->trackNumber > 0 ? twoDigits(track->trackNumber) : QString()},
    }};

    // The player's texts are the user's music, not part of the expression: the stretches
    // between the track tokens are expanded on their own and the values put in between.
    // No other token can reach across a track token, as it would over a value.
    QString name;
    qsizetype literalStart = 0;
    qsizetype i = 0;
    while (i < expression.size()) {
        const auto found =
            std::find_if(trackTokens.begin(), trackTokens.end(), [&](const auto& token) {
                return QStringView(expression).mid(i).startsWith(token.first);
            });
        if (found == trackTokens.end()) {
            ++i;
            continue;
        }
        name += expandTokens(expression.mid(literalStart, i - literalStart), eventname, number, now,
                             locale);
        name += found->second;
        i += found->first.size();
        literalStart = i;
    }
    name += expandTokens(expression.mid(literalStart), eventname, number, now, locale);
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

bool isPartialTrack(bool startedBeforeRecording, bool stoppedByRecording, int64_t recordedUs,
                    int64_t trackLengthUs, int64_t toleranceUs) {
    if (startedBeforeRecording) {
        return true;
    }
    return stoppedByRecording && trackLengthUs > 0 &&
           recordedUs < trackLengthUs - std::min(toleranceUs, trackLengthUs / 10);
}

QString partialTrackName(const QString& path) {
    const qsizetype nameStart = path.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    const QString suffix = QStringLiteral(" (partial)");
    if (dot < nameStart) {
        return path + suffix;
    }
    return path.left(dot) + suffix + path.mid(dot);
}
