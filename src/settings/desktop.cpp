#include "settings/desktop.h"

#include "common/datafiles.h"
#include "common/messages.h"
#include "settings/xmlstore.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QString Caption = QStringLiteral("Orvanta");

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

// The value escapes of the desktop entry format (\s \n \t \r \\).
QString unescapeEntryValue(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out.append(c);
            continue;
        }
        const QChar next = value.at(++i);
        switch (next.unicode()) {
        case 's':
            out.append(QLatin1Char(' '));
            break;
        case 'n':
            out.append(QLatin1Char('\n'));
            break;
        case 't':
            out.append(QLatin1Char('\t'));
            break;
        case 'r':
            out.append(QLatin1Char('\r'));
            break;
        default:
            out.append(next);
        }
    }
    return out;
}

// The keys of the "[Desktop Entry]" group, unescaped; localised keys are skipped and the
// first occurrence of a key wins.
QHash<QString, QString> readDesktopEntry(const QString& path) {
    QHash<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return keys;
    }
    bool inEntry = false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inEntry || equals <= 0) {
            continue;
        }
        const QString key = line.left(equals).trimmed();
        if (!key.contains(QLatin1Char('[')) && !keys.contains(key)) {
            keys.insert(key, unescapeEntryValue(line.mid(equals + 1).trimmed()));
        }
    }
    return keys;
}

// Runs a helper program and gives its first output line, or nothing when it cannot run.
QString firstOutputLine(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(5000)) {
        return {};
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(1000);
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput())
        .section(QLatin1Char('\n'), 0, 0)
        .trimmed();
}

QString autostartFile() {
    return getappdatafolder() + QStringLiteral("/autostart/tallisk.desktop");
}

QString programFile() {
    const QString target = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return target.isEmpty() ? QCoreApplication::applicationFilePath() : target;
}

void showError(const QString& text) {
    messages().show(text, Caption, MessageIcon::Error, MessageButtons::Ok);
}

// A file moved to the trash lands in "<trash>/files/", where <trash> is the home trash or a
// per-mount ".Trash-<uid>" or ".Trash/<uid>" folder.
bool isInTrash(const QString& trashedPath, const QString& dataHome) {
    const QFileInfo trashed(trashedPath);
    QDir files = trashed.absoluteDir();
    if (files.dirName() != QLatin1String("files")) {
        return false;
    }
    QDir trash = files;
    if (!trash.cdUp()) {
        return false;
    }
    const QString uid = QString::number(getuid());
    if (!dataHome.isEmpty() &&
        trash.canonicalPath() == QDir(dataHome + QStringLiteral("/Trash")).canonicalPath()) {
        return true;
    }
    if (trash.dirName() == QStringLiteral(".Trash-") + uid) {
        return true;
    }
    QDir shared = trash;
    return trash.dirName() == uid && shared.cdUp() && shared.dirName() == QLatin1String(".Trash");
}

bool processEnded(pid_t pid) {
    if (kill(pid, 0) != 0) {
        return errno == ESRCH;
    }
    // An ended child of ours that nobody has reaped yet still answers kill().
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return true;
    }
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && close + 2 < text.size() && text.at(close + 2) == 'Z';
}

// Asks the process to end, waits, and kills it when the wait runs out. Uses a process
// descriptor where the kernel has them (5.3 and later), which also keeps a reused id from
// being signalled.
void signalAndWait(pid_t pid, uint32_t waitMs) {
    const QDeadlineTimer deadline(static_cast<qint64>(waitMs));
#ifdef SYS_pidfd_open
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        bool ended = false;
        if (syscall(SYS_pidfd_send_signal, pidfd, SIGTERM, nullptr, 0) == 0) {
            for (;;) {
                pollfd descriptor{pidfd, POLLIN, 0};
                const auto remaining =
                    static_cast<int>(std::min<qint64>(deadline.remainingTime(), INT_MAX));
                const int ready = poll(&descriptor, 1, remaining);
                if (ready < 0 && errno == EINTR) {
                    continue;
                }
                ended = ready > 0;
                break;
            }
            if (!ended) {
                syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
            }
        }
        ::close(pidfd);
        return;
    }
    if (errno == ESRCH) {
        return;
    }
#endif
    if (kill(pid, SIGTERM) != 0) {
        return;
    }
    while (!processEnded(pid)) {
        if (deadline.hasExpired()) {
            kill(pid, SIGKILL);
            break;
        }
        QThread::msleep(5);
    }
}

} // namespace

QString getappdatafolder() {
    return cleanFolder(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
}

QString getmusicfolder() {
    return cleanFolder(QStandardPaths::writableLocation(QStandardPaths::MusicLocation));
}

QString getdefaultbrowser() {
    const QString candidates[] = {
        firstOutputLine(QStringLiteral("xdg-settings"),
                        {QStringLiteral("get"), QStringLiteral("default-web-browser")}),
        firstOutputLine(QStringLiteral("xdg-mime"),
                        {QStringLiteral("query"), QStringLiteral("default"),
                         QStringLiteral("x-scheme-handler/https")}),
        firstOutputLine(QStringLiteral("xdg-mime"),
                        {QStringLiteral("query"), QStringLiteral("default"),
                         QStringLiteral("x-scheme-handler/http")}),
    };
    for (const QString& id : candidates) {
        if (!id.endsWith(QLatin1String(".desktop"))) {
            continue;
        }
        const QString entry = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, id);
        if (entry.isEmpty()) {
            continue;
        }
        const QString command = readDesktopEntry(entry).value(QStringLiteral("Exec")).trimmed();
        if (!command.isEmpty()) {
            return command;
        }
    }
    // Where no browser is registered, the desktop's opener still finds whatever handles
    // addresses, so an event's application field is never left empty.
    return QStringLiteral("xdg-open");
}

