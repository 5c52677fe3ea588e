#include "listing.h"

#include <algorithm>
#include <cmath>

bool IsRecordingFile(const QString& extension) {
    for (const char* known : {".mp3", ".ogg", ".wav", ".flac"}) {
        if (extension == QLatin1String(known))
            return true;
    }
    return false;
}

QString lowerExtension(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : fileName.mid(dot).toLower();
}

namespace {

char16_t asciiUpper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

int compareOrdinal(const QString& a, const QString& b, bool asciiUpperCase) {
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        char16_t x = a[i].unicode();
        char16_t y = b[i].unicode();
        if (asciiUpperCase) {
            x = asciiUpper(x);
            y = asciiUpper(y);
        }
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

} // namespace

int compareRows(int column, const TMCRS& row1, const TMCRS& row2) {
    switch (static_cast<BrowserColumn>(column)) {
    case BrowserColumn::Filename:
        return compareOrdinal(row1.audiofile, row2.audiofile, true);
    case BrowserColumn::Title:
        return compareOrdinal(row1.title, row2.title, false);
    case BrowserColumn::Artist:
        return compareOrdinal(row1.artist, row2.artist, false);
    case BrowserColumn::Duration:
        return row1.duration < row2.duration ? -1 : (row1.duration > row2.duration ? 1 : 0);
    case BrowserColumn::Modified: {
        const double day1 = std::trunc(row1.modified);
        const double day2 = std::trunc(row2.modified);
        if (day1 == day2)
            return 0;
        return row1.modified < row2.modified ? -1 : 1;
    }
    }
    return 0;
}

void sortRows(std::vector<TMCRS>& rows, int column, bool descending) {
    if (descending) {
        std::stable_sort(rows.begin(), rows.end(), [column](const TMCRS& a, const TMCRS& b) {
            return compareRows(column, a, b) > 0;
        });
    } else {
        std::stable_sort(rows.begin(), rows.end(), [column](const TMCRS& a, const TMCRS& b) {
            return compareRows(column, a, b) < 0;
        });
    }
}

QString durationText(int32_t seconds) {
    // Only the time of day of seconds / 86400 days is shown, so whole days drop out.
    int64_t s = seconds % 86400;
    if (s < 0)
        s += 86400;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg((s / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}
