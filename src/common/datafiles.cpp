#include "datafiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

QString executableFolder() {
    // /proc/self/exe works before (and without) a QCoreApplication.
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    return QFileInfo(exe.symLinkTarget()).absolutePath();
}

QStringList dataFileFolders() {
    QStringList roots;
    const QString overrideDir = qEnvironmentVariable("ORVANTA_DATA_DIR");
    if (!overrideDir.isEmpty())
        roots << QDir::cleanPath(overrideDir);
    const QString exeDir = executableFolder();
    roots << exeDir << QDir::cleanPath(exeDir + QStringLiteral("/../share/orvanta"))
          << QDir::cleanPath(exeDir + QStringLiteral("/../lib/orvanta"));
    return roots;
}

QString findDataFile(const QStringList& relativePaths) {
    const QStringList roots = dataFileFolders();
    QString found;
    for (const QString& relativePath : relativePaths) {
        for (const QString& root : roots) {
            const QFileInfo candidate(QDir(root).filePath(relativePath));
            if (candidate.exists()) {
                found = candidate.canonicalFilePath();
                break;
            }
        }
        if (!found.isEmpty())
            break;
    }
    // For packagers: shows where each shipped file was taken from, or that it is missing.
    if (qEnvironmentVariableIntValue("ORVANTA_DATA_TRACE") == 1) {
        std::fprintf(stderr, "orvanta: data file \"%s\": %s\n",
                     QFile::encodeName(relativePaths.join(QStringLiteral("\" or \""))).constData(),
                     found.isEmpty() ? "not found" : QFile::encodeName(found).constData());
        std::fflush(stderr);
    }
    return found;
}

QString findDataFile(const QString& relativePath) {
    return findDataFile(QStringList{relativePath});
}