bool isautostart() {
    const QHash<QString, QString> entry = readDesktopEntry(autostartFile());
    return !entry.value(QStringLiteral("Exec")).trimmed().isEmpty() &&
           entry.value(QStringLiteral("Hidden")) != QLatin1String("true");
}

QString desktopExecValue(const QString& program) {
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\')) {
            quoted.append(QLatin1Char('\\'));
        }
        quoted.append(c);
    }
    quoted.append(QLatin1Char('"'));
    // "%" starts a field code.
    quoted.replace(QLatin1String("%"), QLatin1String("%%"));
    // The value escapes apply on top of the quoting, so a backslash is written twice again.
    QString value;
    for (const QChar c : quoted) {
        switch (c.unicode()) {
        case '\\':
            value.append(QLatin1String("\\\\"));
            break;
        case '\n':
            value.append(QLatin1String("\\n"));
            break;
        case '\t':
            value.append(QLatin1String("\\t"));
            break;
        case '\r':
            value.append(QLatin1String("\\r"));
            break;
        default:
            value.append(c);
        }
    }
    return value;
}

bool setautostart(bool on) {
    const QString path = autostartFile();
    if (!on) {
        if (QFile::exists(path) && !QFile::remove(path)) {
            showError(QStringLiteral("Could not remove the autostart entry \"%1\".").arg(path));
            return false;
        }
        return true;
    }
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Orvanta\n"
                                        "Exec=%1\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(desktopExecValue(programFile()));
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (const QString problem = xmlstore::writeFileAtomically(path, text.toUtf8());
        !problem.isEmpty()) {
        showError(
            QStringLiteral("Could not write the autostart entry \"%1\": %2.").arg(path, problem));
        return false;
    }
    return true;
}

void openhelp(const QString& file, const QString& topic) {
    const QString found = findDataFile(file);
    const QString path = found.isEmpty() ? executableFolder() + QLatin1Char('/') + file : found;
    bool started = false;
    if (!found.isEmpty()) {
        QString target = found;
        if (!topic.isEmpty()) {
            QUrl url = QUrl::fromLocalFile(found);
            url.setFragment(topic);
            target = url.toString(QUrl::FullyEncoded);
        }
        started = QProcess::startDetached(QStringLiteral("xdg-open"), {target});
    }
    if (!started) {
        showError(QStringLiteral("Unable to open help file :") + path);
    }
}

void closeprocess(uint32_t processid, uint32_t wait) {
    // Ids 0 and 1 and those past pid_t's range would reach a whole process group, init or
    // every process; our own id would end the program itself.
    if (processid <= 1 || processid > static_cast<uint32_t>(INT_MAX) ||
        static_cast<pid_t>(processid) == getpid()) {
        return;
    }
    signalAndWait(static_cast<pid_t>(processid), wait);
}

bool DeleteToRecycleBin(const QString& path) {
    const QFileInfo source(path);
    if (!source.exists() && !source.isSymLink()) {
        return false;
    }
    // Qt 6.4 cannot set up the home trash when the data folder (~/.local/share) is missing,
    // as for root on a fresh system; it then puts the file into "files" and "info" folders
    // of the current folder and still reports success. Creating the data folder first lets
    // it use the home trash, and the check below catches any other stray place.
    const QString dataHome =
        cleanFolder(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    if (!dataHome.isEmpty()) {
        QDir().mkpath(dataHome);
    }
    const QString original = source.absoluteFilePath();
    QString trashed;
    if (!QFile::moveToTrash(original, &trashed)) {
        return false;
    }
    if (isInTrash(trashed, dataHome)) {
        return true;
    }
    const QFileInfo stray(trashed);
    QFile::rename(stray.absoluteFilePath(), original);
    QDir top = stray.absoluteDir();
    if (top.cdUp()) {
        QFile::remove(top.filePath(QStringLiteral("info/") + stray.fileName() +
                                   QStringLiteral(".trashinfo")));
        // rmdir only removes the folders when nothing else is in them.
        top.rmdir(QStringLiteral("info"));
        top.rmdir(QStringLiteral("files"));
    }
    return false;
}

QString stripext(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || name.indexOf(QLatin1Char('/'), dot + 1) >= 0) {
        return name;
    }
    return name.left(dot);
}

QString timetext(TDateTime t) {
    // The time of day is the fraction's magnitude, also for moments before 1899-12-30.
    const double fraction = std::isfinite(t) ? std::fabs(t - std::trunc(t)) : 0.0;
    auto ms = static_cast<int64_t>(std::llround(fraction * datetime::MsPerDay));
    ms %= static_cast<int64_t>(datetime::MsPerDay);
    const int64_t seconds = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
