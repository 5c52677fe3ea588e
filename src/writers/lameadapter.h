#pragma once

#include <cstdint>

// The MP3 encoder interface the MP3 writer is written against: the four stream calls and the
// configuration record of LAME's encoder-DLL interface, with its byte layout. Implemented here
// over libmp3lame's public API.

using BE_ERR = uint32_t;

constexpr BE_ERR BE_ERR_SUCCESSFUL = 0;
constexpr BE_ERR BE_ERR_INVALID_FORMAT = 1;
constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 2;
constexpr BE_ERR BE_ERR_NO_MORE_HANDLES = 3;
constexpr BE_ERR BE_ERR_INVALID_HANDLE = 4;
constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 5;

constexpr uint32_t BE_CONFIG_LAME = 256;
constexpr uint32_t BE_CONFIG_VERSION = 1;

constexpr int32_t BE_MP3_MODE_STEREO = 0;
constexpr int32_t BE_MP3_MODE_JSTEREO = 1;
constexpr int32_t BE_MP3_MODE_DUALCHANNEL = 2;
constexpr int32_t BE_MP3_MODE_MONO = 3;

constexpr uint32_t MPEG1 = 1;
constexpr uint32_t MPEG2 = 0;

constexpr int32_t LQP_NOPRESET = -1;
constexpr int32_t LQP_ABR = 11;
constexpr int32_t LQP_CBR = 12;

constexpr int32_t VBR_METHOD_NONE = -1;

#pragma pack(push, 1)
/// The LAME layout of the configuration record (all fields little-endian, no padding).
struct TLHV1 {
    uint32_t dwStructVersion;
    uint32_t dwStructSize;
    uint32_t dwSampleRate;   ///< input rate in Hz
    uint32_t dwReSampleRate; ///< output rate in Hz; 0: the input rate
    int32_t nMode;           ///< BE_MP3_MODE_*
    uint32_t dwBitrate;      ///< kbit/s (the minimum with VBR)
    uint32_t dwMaxBitrate;   ///< kbit/s, VBR only
    int32_t nPreset;         ///< LQP_*
    uint32_t dwMpegVersion;  ///< MPEG1 or MPEG2
    uint32_t dwPsyModel;
    uint32_t dwEmphasis;
    int32_t bPrivate;
    int32_t bCRC;
    int32_t bCopyright;
    int32_t bOriginal;
    int32_t bWriteVBRHeader;
    int32_t bEnableVBR;
    int32_t nVBRQuality;
    uint32_t dwVbrAbr_bps;
    int32_t nVbrMethod;
    int32_t bNoRes;
    int32_t bStrictIso;
    uint16_t nQuality;
    uint8_t btReserved[255 - 4 * sizeof(uint32_t) - sizeof(uint16_t)];
};

/// The encoder configuration: a selector and, for BE_CONFIG_LAME, the LAME layout.
struct TBECONFIG {
    uint32_t dwConfig;
    union {
        TLHV1 LHV1;
    } format;
};
#pragma pack(pop)

static_assert(sizeof(TBECONFIG) == 331, "the record's size is part of the interface");

struct BeStream;
using HBE_STREAM = BeStream*;

/// Opens an encoder stream. Returns BE_ERR_SUCCESSFUL and sets the samples (all channels
/// counted) of one MPEG frame, the smallest output buffer for that many samples and the
/// handle; otherwise an error and no handle. A configuration libmp3lame rejects (a rate MP3
/// cannot carry, an MPEG version that does not match the rate) gives
/// BE_ERR_INVALID_FORMAT_PARAMETERS. Any thread; a stream is used by one thread at a time.
BE_ERR beInitStream(const TBECONFIG* pbeConfig, uint32_t* dwSamples, uint32_t* dwBufferSize,
                    HBE_STREAM* phbeStream);

/// Encodes nSamples interleaved 16-bit samples (all channels counted) into pOutput and sets the
/// bytes produced (0 while no frame is complete). pOutput must hold at least
/// beMaxChunkOutput(nSamples) bytes.
BE_ERR beEncodeChunk(HBE_STREAM hbeStream, uint32_t nSamples, const int16_t* pSamples,
                     uint8_t* pOutput, uint32_t* pdwOutput);

/// Encodes what is still buffered and writes the last frames to pOutput (at least 7200 bytes).
BE_ERR beDeinitStream(HBE_STREAM hbeStream, uint8_t* pOutput, uint32_t* pdwOutput);

/// Releases the stream; the handle is invalid afterwards.
BE_ERR beCloseStream(HBE_STREAM hbeStream);

/// The most bytes beEncodeChunk can produce for nSamples samples of one channel layout: the
/// worst case libmp3lame documents (1.25 x samples per channel + 7200).
uint32_t beMaxChunkOutput(uint32_t nSamples, uint32_t channels);

/// The output buffer beDeinitStream needs.
constexpr uint32_t BeFlushOutputSize = 7200;
