#include "filecommands.h"

#include "common/filename.h"

#include <QByteArray>
#include <QDateTime>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    // Closes now, for the close's own error: a write may only fail here (NFS).
    int close() {
        const int result = ::close(fd);
        fd = -1;
        return result;
    }
};

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            if (put == 0)
                errno = EIO;
            return false;
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

// 0, or the errno value of the failure.
int renameBytesNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the no-replace flag: test first, the best it allows.
    struct stat existing;
    if (::lstat(to.constData(), &existing) == 0)
        return EEXIST;
    return std::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

// A folder of the trash: made (only for us) when missing.
bool makeFolder(const QByteArray& path) {
    return ::mkdir(path.constData(), 0700) == 0 || errno == EEXIST;
}

bool makePath(const QByteArray& path) {
    for (qsizetype slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1)) {
        if (!makeFolder(path.left(slash)))
            return false;
    }
    return makeFolder(path);
}

bool isOwnFolder(const QByteArray& path, bool privateToUs) {
    struct stat info;
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && (!privateToUs || (info.st_mode & 0777) == 0700);
}

// The top folder of the file system that `absolute` lies on: its mount point.
QByteArray fileSystemTop(const QByteArray& absolute, dev_t device) {
    QByteArray top = absolute.left(absolute.lastIndexOf('/'));
    while (!top.isEmpty()) {
        const QByteArray parent = top.left(top.lastIndexOf('/'));
        struct stat info;
        if (::stat(parent.isEmpty() ? "/" : parent.constData(), &info) != 0 ||
            info.st_dev != device)
            break;
        top = parent;
    }
    return top.isEmpty() ? QByteArrayLiteral("/") : top;
}

// The trash for a file on `device`; empty, with `*error` set, when there is none.
QByteArray trashFor(const QByteArray& absolute, dev_t device, QString* error) {
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QByteArray home = fileNameBytes(dataHome) + "/Trash";
    struct stat info;
    if (!dataHome.isEmpty() && makePath(home) && ::stat(home.constData(), &info) == 0 &&
        info.st_dev == device)
        return home;
    // A file elsewhere goes to the trash of its own file system, so that it is moved, never
    // copied: first the administrator's shared one (a real folder with the sticky bit)...
    QByteArray top = fileSystemTop(absolute, device);
    if (top.endsWith('/'))
        top.chop(1);
    const QByteArray uid = QByteArray::number(::getuid());
    const QByteArray shared = top + "/.Trash";
    if (::lstat(shared.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        (info.st_mode & S_ISVTX) != 0) {
        const QByteArray mine = shared + '/' + uid;
        if (makeFolder(mine) && isOwnFolder(mine, false))
            return mine;
    }
    // ...else one of the user's own.
    const QByteArray own = top + "/.Trash-" + uid;
    if (makeFolder(own) && isOwnFolder(own, true))
        return own;
    *error = QStringLiteral("there is no trash on the file system of this file");
    return {};
}

// "take.mp3", "take.2.mp3", "take.3.mp3"...: the extension stays last, for file managers.
QByteArray trashedName(const QByteArray& name, int attempt) {
    if (attempt == 1)
        return name;
    const qsizetype dot = name.lastIndexOf('.');
    const QByteArray number = '.' + QByteArray::number(attempt);
    return dot > 0 ? name.left(dot) + number + name.mid(dot) : name + number;
}

} // namespace

bool fileExists(const QString& path) {
    struct stat info;
    return ::stat(fileNameBytes(path).constData(), &info) == 0;
}

bool renameNoReplace(const QString& from, const QString& to, QString* error) {
    const int code = renameBytesNoReplace(fileNameBytes(from), fileNameBytes(to));
    if (code == 0)
        return true;
    *error =
        code == EEXIST ? QStringLiteral("a file with that name already exists") : systemError(code);
    return false;
}

