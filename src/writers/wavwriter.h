#pragma once

#include "audiowriter.h"
#include "common/waveformat.h"
#include "durablesync.h"

#include <cerrno>
#include <cstdint>
#include <memory>

/// Writes a RIFF WAVE file: the classic 44-byte header followed by the captured 16-bit PCM,
/// passed through unchanged. Blocks are gathered in a 100 ms source buffer and written one
/// full buffer at a time; what is still buffered is written when the writer is destroyed.
/// About once a second of audio the header's sizes are brought up to date and the file is
/// synced in the background, so that a crash or power cut leaves a file that plays up to
/// about its last second. Failures throw EMakerError with the code -1. Window thread only;
/// no locking.
class TWAVWriter final : public TAudioWriter {
public:
    /// Creates the file with its headers. Throws EMakerError (code -1) when the format cannot
    /// be converted, memory is short, or the file or its header cannot be written; a file
    /// already created stays on disk.
    TWAVWriter(const QString& filename, const tWAVEFORMATEX& pcm);
    /// Finishes the file (close()) when nobody did. Never throws.
    ~TWAVWriter() override;

    /// Returns the bytes written to the file by this call (0 while the source buffer fills).
    /// Throws EMakerError "Failed to write data to file" when the file refuses data; the file
    /// then keeps the whole frames written so far and every later call throws the same.
    /// Throws EMakerError with the disk's complaint when the background sync failed.
    int32_t write(const void* data, uint32_t size) override;
    /// The largest data chunk a WAV file can describe with its 32-bit sizes, in whole frames.
    uint64_t maxDataBytes() const override;
    uint64_t pendingBytes() const override { return SrcBytes; }

    /// The codec table's factory.
    static std::unique_ptr<TAudioWriter> create(const QString& filename, const tWAVEFORMATEX& pcm);

    uint32_t sourceBufferSize() const { return SrcBufferSize; }

private:
    /// Position and size bookkeeping of one RIFF chunk, as the multimedia file service keeps
    /// it. `created` tells whether its header is in the file, so that closing after a failed
    /// construction patches only chunks that exist.
    struct Chunk {
        uint32_t ckid = 0;
        uint32_t cksize = 0;
        uint32_t fccType = 0;
        int64_t dwDataOffset = 0;
        bool created = false;
    };

    enum class ConvertMode { Block, Final };
    enum class ChunkKind { Plain, Riff };

    void WriteHeader();
    void ConvertBuffer(ConvertMode mode = ConvertMode::Block);
    /// Writes what is still buffered, completes the chunk sizes and closes the file.
    QString finishFile() override;
    void updateSizes() noexcept;

    int createChunk(Chunk& ck, ChunkKind kind);
    int ascend(Chunk& ck);
    int64_t writeBytes(const void* data, uint32_t size);

    int32_t returnsize = 0;
    bool stream = false; ///< the (pass-through) conversion stream is open
    int wfile = -1;
    tWAVEFORMATEX PCM;
    tWAVEFORMATEX DstFmt;
    uint32_t SrcBufferSize = 0;
    uint32_t DstBufferSize = 0;
    std::unique_ptr<uint8_t[]> SrcBuffer;
    std::unique_ptr<uint8_t[]> DstBuffer;
    uint32_t SrcBytes = 0;
    uint32_t ConvertedSamples = 0;
    uint32_t ConvertFlags = 0;
    Chunk RiffChunk;
    Chunk FactChunk;
    Chunk DataChunk;
    /// Refuses the write in hand and every later one, naming m_writeErrno.
    [[noreturn]] void failWrite();
    bool m_writeFailed = false;
    int m_writeErrno = ENOSPC; ///< why the refused write was refused
    DurableSync m_sync;
};
