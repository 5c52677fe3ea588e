#pragma once

#include "audiowriter.h"
#include "common/waveformat.h"
#include "durablesync.h"
#include "lameadapter.h"
#include "outputfile.h"

#include <cstdint>
#include <memory>

/// The four calls of the MP3 encoder interface, so that tests can watch or fail them.
struct Mp3EncoderApi {
    decltype(&::beInitStream) beInitStream = ::beInitStream;
    decltype(&::beEncodeChunk) beEncodeChunk = ::beEncodeChunk;
    decltype(&::beDeinitStream) beDeinitStream = ::beDeinitStream;
    decltype(&::beCloseStream) beCloseStream = ::beCloseStream;
};

/// Writes a constant-bitrate MPEG Layer III file through the MP3 encoder interface, with the
/// bitrate of `config.bitrate` at the capture rate. Each call's frames go to the file at once,
/// and the file is synced in the background about once a second of audio, so that a crash or
/// power cut loses at most about the last second. Window thread only; no locking.
class TMP3writer final : public TAudioWriter {
public:
    /// Opens the encoder, then creates the file. Throws std::runtime_error "MP3 encoding
    /// parameters incompatible with this samplerate: <rate>Hz" (no file is created) or "Can
    /// not create output file: <name>".
    TMP3writer(const QString& filename, const tWAVEFORMATEX& pcm,
               const Mp3EncoderApi& api = Mp3EncoderApi{});
    /// Finishes the file (close()) when nobody did. Never throws.
    ~TMP3writer() override;

    /// Returns the bytes of the frames this call completed, or -1 once the encoder has failed
    /// (the writer is closed then). Throws "MP3 ebncoder data write error! 0" when the file
    /// takes fewer bytes; the file then ends with the last whole frame before the failure and
    /// every later call throws the same. Throws with the disk's complaint when the background
    /// sync failed.
    int32_t write(const void* P, uint32_t size) override;

    /// The configuration record for the current settings and a capture rate.
    static TBECONFIG makeConfig(uint32_t sampleRate);

    /// The codec table's factory.
    static std::unique_ptr<TAudioWriter> create(const QString& filename, const tWAVEFORMATEX& pcm);

private:
    /// Writes the last frames and closes encoder and file.
    QString finishFile() override;
    struct StreamCloser {
        decltype(&::beCloseStream) close;
        void operator()(BeStream* stream) const {
            if (stream && close)
                close(stream);
        }
    };

    [[noreturn]] void failWrite();

    Mp3EncoderApi m_api;
    tWAVEFORMATEX m_pcm;
    std::unique_ptr<OutputFile> mp3file;
    std::unique_ptr<BeStream, StreamCloser> BladeHandle;
    uint32_t NumSamples = 0;
    uint32_t mp3bufferSize = 0;
    uint32_t Err = 0;
    std::unique_ptr<uint8_t[]> Mp3Buffer;
    uint32_t m_bufferSize = 0;
    uint32_t dwWrite = 0;
    uint32_t toWrite = 0;
    uint32_t IsWritten = 0;
    TBECONFIG beConfig{};
    bool m_writeFailed = false;
    DurableSync m_sync;
};
