#include "mp3bitrate.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::array<int32_t, 14> TableA = {320, 256, 224, 192, 160, 128, 112,
                                            96,  80,  64,  56,  48,  40,  32};
constexpr std::array<int32_t, 14> TableB = {160, 144, 128, 112, 96, 80, 64,
                                            56,  48,  40,  32,  24, 16, 8};
constexpr int32_t FallbackKbps = 128;

int32_t lookup(const std::array<int32_t, 14>& table, int32_t index) {
    // Only an edited settings file can hold an index outside the table.
    if (index < 0 || index >= static_cast<int32_t>(table.size()))
        return FallbackKbps;
    return table[static_cast<std::size_t>(index)];
}

} // namespace

int32_t Mp3BitrateKbps(int32_t index, int32_t sampleRate) {
    switch (sampleRate) {
    case 32000:
    case 44100:
    case 48000:
        return lookup(TableA, index);
    case 16000:
    case 22050:
        return lookup(TableB, index);
    case 8000:
    case 11025:
        // Checked before the shift, so that a huge index cannot overflow.
        if (index < 0 || index > 11)
            return FallbackKbps;
        return lookup(TableB, index + 2);
    default:
        return FallbackKbps;
    }
}
