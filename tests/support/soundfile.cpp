#include "soundfile.h"

#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>

DecodedSound decodeSound(const QString& path) {
    DecodedSound result;
    SF_INFO info{};
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(
        sf_open(path.toUtf8().constData(), SFM_READ, &info), sf_close);
    if (!file) {
        result.error = QString::fromUtf8(sf_strerror(nullptr));
        return result;
    }
    result.sampleRate = info.samplerate;
    result.channels = info.channels;
    result.format = info.format;
    result.samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    const sf_count_t got = sf_readf_short(file.get(), result.samples.data(), info.frames);
    if (got != info.frames) {
        result.error = QStringLiteral("short read");
        return result;
    }
    result.ok = true;
    return result;
}

std::vector<int16_t> testSignal(size_t frames, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-20000, 20000);
    std::vector<int16_t> samples(frames * 2);
    for (auto& s : samples)
        s = static_cast<int16_t>(dist(rng));
    return samples;
}

bool writeWav16(const QString& path, int sampleRate, int channels,
                const std::vector<int16_t>& samples) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(
        sf_open(path.toUtf8().constData(), SFM_WRITE, &info), sf_close);
    if (!file)
        return false;
    const auto frames = static_cast<sf_count_t>(samples.size() / static_cast<size_t>(channels));
    return sf_writef_short(file.get(), samples.data(), frames) == frames;
}

SignalMatch matchPlayedSignal(const std::vector<int16_t>& got, const std::vector<int16_t>& signal,
                              int tolerance) {
    SignalMatch match;
    size_t first = 0;
    while (first < got.size() && got[first] == 0)
        ++first;
    if (first == got.size()) {
        match.problem = QStringLiteral("nothing was recorded");
        return match;
    }
    first -= first % 2;
    size_t signalStart = 0;
    while (signalStart < signal.size() && signal[signalStart] == 0)
        ++signalStart;
    signalStart -= signalStart % 2;
    if (first < signalStart) {
        match.problem = QStringLiteral("sound before the signal's start");
        return match;
    }
    match.offset = first - signalStart;
    if (got.size() < match.offset + signal.size()) {
        match.problem = QStringLiteral("the recording ends inside the signal");
        return match;
    }
    match.found = true;
    for (size_t i = 0; i < signal.size(); ++i) {
        if (std::abs(int(got[match.offset + i]) - int(signal[i])) > tolerance &&
            match.mismatches++ == 0)
            match.firstMismatch = i;
    }
    return match;
}

/// Tones plus a little noise: something a lossy encoder can keep close to the original.
std::vector<int16_t> musicLikeSignal(size_t frames, int rate) {
    std::vector<int16_t> samples(frames * 2);
    uint32_t noise = 12345;
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        noise = noise * 1664525u + 1013904223u;
        const double n = (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 0.02;
        const double left = 0.3 * std::sin(2 * M_PI * 440 * t) +
                            0.2 * std::sin(2 * M_PI * 660 * t) +
                            0.1 * std::sin(2 * M_PI * 1320 * t) + n;
        const double right = 0.3 * std::sin(2 * M_PI * 550 * t) +
                             0.2 * std::sin(2 * M_PI * 220 * t) +
                             0.1 * std::sin(2 * M_PI * 2000 * t) - n;
        samples[2 * i] = static_cast<int16_t>(std::lround(left * 32767));
        samples[2 * i + 1] = static_cast<int16_t>(std::lround(right * 32767));
    }
    return samples;
}

/// Normalised correlation of `signal` with `got` starting at frame `lag`.
double tonePower(const std::vector<int16_t>& stereo, size_t first, size_t frames, double frequency,
                 int rate) {
    const double c = 2 * std::cos(2 * M_PI * frequency / rate);
    double a = 0;
    double b = 0;
    for (size_t i = first; i < first + frames && 2 * i < stereo.size(); ++i) {
        const double x = stereo[2 * i] + c * a - b;
        b = a;
        a = x;
    }
    return a * a + b * b - c * a * b;
}

double correlationAt(const std::vector<int16_t>& signal, const std::vector<int16_t>& got,
                     size_t lag) {
    double sxy = 0, sxx = 0, syy = 0;
    for (size_t i = 0; i < signal.size() && 2 * lag + i < got.size(); ++i) {
        const double x = signal[i];
        const double y = got[2 * lag + i];
        sxy += x * y;
        sxx += x * x;
        syy += y * y;
    }
    return sxx > 0 && syy > 0 ? sxy / std::sqrt(sxx * syy) : 0.0;
}
