#include "datafiles.h"

#include <QDir>
#include <QFileInfo>

QString executableFolder() {
    // /proc/self/exe works before (and without) a QCoreApplication.
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    return QFileInfo(exe.symLinkTarget()).absolutePath();
}

QString findDataFile(const QString& relativePath) {
    QStringList roots;
    const QString overrideDir = qEnvironmentVariable("ORVANTA_DATA_DIR");
    if (!overrideDir.isEmpty())
        roots << overrideDir;
    const QString exeDir = executableFolder();
    roots << exeDir << exeDir + QStringLiteral("/../share/orvanta")
          << exeDir + QStringLiteral("/../lib/orvanta");
    for (const QString& root : roots) {
        const QFileInfo candidate(QDir(root).filePath(relativePath));
        if (candidate.exists())
            return candidate.canonicalFilePath();
    }
    return {};
}