CopyResult copyFileKeepingDate(const QString& source, const QString& target, QString* error) {
    const QByteArray to = fileNameBytes(target);
    const auto fail = [error](int code) {
        *error = systemError(code);
        return CopyResult::Failed;
    };
    FileDescriptor in{::open(fileNameBytes(source).constData(), O_RDONLY | O_CLOEXEC)};
    struct stat sourceInfo;
    if (in.fd < 0 || ::fstat(in.fd, &sourceInfo) != 0)
        return fail(errno);
    struct stat targetInfo;
    const bool targetExists = ::stat(to.constData(), &targetInfo) == 0;
    if (targetExists && targetInfo.st_dev == sourceInfo.st_dev &&
        targetInfo.st_ino == sourceInfo.st_ino)
        return CopyResult::SameFile;

    // Written beside the target under a name the listing skips, then renamed over it.
    QByteArray part;
    FileDescriptor out;
    for (int attempt = 0; out.fd < 0; ++attempt) {
        part = to + ".part-" + QByteArray::number(QRandomGenerator::global()->generate(), 16);
        out.fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out.fd < 0 && (errno != EEXIST || attempt >= 100))
            return fail(errno);
    }
    const auto abandon = [&](int code) {
        out.close();
        ::unlink(part.constData());
        return fail(code);
    };
    if (targetExists && ::fchmod(out.fd, targetInfo.st_mode & 07777) != 0)
        return abandon(errno);
    std::vector<char> buffer(size_t{1} << 20);
    for (;;) {
        const ssize_t got = ::read(in.fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return abandon(errno);
        if (got == 0)
            break;
        if (!writeAll(out.fd, buffer.data(), static_cast<size_t>(got)))
            return abandon(errno);
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, sourceInfo.st_mtim};
    if (::futimens(out.fd, times) != 0 || ::fsync(out.fd) != 0)
        return abandon(errno);
    if (out.close() != 0) {
        const int code = errno;
        ::unlink(part.constData());
        return fail(code);
    }
    if (::rename(part.constData(), to.constData()) != 0) {
        const int code = errno;
        ::unlink(part.constData());
        return fail(code);
    }
    return CopyResult::Copied;
}

bool moveToTrash(const QString& path, QString* error) {
    // Only the text is made absolute here; nothing is looked up under the Qt name.
    const QByteArray source = fileNameBytes(QFileInfo(path).absoluteFilePath());
    struct stat info;
    if (::lstat(source.constData(), &info) != 0) {
        *error = systemError(errno);
        return false;
    }
    const QByteArray trash = trashFor(source, info.st_dev, error);
    if (trash.isEmpty())
        return false;
    if (!makeFolder(trash + "/files") || !makeFolder(trash + "/info")) {
        *error = systemError(errno);
        return false;
    }
    const QByteArray record =
        "[Trash Info]\nPath=" + source.toPercentEncoding("/") + "\nDeletionDate=" +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toLatin1() +
        '\n';
    const QByteArray name = source.mid(source.lastIndexOf('/') + 1);
    for (int attempt = 1;; ++attempt) {
        const QByteArray trashed = trashedName(name, attempt);
        // The info file is created first and exclusively: it reserves the name.
        const QByteArray infoPath = trash + "/info/" + trashed + ".trashinfo";
        FileDescriptor infoFile{
            ::open(infoPath.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
        if (infoFile.fd < 0) {
            if (errno == EEXIST && attempt < 10000)
                continue;
            *error = systemError(errno);
            return false;
        }
        int code = writeAll(infoFile.fd, record.constData(), size_t(record.size())) ? 0 : errno;
        if (code == 0 && infoFile.close() != 0)
            code = errno;
        if (code == 0)
            code = renameBytesNoReplace(source, trash + "/files/" + trashed);
        if (code == 0)
            return true;
        ::unlink(infoPath.constData());
        // A file in the trash under that name without its info file: the next name.
        if (code == EEXIST && attempt < 10000)
            continue;
        *error = systemError(code);
        return false;
    }
}
