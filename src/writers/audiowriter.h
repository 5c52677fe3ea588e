#pragma once

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
/// destroyed to finish the file. All on the window thread; no locking.
class TAudioWriter {
public:
    explicit TAudioWriter(const QString& filename) : fname(filename) {}
    /// Derived destructors finish the file; then onFinished, when set, is called.
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

    const QString& filename() const { return fname; }

    TFinished onFinished;

protected:
    QString fname;
};
