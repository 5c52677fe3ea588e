#pragma once

#include <cstdint>

/// A wave format descriptor with the classic field layout (18 bytes when serialised).
struct tWAVEFORMATEX {
    uint16_t wFormatTag = 0;
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint32_t nAvgBytesPerSec = 0;
    uint16_t nBlockAlign = 0;
    uint16_t wBitsPerSample = 0;
    uint16_t cbSize = 0;
};

constexpr uint16_t WAVE_FORMAT_PCM = 1;

/// 16-bit interleaved stereo PCM at the given rate: the format of every captured block and
/// of every writer's input.
inline tWAVEFORMATEX pcm16Stereo(uint32_t rate) {
    tWAVEFORMATEX f;
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 4;
    f.nAvgBytesPerSec = rate * 4;
    f.cbSize = 0;
    return f;
}
