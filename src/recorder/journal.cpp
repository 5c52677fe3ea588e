#include "journal.h"

#include "common/recordinglock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString EntryPattern = QStringLiteral("*.entry");
const QString EntrySuffix = QStringLiteral(".entry");
const QString TempPattern = QStringLiteral(".*.tmp");
const QString TempSuffix = QStringLiteral(".tmp");

// An entry holds a path and a few numbers; anything much larger is not one of ours.
constexpr off_t MaxEntryBytes = 65536;
// A temporary entry is locked the moment after it is created and renamed the moment after
// it is written; one left unlocked for this long belongs to a process that died in between.
constexpr qint64 StaleTempSeconds = 600;

const QString KeyRecording = QStringLiteral("recording");
const QString KeyCodec = QStringLiteral("codec");
const QString KeyPid = QStringLiteral("pid");
const QString KeyBootId = QStringLiteral("bootId");
const QString KeyStarted = QStringLiteral("started");
const QString KeyInode = QStringLiteral("inode");
const QString KeyFailedAttempts = QStringLiteral("failedAttempts");

/// Owns a file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    void reset() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd;
};

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

int openFile(const QByteArray& path, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = ::open(path.constData(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += n;
    }
    return true;
}

QString bootId() {
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.read(64)).trimmed();
}

