#pragma once

#include <QString>

#include <cstdint>
#include <vector>

/// A file decoded with libsndfile, for comparing what a writer wrote with what went in.
struct DecodedSound {
    bool ok = false;
    QString error;
    int sampleRate = 0;
    int channels = 0;
    int format = 0;               ///< libsndfile's SF_FORMAT_* value
    std::vector<int16_t> samples; ///< interleaved
};

DecodedSound decodeSound(const QString& path);

/// Writes interleaved 16-bit samples as a WAV file; false on failure.
bool writeWav16(const QString& path, int sampleRate, int channels,
                const std::vector<int16_t>& samples);

/// Interleaved 16-bit stereo samples of a deterministic, non-periodic test signal.
std::vector<int16_t> testSignal(size_t frames, uint32_t seed = 1);
