#pragma once

#include "audiowriter.h"
#include "codecbinding.h"
#include "common/waveformat.h"
#include "durablesync.h"

#include <cstdint>
#include <memory>
#include <vector>

/// Writes a FLAC file through libFLAC's stream encoder (bound at run time) at compression level
/// `config.flaclevel`; libFLAC writes the file itself, through an unbuffered stream so that
/// every frame reaches the file as it is encoded. The file is synced in the background about
/// once a second of audio, so that a crash or power cut loses at most about the last second.
/// Window thread only; no locking.
class TFLACwriter final : public TAudioWriter {
public:
    /// Initialises the encoder, which creates the file. Throws std::runtime_error when libFLAC
    /// is missing, or "Can not initialize FLAC encoder. Error code: <8 hex digits>". `api`
    /// replaces the loaded libFLAC entry points (for tests); null uses the binding.
    TFLACwriter(const QString& filename, const tWAVEFORMATEX& pcm, const FlacApi* api = nullptr);
    /// Finishes the file (close()) when nobody did. Never throws.
    ~TFLACwriter() override;

    /// Always returns 0: the encoder reports no byte counts. Throws with libFLAC's state text
    /// when the encoder fails (a full disk, say); the frames written before stay decodable.
    /// Throws with the disk's complaint when the background sync failed.
    int32_t write(const void* P, uint32_t size) override;

    /// Converts `count` little-endian samples of `bitsPerSample` bits (8 unsigned, 16 and 24
    /// signed) to the 32-bit integers libFLAC takes. Other sizes are not defined; they give 0.
    static void convertSamples(const uint8_t* in, size_t count, uint16_t bitsPerSample,
                               int32_t* out);

    /// The codec table's factory.
    static std::unique_ptr<TAudioWriter> create(const QString& filename, const tWAVEFORMATEX& pcm);

private:
    /// Finishes the stream (libFLAC completes the file) and deletes the encoder.
    QString finishFile() override;
    struct EncoderDeleter {
        const FlacApi* api = nullptr;
        void operator()(FLAC__StreamEncoder* encoder) const;
    };

    FlacApi m_api;
    tWAVEFORMATEX m_pcm;
    std::unique_ptr<FLAC__StreamEncoder, EncoderDeleter> encoder;
    /// The converted samples of one block; kept between calls so that steady blocks allocate
    /// nothing.
    std::vector<int32_t> m_samples;
    DurableSync m_sync;
};
