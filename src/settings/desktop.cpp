#include "settings/desktop.h"

#include <QStandardPaths>

namespace {

bool isBlankOrControl(QChar c) {
    return c.unicode() <= 32 || c.isSpace();
}

// Trims blanks and control characters at both ends and drops trailing separators, so that
// callers can always append "/" and a name.
QString cleanFolder(const QString& folder) {
    qsizetype first = 0;
    qsizetype last = folder.size();
    while (first < last && isBlankOrControl(folder.at(first))) {
        ++first;
    }
    while (last > first &&
           (isBlankOrControl(folder.at(last - 1)) || folder.at(last - 1) == QLatin1Char('/'))) {
        --last;
    }
    return folder.mid(first, last - first);
}

} // namespace

QString getappdatafolder() {
    return cleanFolder(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}

QString getmusicfolder() {
    return cleanFolder(QStandardPaths::writableLocation(QStandardPaths::MusicLocation));
}

QString stripext(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || name.indexOf(QLatin1Char('/'), dot + 1) >= 0) {
        return name;
    }
    return name.left(dot);
}
