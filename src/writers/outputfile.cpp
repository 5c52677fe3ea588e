#include "outputfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

bool OutputFile::create(const QString& path) {
    close();
    const QByteArray name = QFile::encodeName(path);
    do {
        m_fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) {
        m_errno = errno;
        return false;
    }
    m_size = 0;
    return true;
}

size_t OutputFile::write(const void* data, size_t size) {
    if (m_fd < 0)
        return 0;
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_errno = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    m_size += static_cast<int64_t>(done);
    return done;
}

bool OutputFile::truncate(int64_t size) {
    if (m_fd < 0 || size < 0 || size > m_size)
        return false;
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0 ||
        ::lseek(m_fd, static_cast<off_t>(size), SEEK_SET) < 0) {
        m_errno = errno;
        return false;
    }
    m_size = size;
    return true;
}

bool OutputFile::close() {
    if (m_fd < 0)
        return true;
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    const int result = ::close(m_fd);
    m_fd = -1;
    if (result != 0 && errno != EINTR) {
        m_errno = errno;
        return false;
    }
    return true;
}

QString OutputFile::errorText() const {
    return QString::fromLocal8Bit(std::strerror(m_errno));
}
