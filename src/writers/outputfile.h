#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

/// An output file written from the start, the way the encoded writers need it: created anew,
/// appended to, and cut back to an earlier length after a refused write so that a file never
/// ends in a partial frame or page. Closed by the destructor. One thread at a time.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { close(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    /// Creates or truncates `path`. False on failure, with errorText() telling why.
    bool create(const QString& path);
    bool isOpen() const { return m_fd >= 0; }
    /// The open descriptor, -1 when closed.
    int descriptor() const { return m_fd; }

    /// Writes all `size` bytes unless the file refuses them; returns how many went in.
    size_t write(const void* data, size_t size);
    /// Bytes in the file so far.
    int64_t size() const { return m_size; }
    /// Cuts the file back to `size` bytes (not more than it has).
    bool truncate(int64_t size);
    /// Closes the file; false when the system reported a failure (errorText() tells it).
    bool close();

    /// The system's text for the last failure.
    QString errorText() const;

private:
    int m_fd = -1;
    int64_t m_size = 0;
    int m_errno = 0;
};
