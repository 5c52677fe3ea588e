#pragma once

#include <QString>

/// The lock that marks a file as being recorded: a write lock over the whole file, taken as an
/// open file description lock (F_OFD_SETLK) on a descriptor of its own, held by the writer from
/// before it empties the file until the file is finished. Every program of ours takes the same
/// lock, so a recording made by one is protected from the others (the window program's browser,
/// orvanta-rec, the repair at start). Such locks conflict between open file descriptions, so
/// this holds within one process too; the kernel drops the lock when the holder dies, however
/// it dies. Testing the lock (F_OFD_GETLK) takes nothing, so a browser that looks can never
/// make a writer fail to start.
///
/// Not copyable; movable. Any thread, one at a time per object.
class RecordingLock {
public:
    RecordingLock() = default;
    ~RecordingLock() { release(); }
    RecordingLock(RecordingLock&& other) noexcept;
    RecordingLock& operator=(RecordingLock&& other) noexcept;
    RecordingLock(const RecordingLock&) = delete;
    RecordingLock& operator=(const RecordingLock&) = delete;

    enum class Result {
        Locked, ///< the lock is ours
        Busy,   ///< another writer (or the repair) holds it: the file is being recorded
        Failed, ///< the file could not be opened or locked; errorText() tells why
    };

    enum class Create { Yes, No };

    /// Takes the lock on `path` without waiting, creating the file (empty) when it does not
    /// exist and `create` allows it. Releases a lock held before.
    Result acquire(const QString& path, Create create = Create::Yes);
    /// Gives the lock up (nothing when none is held).
    void release();
    bool held() const { return m_fd >= 0; }
    /// The system's text for the last failure of acquire().
    QString errorText() const;

    /// True while another descriptor holds the lock on `path`: a recorder is writing the file
    /// or the repair is mending it. False when it is free or the file cannot be opened.
    static bool isBeingRecorded(const QString& path);

private:
    int m_fd = -1;
    int m_errno = 0;
};
