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

/// Where a played signal lies in a recording, and how well it came back.
struct SignalMatch {
    bool found = false;    ///< the recording holds sound and all of the signal after it
    QString problem;       ///< why not, when not found
    size_t offset = 0;     ///< the signal's first sample in the recording (interleaved)
    size_t mismatches = 0; ///< samples further than the tolerance from what was played
    size_t firstMismatch = 0;
};

/// Aligns `signal` (interleaved stereo, starting with its first non-zero frame) with the
/// first sound of `got` and compares every sample, so a dropped or repeated frame anywhere
/// in the signal shows as mismatches.
SignalMatch matchPlayedSignal(const std::vector<int16_t>& got, const std::vector<int16_t>& signal,
                              int tolerance);

/// Stereo tones plus a little noise at `rate`: something a lossy encoder keeps close to the
/// original.
std::vector<int16_t> musicLikeSignal(size_t frames, int rate);

/// Power of `frequency` in the left channel of `frames` stereo frames from `first`, at `rate`
/// (Goertzel).
double tonePower(const std::vector<int16_t>& stereo, size_t first, size_t frames, double frequency,
                 int rate);

/// Normalised correlation of `signal` with `got` starting at frame `lag` (stereo).
double correlationAt(const std::vector<int16_t>& signal, const std::vector<int16_t>& got,
                     size_t lag);
