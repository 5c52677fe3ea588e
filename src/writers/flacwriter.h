#pragma once

#include "audiowriter.h"
#include "codecbinding.h"
#include "common/waveformat.h"
#include "durablesync.h"

#include <QCryptographicHash>

#include <cstdint>
#include <memory>
#include <vector>

/// Writes a FLAC file through libFLAC's stream encoder (bound at run time) at compression level
/// `config.flaclevel`. Every frame libFLAC encodes goes straight to the file, unbuffered. A
/// frame the disk refuses (a full disk) is cut off again and STREAMINFO is completed for the
/// whole frames before it (sample count, frame sizes, MD5), so the file stays a complete FLAC
/// file. The file is synced in the background about once a second of audio, so that a crash
/// or power cut loses at most about the last second. Window thread only; no locking.
class TFLACwriter final : public TAudioWriter {
public:
    /// Creates the file and initialises the encoder. Throws std::runtime_error when libFLAC is
    /// missing, or "Can not initialize FLAC encoder. Error code: <8 hex digits>", followed by
    /// the system's reason when the file could not be created or written. `api` replaces the
    /// loaded libFLAC entry points (for tests); null uses the binding.
    TFLACwriter(const QString& filename, const tWAVEFORMATEX& pcm, const FlacApi* api = nullptr);
    /// Finishes the file (close()) when nobody did. Never throws.
    ~TFLACwriter() override;

    /// Always returns 0: the encoder reports no byte counts. Throws with libFLAC's state text
    /// and the system's reason when the encoder fails (a full disk, say); the file then ends
    /// with the whole frames written before, and every later call throws too. Throws with the
    /// disk's complaint when the background sync failed.
    int32_t write(const void* P, uint32_t size) override;

    /// Converts `count` little-endian samples of `bitsPerSample` bits (8 unsigned, 16 and 24
    /// signed) to the 32-bit integers libFLAC takes. Other sizes are not defined; they give 0.
    static void convertSamples(const uint8_t* in, size_t count, uint16_t bitsPerSample,
                               int32_t* out);

    /// The codec table's factory.
    static std::unique_ptr<TAudioWriter> create(const QString& filename, const tWAVEFORMATEX& pcm);

private:
    /// Finishes the stream (libFLAC completes STREAMINFO), deletes the encoder and closes the
    /// file.
    QString finishFile() override;
    struct EncoderDeleter {
        const FlacApi* api = nullptr;
        void operator()(FLAC__StreamEncoder* encoder) const;
    };
    struct FileCloser {
        int fd = -1;
        ~FileCloser();
    };

    // libFLAC's stream callbacks; `client` is the writer. They never throw.
    static FLAC__StreamEncoderWriteStatus writeCallback(const FLAC__StreamEncoder*,
                                                        const FLAC__byte buffer[], size_t bytes,
                                                        uint32_t samples, uint32_t frame,
                                                        void* client);
    static FLAC__StreamEncoderSeekStatus seekCallback(const FLAC__StreamEncoder*, FLAC__uint64 to,
                                                      void* client);
    static FLAC__StreamEncoderTellStatus tellCallback(const FLAC__StreamEncoder*,
                                                      FLAC__uint64* position, void* client);
    /// Writes `bytes` at the current position; `samples` > 0 marks an audio frame.
    bool writeBytes(const uint8_t* data, size_t bytes, uint32_t samples) noexcept;
    /// After a refused frame: cuts the file back to `end` and completes STREAMINFO for the
    /// whole frames.
    void sealAt(int64_t end) noexcept;
    /// Throws the message for a failed encoder or a refused frame.
    [[noreturn]] void failWrite();
    QString systemError() const;

    FlacApi m_api;
    tWAVEFORMATEX m_pcm;
    // Declared before the encoder, whose deleter may still write through the callbacks.
    FileCloser m_file;
    int64_t m_position = 0;
    int m_errno = 0; ///< of the last failed write, 0 when none failed
    /// The whole frames in the file: their samples, sizes and MD5 (kept because libFLAC's own
    /// also counts the frame the disk refused).
    uint64_t m_samplesInFile = 0;
    uint32_t m_minFrame = 0;
    uint32_t m_maxFrame = 0;
    QCryptographicHash m_md5{QCryptographicHash::Md5};
    /// Input not yet in a written frame, in the form the MD5 takes (signed 8-bit samples);
    /// the first `m_hashed` bytes are hashed already. Its capacity is kept between blocks.
    std::vector<uint8_t> m_unhashed;
    size_t m_hashed = 0;
    std::unique_ptr<FLAC__StreamEncoder, EncoderDeleter> encoder;
    /// The converted samples of one block; kept between calls so that steady blocks allocate
    /// nothing.
    std::vector<int32_t> m_samples;
    DurableSync m_sync;
};
