#pragma once

#include "writers/audiowriter.h"

#include <cstdint>
#include <vector>

/// Writes `frames` 16-bit stereo frames of `samples`, starting at frame `first`.
inline int32_t writeFrames(TAudioWriter& writer, const std::vector<int16_t>& samples, size_t first,
                           size_t frames) {
    return writer.write(samples.data() + first * 2, static_cast<uint32_t>(frames * 4));
}
