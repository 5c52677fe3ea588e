#include "checkedstream.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr long long MoveChunk = 1 << 20;

} // namespace

CheckedStream::CheckedStream(std::string path) : m_path(std::move(path)) {
    m_fd = ::open(m_path.c_str(), O_RDWR | O_CLOEXEC);
    if (m_fd >= 0) {
        m_readOnly = false;
        return;
    }
    m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
}

CheckedStream::~CheckedStream() {
    if (m_fd >= 0)
        ::close(m_fd);
}

TagLib::FileName CheckedStream::name() const {
    return m_path.c_str();
}

bool CheckedStream::readAt(long long offset, char* buffer, long long size) {
    long long done = 0;
    while (done < size) {
        const ssize_t got = ::pread(m_fd, buffer + done, static_cast<size_t>(size - done),
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}

bool CheckedStream::writeAt(long long offset, const char* data, long long size) {
    if (m_readOnly || m_fd < 0 || offset < 0)
        return false;
    m_length = -1; // even a failed write may have grown the file
    long long done = 0;
    while (done < size) {
        const ssize_t put = ::pwrite(m_fd, data + done, static_cast<size_t>(size - done),
                                     static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += put;
    }
    return true;
}

TagLib::ByteVector CheckedStream::readBlock(StreamSize length) {
    if (m_fd < 0 || length == 0)
        return {};
    const long long size = static_cast<long long>(length);
    const long long available = this->length() - m_position;
    const long long wanted = size < available ? size : available;
    if (wanted <= 0)
        return {};
    TagLib::ByteVector block(static_cast<unsigned int>(wanted), '\0');
    long long done = 0;
    while (done < wanted) {
        const ssize_t got = ::pread(m_fd, block.data() + done, static_cast<size_t>(wanted - done),
                                    static_cast<off_t>(m_position + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += got;
    }
    block.resize(static_cast<unsigned int>(done));
    m_position += done;
    return block;
}

void CheckedStream::writeBlock(const TagLib::ByteVector& data) {
    if (!writeAt(m_position, data.data(), data.size())) {
        m_failed = true;
        return;
    }
    m_position += data.size();
}

bool CheckedStream::moveTail(long long from, long long end, long long shift) {
    if (from >= end || shift == 0)
        return true;
    std::vector<char> buffer(static_cast<size_t>(std::min(MoveChunk, end - from)));
    if (shift > 0) {
        // Backwards from the end, so that nothing is overwritten before it has been moved
        // and the first write is the one that grows the file.
        for (long long stop = end; stop > from;) {
            const long long size = std::min(MoveChunk, stop - from);
            if (!readAt(stop - size, buffer.data(), size) ||
                !writeAt(stop - size + shift, buffer.data(), size))
                return false;
            stop -= size;
        }
    } else {
        for (long long at = from; at < end;) {
            const long long size = std::min(MoveChunk, end - at);
            if (!readAt(at, buffer.data(), size) || !writeAt(at + shift, buffer.data(), size))
                return false;
            at += size;
        }
    }
    return true;
}

void CheckedStream::insert(const TagLib::ByteVector& data, StreamStart start, StreamSize replace) {
    const auto begin = static_cast<long long>(start);
    if (m_readOnly || m_fd < 0 || begin < 0) {
        m_failed = true;
        return;
    }
    const long long fileLength = length();
    long long replaced = static_cast<long long>(replace);
    if (begin >= fileLength)
        replaced = 0;
    else if (begin + replaced > fileLength)
        replaced = fileLength - begin;
    const long long shift = static_cast<long long>(data.size()) - replaced;
    bool ok = true;
    if (shift > 0)
        ok = moveTail(begin + replaced, fileLength, shift);
    ok = ok && writeAt(begin, data.data(), data.size());
    if (ok && shift < 0) {
        ok = moveTail(begin + replaced, fileLength, shift) &&
             ::ftruncate(m_fd, static_cast<off_t>(fileLength + shift)) == 0;
        m_length = -1;
    }
    if (!ok)
        m_failed = true;
    m_position = begin + data.size();
}

void CheckedStream::removeBlock(StreamStart start, StreamSize length) {
    insert(TagLib::ByteVector(), start, length);
}

bool CheckedStream::readOnly() const {
    return m_readOnly;
}

bool CheckedStream::isOpen() const {
    return m_fd >= 0;
}

void CheckedStream::seek(StreamOffset offset, Position p) {
    long long base = 0;
    if (p == Current)
        base = m_position;
    else if (p == End)
        base = length();
    const long long target = base + offset;
    m_position = target < 0 ? 0 : target;
}

void CheckedStream::clear() {}

StreamOffset CheckedStream::tell() const {
    return static_cast<StreamOffset>(m_position);
}

StreamOffset CheckedStream::length() {
    // TagLib asks for the length at nearly every read; only our own writes change it.
    if (m_length < 0) {
        struct stat info {};
        if (m_fd < 0 || ::fstat(m_fd, &info) != 0)
            return 0;
        m_length = static_cast<long long>(info.st_size);
    }
    return static_cast<StreamOffset>(m_length);
}

void CheckedStream::truncate(StreamOffset length) {
    m_length = -1;
    if (m_readOnly || m_fd < 0 || length < 0 || ::ftruncate(m_fd, static_cast<off_t>(length)) != 0)
        m_failed = true;
}
