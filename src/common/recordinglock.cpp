#include "recordinglock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int openForLock(const QByteArray& name, int extraFlags) {
    int fd = -1;
    // Read access is enough for flock(); a file its owner may write but not read is still
    // lockable through a write-only descriptor.
    for (const int mode : {O_RDONLY, O_WRONLY}) {
        do {
            fd = ::open(name.constData(), mode | extraFlags | O_CLOEXEC | O_NOCTTY, 0644);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EACCES)
            break;
    }
    return fd;
}

int lockNow(int fd, int operation) {
    int result = 0;
    do {
        result = ::flock(fd, operation | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result;
}

} // namespace

RecordingLock::RecordingLock(RecordingLock&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_errno(other.m_errno) {}

RecordingLock& RecordingLock::operator=(RecordingLock&& other) noexcept {
    if (this != &other) {
        release();
        m_fd = std::exchange(other.m_fd, -1);
        m_errno = other.m_errno;
    }
    return *this;
}

RecordingLock::Result RecordingLock::acquire(const QString& path) {
    release();
    const int fd = openForLock(QFile::encodeName(path), O_CREAT);
    if (fd < 0) {
        m_errno = errno;
        return Result::Failed;
    }
    if (lockNow(fd, LOCK_EX) != 0) {
        m_errno = errno;
        ::close(fd);
        return m_errno == EWOULDBLOCK ? Result::Busy : Result::Failed;
    }
    m_fd = fd;
    return Result::Locked;
}

void RecordingLock::release() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

QString RecordingLock::errorText() const {
    return QString::fromLocal8Bit(std::strerror(m_errno));
}

bool RecordingLock::isBeingRecorded(const QString& path) {
    const int fd = openForLock(QFile::encodeName(path), 0);
    if (fd < 0)
        return false;
    const bool busy = lockNow(fd, LOCK_SH) != 0 && errno == EWOULDBLOCK;
    ::close(fd); // also drops the shared lock, if it was taken
    return busy;
}
