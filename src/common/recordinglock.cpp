#include "recordinglock.h"

#include "common/filename.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int openFile(const QByteArray& name, int flags) {
    int fd = -1;
    do {
        fd = ::open(name.constData(), flags | O_CLOEXEC | O_NOCTTY, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

struct flock wholeFile(short type) {
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 0; // to the end, however far the file grows
    return range;
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

RecordingLock::Result RecordingLock::acquire(const QString& path, Create create) {
    release();
    // A write lock needs a descriptor open for writing; the file is not emptied here.
    const int fd = openFile(fileNameBytes(path), O_WRONLY | (create == Create::Yes ? O_CREAT : 0));
    if (fd < 0) {
        m_errno = errno;
        return Result::Failed;
    }
    // Only a regular file can be a recording that a browser might touch; a device such as
    // /dev/full or a pipe is shared by everyone and locking it would only get in the way.
    struct stat info {};
    if (::fstat(fd, &info) == 0 && !S_ISREG(info.st_mode)) {
        m_fd = fd;
        return Result::Locked;
    }
    struct flock range = wholeFile(F_WRLCK);
    int result = 0;
    do {
        result = ::fcntl(fd, F_OFD_SETLK, &range);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        m_errno = errno;
        ::close(fd);
        return m_errno == EAGAIN || m_errno == EACCES ? Result::Busy : Result::Failed;
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
    const QByteArray name = fileNameBytes(path);
    int fd = openFile(name, O_RDONLY);
    if (fd < 0 && errno == EACCES)
        fd = openFile(name, O_WRONLY);
    if (fd < 0)
        return false;
    struct flock probe = wholeFile(F_WRLCK);
    const bool locked = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return locked;
}
