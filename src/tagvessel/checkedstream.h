#pragma once

#include <taglib/taglib.h>
#include <taglib/tiostream.h>

#include <string>

// TagLib 2 widened the offsets and sizes of IOStream.
#if TAGLIB_MAJOR_VERSION >= 2
using StreamOffset = TagLib::offset_t;
using StreamStart = TagLib::offset_t;
using StreamSize = size_t;
#else
using StreamOffset = long;
using StreamStart = unsigned long;
using StreamSize = unsigned long;
#endif

/// A file stream for TagLib that remembers every failed write. TagLib's own file stream drops
/// the result of each write, so a full disk during a save would be reported as success; the
/// save routine asks failed() instead. Writes go straight to the descriptor (no buffering), so
/// a failure is seen at the write that caused it. When a block is inserted, the tail of the
/// file is moved from the end backwards, so the first write to fail is the one that would
/// have grown the file and the old contents are still intact. The file is assumed not to be
/// changed by others while the stream is open (its length is kept). One thread at a time.
class CheckedStream final : public TagLib::IOStream {
public:
    /// Opens `path` (UTF-8) for reading and writing, or read-only where writing is refused.
    explicit CheckedStream(std::string path);
    ~CheckedStream() override;

    TagLib::FileName name() const override;
    TagLib::ByteVector readBlock(StreamSize length) override;
    void writeBlock(const TagLib::ByteVector& data) override;
    void insert(const TagLib::ByteVector& data, StreamStart start = 0,
                StreamSize replace = 0) override;
    void removeBlock(StreamStart start = 0, StreamSize length = 0) override;
    bool readOnly() const override;
    bool isOpen() const override;
    void seek(StreamOffset offset, Position p = Beginning) override;
    void clear() override;
    StreamOffset tell() const override;
    StreamOffset length() override;
    void truncate(StreamOffset length) override;

    /// True when a write, move or truncation failed since the last resetFailure().
    bool failed() const { return m_failed; }
    void resetFailure() { m_failed = false; }

private:
    bool readAt(long long offset, char* buffer, long long size);
    bool writeAt(long long offset, const char* data, long long size);
    /// Moves the bytes [from, end) by `shift` (positive: towards the end).
    bool moveTail(long long from, long long end, long long shift);

    std::string m_path;
    int m_fd = -1;
    bool m_readOnly = true;
    bool m_failed = false;
    long long m_position = 0;
    long long m_length = -1; ///< the file's length, -1 until asked after a change
};
