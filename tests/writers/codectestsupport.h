#pragma once

#include "support/soundfile.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

// Helpers shared by the tests of the encoded writers.

inline QByteArray readFileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

/// Decodes a whole file with libsndfile, reading until the decoder stops rather than trusting
/// the length it states (an MP3 without a tag, or a cut-off file, has only an estimate).
/// `samples` is interleaved; `ok` is false when the file does not open.
inline DecodedSound decodeToEnd(const QString& path) {
    DecodedSound result;
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file) {
        result.error = QString::fromUtf8(sf_strerror(nullptr));
        return result;
    }
    result.sampleRate = info.samplerate;
    result.channels = info.channels;
    result.format = info.format;
    std::vector<int16_t> chunk(4096 * static_cast<size_t>(info.channels));
    for (;;) {
        const sf_count_t got = sf_readf_short(file, chunk.data(), 4096);
        if (got <= 0)
            break;
        result.samples.insert(result.samples.end(), chunk.begin(),
                              chunk.begin() + got * info.channels);
    }
    sf_close(file);
    result.ok = true;
    return result;
}

/// Interleaved 16-bit stereo "music": in each channel a melody of random notes, 100 ms each,
/// with two overtones and a decaying envelope, over a little noise. Lossy codecs keep it well,
/// unlike white noise, and the changing notes make the alignment by cross-correlation
/// unambiguous, unlike a steady chord.
inline std::vector<int16_t> musicSignal(size_t frames, uint32_t rate, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 200.0);
    std::uniform_int_distribution<int> semitone(-12, 12);
    const double pi = 3.14159265358979323846;
    const size_t noteFrames = rate / 10;
    std::vector<int16_t> out(frames * 2);
    for (int c = 0; c < 2; ++c) {
        double phase = 0;
        double frequency = 440;
        for (size_t i = 0; i < frames; ++i) {
            const size_t inNote = i % noteFrames;
            if (inNote == 0)
                frequency = (c == 0 ? 330.0 : 440.0) * std::pow(2.0, semitone(rng) / 12.0);
            phase += 2 * pi * frequency / rate;
            const double envelope = 0.4 + 0.6 * std::exp(-5.0 * inNote / noteFrames);
            double v = 0;
            for (int k = 1; k <= 3; ++k)
                v += 6000.0 / k * std::sin(k * phase);
            v = v * envelope + noise(rng);
            out[i * 2 + static_cast<size_t>(c)] =
                static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
        }
    }
    return out;
}

/// Pearson correlation of channel `channel` of `input` (frames 0..frames) with the decoded
/// samples shifted by `lag` frames.
inline double correlation(const std::vector<int16_t>& input, const std::vector<int16_t>& decoded,
                          size_t lag, size_t frames, int channel) {
    double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    size_t n = 0;
    for (size_t i = 0; i < frames && (i + lag) * 2 + 1 < decoded.size() && i * 2 + 1 < input.size();
         ++i, ++n) {
        const double x = input[i * 2 + static_cast<size_t>(channel)];
        const double y = decoded[(i + lag) * 2 + static_cast<size_t>(channel)];
        sx += x;
        sy += y;
        sxx += x * x;
        syy += y * y;
        sxy += x * y;
    }
    if (n == 0)
        return 0;
    const double cov = sxy - sx * sy / n;
    const double vx = sxx - sx * sx / n;
    const double vy = syy - sy * sy / n;
    return vx > 0 && vy > 0 ? cov / std::sqrt(vx * vy) : 0;
}

/// The delay in frames (0..maxLag) of `decoded` against `input`, by cross-correlation over a
/// stretch of the input's left channel.
inline size_t alignmentLag(const std::vector<int16_t>& input, const std::vector<int16_t>& decoded,
                           size_t maxLag) {
    const size_t frames = input.size() / 2;
    const size_t start = std::min<size_t>(frames / 4, 4096);
    const size_t window = std::min<size_t>(frames - start, 16384);
    size_t best = 0;
    double bestDot = -1e300;
    for (size_t lag = 0; lag <= maxLag; ++lag) {
        if ((start + lag + window) * 2 > decoded.size())
            break;
        double dot = 0;
        for (size_t i = 0; i < window; ++i)
            dot += static_cast<double>(input[(start + i) * 2]) * decoded[(start + i + lag) * 2];
        if (dot > bestDot) {
            bestDot = dot;
            best = lag;
        }
    }
    return best;
}

/// The smaller of the two channels' correlations after alignment, over `frames` input frames.
inline double alignedCorrelation(const std::vector<int16_t>& input,
                                 const std::vector<int16_t>& decoded, size_t maxLag, size_t frames,
                                 size_t* lagOut = nullptr) {
    const size_t lag = alignmentLag(input, decoded, maxLag);
    if (lagOut)
        *lagOut = lag;
    return std::min(correlation(input, decoded, lag, frames, 0),
                    correlation(input, decoded, lag, frames, 1));
}