/// Creates `folder` and any missing parents, private to the user as the XDG base directory
/// rules ask. Empty on success, otherwise the reason.
QString makeFolder(const QString& folder) {
    const QStringList parts = folder.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString path;
    for (const QString& part : parts) {
        path += QLatin1Char('/') + part;
        const QByteArray name = QFile::encodeName(path);
        if (::mkdir(name.constData(), 0700) == 0)
            continue;
        if (errno != EEXIST)
            return QStringLiteral("%1: %2").arg(path, errnoText(errno));
        struct stat info {};
        if (::stat(name.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
            return QStringLiteral("%1 is not a folder").arg(path);
    }
    return {};
}

/// Makes a name just created or removed in `folder` survive a power cut.
void syncFolder(const QString& folder) {
    const Fd dir(openFile(QFile::encodeName(folder), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
}

/// Writes `bytes` to a new temporary file in `folder`, locks it and renames it to `target`,
/// which it replaces. Returns the descriptor that holds the lock; on failure an invalid one
/// with the reason in `error`, and nothing left behind.
Fd writeLockedEntry(const QString& folder, const QString& target, const QByteArray& bytes,
                    QString* error) {
    const QByteArray temp =
        QFile::encodeName(folder + QStringLiteral("/.") +
                          QUuid::createUuid().toString(QUuid::WithoutBraces) + TempSuffix);
    Fd fd(openFile(temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        *error = errnoText(errno);
        return Fd();
    }
    // The lock is taken before the entry can be seen under its final name, so a visible
    // entry that can be locked by someone else never belongs to a live recording. The data
    // are synced first: after a power cut the entry is either whole or absent.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || !writeAll(fd.get(), bytes) ||
        ::fdatasync(fd.get()) != 0 || ::rename(temp.constData(), QFile::encodeName(target)) != 0) {
        *error = errnoText(errno);
        ::unlink(temp.constData());
        return Fd();
    }
    syncFolder(folder);
    return fd;
}

/// True when `fd` is still the file at `path`: another start may have removed or replaced
/// the entry between our open and our lock.
bool isFileAt(int fd, const QByteArray& path) {
    struct stat opened {};
    struct stat there {};
    return ::fstat(fd, &opened) == 0 && ::lstat(path.constData(), &there) == 0 &&
           opened.st_dev == there.st_dev && opened.st_ino == there.st_ino;
}

std::optional<QJsonObject> readEntry(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > MaxEntryBytes)
        return std::nullopt;
    QByteArray bytes(static_cast<qsizetype>(info.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + done, size_t(bytes.size() - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        done += n;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace

JournalEntry::JournalEntry(QString entryFile, QString recording, int fd)
    : m_entryFile(std::move(entryFile)), m_recording(std::move(recording)), m_fd(fd) {}

JournalEntry::~JournalEntry() {
    // Removed before the lock goes: a start looking at the journal meanwhile finds the entry
    // locked or finds none. One that opened it just before sees that it is gone once it has
    // the lock.
    ::unlink(QFile::encodeName(m_entryFile).constData());
    ::close(m_fd);
}

QString RecordingJournal::defaultFolder() {
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // By the XDG base directory rules a relative path is invalid and to be ignored.
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return QDir::cleanPath(base + QStringLiteral("/Velmora/Orvanta/recordings"));
}

RecordingJournal::RecordingJournal(QString folder) : m_folder(QDir::cleanPath(folder)) {}

void RecordingJournal::warnOnce(const QString& what, const QString& reason) {
    if (m_warned)
        return;
    m_warned = true;
    QString program = QCoreApplication::applicationName().toLower();
    if (program.isEmpty())
        program = QStringLiteral("orvanta");
    std::fprintf(stderr,
                 "%s: %s %s (%s). Recording goes on, but should it be interrupted, the file "
                 "will not be repaired at the next start.\n",
                 qUtf8Printable(program), qUtf8Printable(what), qUtf8Printable(m_folder),
                 qUtf8Printable(reason));
    std::fflush(stderr);
}

std::unique_ptr<JournalEntry> RecordingJournal::opened(const QString& recording, int codec) {
    const QString problem = makeFolder(m_folder);
    if (!problem.isEmpty()) {
        warnOnce(QStringLiteral("cannot create the journal of recordings in progress in"), problem);
        return nullptr;
    }
    const QString path = QFileInfo(recording).absoluteFilePath();
    QJsonObject content{
        {KeyRecording, path},
        {KeyCodec, codec},
        {KeyPid, static_cast<qint64>(::getpid())},
        {KeyBootId, bootId()},
        {KeyStarted, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {KeyFailedAttempts, 0},
    };
    // The file's identity tells the repair whether the file at this path later is still
    // this recording. Inode numbers survive a remount, device numbers need not.
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) == 0)
        content.insert(KeyInode, QString::number(static_cast<quint64>(info.st_ino)));

    const QString entryFile = m_folder + QLatin1Char('/') +
                              QUuid::createUuid().toString(QUuid::WithoutBraces) + EntrySuffix;
    QString error;
    Fd fd = writeLockedEntry(m_folder, entryFile,
                             QJsonDocument(content).toJson(QJsonDocument::Indented), &error);
    if (!fd) {
        warnOnce(QStringLiteral("cannot write the journal of recordings in progress in"), error);
        return nullptr;
    }
    return std::unique_ptr<JournalEntry>(new JournalEntry(entryFile, path, fd.release()));
}

QStringList RecordingJournal::entries() const {
    return QDir(m_folder).entryList({EntryPattern}, QDir::Files, QDir::Name);
}

std::vector<RecordingJournal::Abandoned> RecordingJournal::repairAbandoned() {
    std::vector<Abandoned> result;
    const QDir dir(m_folder);
    if (!dir.exists())
        return result;

    // Temporary entries of processes that died between creating and renaming them.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QString& name : dir.entryList({TempPattern}, QDir::Files | QDir::Hidden)) {
        const QByteArray path = QFile::encodeName(m_folder + QLatin1Char('/') + name);
        const Fd fd(openFile(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat info {};
        if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(fd.get(), &info) == 0 &&
            isFileAt(fd.get(), path)) {
            const qint64 age = now.toSecsSinceEpoch() - static_cast<qint64>(info.st_mtime);
            if (age > StaleTempSeconds)
                ::unlink(path.constData());
        }
    }

    // First every entry is looked at: the locked ones name the files being recorded now,
    // which no abandoned entry may lead us to touch (a path can be used again once the
    // interrupted file has been deleted). The abandoned ones stay locked by us until dealt
    // with, so two programs starting together never repair one file at the same time.
    struct Candidate {
        QString entryFile;
        Fd fd;
        std::optional<QJsonObject> content;
    };
    QSet<QString> live;
    std::vector<Candidate> abandoned;
    for (const QString& name : entries()) {
        const QString entryFile = m_folder + QLatin1Char('/') + name;
        const QByteArray path = QFile::encodeName(entryFile);
        Fd fd(openFile(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!fd)
            continue; // finished meanwhile, or not a file of ours
        const bool free = ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
        std::optional<QJsonObject> content = readEntry(fd.get());
        if (!free) {
            if (content)
                live.insert(content->value(KeyRecording).toString());
            continue;
        }
        if (!isFileAt(fd.get(), path))
            continue;
        abandoned.push_back({entryFile, std::move(fd), std::move(content)});
    }

    for (Candidate& candidate : abandoned) {
        const QByteArray entryPath = QFile::encodeName(candidate.entryFile);
        const QString recording =
            candidate.content ? candidate.content->value(KeyRecording).toString() : QString();
        if (recording.isEmpty() || !QDir::isAbsolutePath(recording)) {
            // An entry that cannot be read names no file: there is nothing to repair.
            ::unlink(entryPath.constData());
            continue;
        }
        QJsonObject& content = *candidate.content;
        Abandoned item;
        item.recording = recording;
        const QByteArray file = QFile::encodeName(recording);
        struct stat info {};
        bool ok = false;
        const quint64 inode = content.value(KeyInode).toString().toULongLong(&ok);
        if (live.contains(recording)) {
            item.outcome = RepairOutcome::Unchanged;
            item.detail = QStringLiteral("the file is being recorded again by a running program");
        } else if (::stat(file.constData(), &info) != 0) {
            const int error = errno;
            if (error == ENOENT && QFileInfo(QFileInfo(recording).absolutePath()).isDir()) {
                item.outcome = RepairOutcome::Missing;
            } else {
                // Most likely a disk that is not mounted now: it may be back next time.
                item.outcome = RepairOutcome::Failed;
                item.detail = error == ENOENT ? QStringLiteral("its folder %1 is not available")
                                                    .arg(QFileInfo(recording).absolutePath())
                                              : errnoText(error);
            }
        } else if (!S_ISREG(info.st_mode) || (ok && static_cast<quint64>(info.st_ino) != inode)) {
            // Deleted and replaced by another file since: the interrupted recording is gone,
            // and the file there now is none of our business.
            item.outcome = RepairOutcome::Missing;
            item.detail = QStringLiteral("the file was replaced by another one");
        } else {
            // The repair holds the recording's lock while it mends the file, as a writer does:
            // the browsers leave the file alone meanwhile, and a file that a recorder has
            // opened again since (its lock taken, its entry not yet seen above) is not touched.
            // A file that cannot be opened for writing (a read-only disk) cannot be changed by
            // anyone; the repair then only reads it and says what it could not put right.
            RecordingLock lock;
            if (lock.acquire(recording, RecordingLock::Create::No) == RecordingLock::Result::Busy) {
                item.outcome = RepairOutcome::Unchanged;
                item.detail =
                    QStringLiteral("the file is being recorded again by a running program");
            } else {
                item.outcome = repairRecording(recording, &item.detail);
            }
        }

        if (item.outcome == RepairOutcome::Failed) {
            item.failedAttempts = content.value(KeyFailedAttempts).toInt() + 1;
            const QDateTime started =
                QDateTime::fromString(content.value(KeyStarted).toString(), Qt::ISODateWithMs);
            const bool expired = !started.isValid() || started.daysTo(now) > KeepDays;
            if (item.failedAttempts < MaxAttempts && !expired) {
                // The count goes into the entry, so that the user hears of the failure once
                // and the attempts end. Rewritten whole, like any entry.
                content.insert(KeyFailedAttempts, item.failedAttempts);
                QString error;
                item.kept = static_cast<bool>(writeLockedEntry(
                    m_folder, candidate.entryFile, QJsonDocument(content).toJson(), &error));
            }
        }
        if (!item.kept)
            ::unlink(entryPath.constData());
        result.push_back(std::move(item));
    }
    if (!abandoned.empty())
        syncFolder(m_folder);
    return result;
}
