#pragma once

#include "common/recordinglock.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <stdexcept>

/// A writer failure that carries a numeric code besides its message.
class EMakerError : public std::runtime_error {
public:
    EMakerError(const QString& msg, int32_t errorCode)
        : std::runtime_error(msg.toStdString()), FErrorCode(errorCode) {}
    int32_t ErrorCode() const { return FErrorCode; }

private:
    int32_t FErrorCode;
};

class TAudioWriter;
using TFinished = std::function<void(TAudioWriter& sender, QString filename)>;

/// Writes one output file. Created with the full output path (the constructor creates the
/// file or throws a std::exception whose message the recorder shows), fed with write(),
/// finished by close() or, when nobody asks how that went, by the destructor. From before the
/// file is emptied until it is finished the writer holds its RecordingLock, so no other program
/// of ours changes the file meanwhile. All on the window thread; no locking.
class TAudioWriter {
public:
    explicit TAudioWriter(const QString& filename) : fname(filename) {}
    /// Derived destructors finish the file (through close()); then onFinished, when set, is
    /// called.
    virtual ~TAudioWriter();

    TAudioWriter(const TAudioWriter&) = delete;
    TAudioWriter& operator=(const TAudioWriter&) = delete;

    /// Takes `size` bytes (a whole number of frames, never 0) of 16-bit interleaved PCM in
    /// the recorder's format. Returns the bytes this call wrote to the file (0 when the
    /// encoder produced nothing), or -1 on an encoder error; throws when the file cannot
    /// be written.
    virtual int32_t write(const void* P, uint32_t size) = 0;

    /// The most data bytes the file format can hold (0: no limit). The recorder continues
    /// in a new part before a file would pass it.
    virtual uint64_t maxDataBytes() const { return 0; }
    /// Bytes accepted by write() but not yet in the file (they are written at the latest
    /// when the writer is destroyed).
    virtual uint64_t pendingBytes() const { return 0; }

    /// Finishes the file: writes what is still buffered, completes its headers and makes it
    /// durable, then gives up the recording lock. Returns empty, or why the file could not be
    /// finished completely (a sentence that does not name the file); it keeps whatever was written.
    /// Later calls return the first call's result; write() must not be called after it. Never
    /// throws.
    QString close();

    /// Whether any audio reached the file (headers alone do not count). A file that failed
    /// before it held any is no recording.
    bool holdsAudio() const { return m_holdsAudio; }

    /// The name the writer was created with.
    const QString& filename() const { return fname; }
    /// The file actually written, which a writer may derive from filename().
    virtual const QString& outputName() const { return fname; }

    TFinished onFinished;

protected:
    /// Finishes the file, once, for close(); returns what close() returns. Derived destructors
    /// call close(), so a file is finished however the writer goes.
    virtual QString finishFile() { return {}; }
    /// Takes the recording lock on `path` before the writer empties it. Throws EMakerError
    /// (code -1) when another recorder is writing that file.
    void lockOutput(const QString& path);
    /// Derived writers call this once audio data is in the file.
    void audioReachedFile() { m_holdsAudio = true; }

    QString fname;

private:
    RecordingLock m_lock;
    bool m_closed = false;
    bool m_holdsAudio = false;
    QString m_closeResult;
};
