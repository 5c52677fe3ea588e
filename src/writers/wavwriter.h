#pragma once

#include "audiowriter.h"
#include "common/waveformat.h"

#include <array>
#include <cstdint>
#include <memory>

/// Writes a RIFF WAVE file: the classic 44-byte header followed by the captured 16-bit PCM,
/// passed through unchanged. Blocks are gathered in a 100 ms source buffer and written one
/// full buffer at a time; what is still buffered is written when the writer is destroyed.
/// Failures throw EMakerError with the code -1.
class TWAVWriter final : public TAudioWriter {
public:
    TWAVWriter(const QString& filename, const tWAVEFORMATEX& pcm);
    ~TWAVWriter() override;

    int32_t write(const void* data, uint32_t size) override;
    uint64_t maxDataBytes() const override;
    uint64_t pendingBytes() const override { return SrcBytes; }

    static std::unique_ptr<TAudioWriter> create(const QString& filename, const tWAVEFORMATEX& pcm);

    uint32_t sourceBufferSize() const { return SrcBufferSize; }

private:
    struct Chunk {
        uint32_t ckid = 0;
        uint32_t cksize = 0;
        uint32_t fccType = 0;
        int64_t dwDataOffset = 0;
        bool sizeUnknown = false;
    };

    void WriteHeader();
    void ConvertBuffer();
    void closeFile();

    int32_t returnsize = 0;
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
};
