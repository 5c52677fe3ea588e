#include "fft.h"

#include <array>
#include <cmath>
#include <numbers>
#include <utility>

namespace {

constexpr int kPoints = 256;
constexpr int kBits = 8;

struct FftTables {
    std::array<std::complex<float>, kPoints / 2> twiddle{};
    std::array<std::uint8_t, kPoints> reversed{};

    FftTables() {
        for (int k = 0; k < kPoints / 2; ++k) {
            // Computed in double so that the table itself adds no error beyond float rounding.
            const double angle = -2.0 * std::numbers::pi * k / kPoints;
            twiddle[k] = {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
        }
        for (int i = 0; i < kPoints; ++i) {
            int r = 0;
            for (int b = 0; b < kBits; ++b)
                r |= ((i >> b) & 1) << (kBits - 1 - b);
            reversed[i] = static_cast<std::uint8_t>(r);
        }
    }
};

const FftTables& tables() {
    static const FftTables t;
    return t;
}

} // namespace

void forwardFft256(std::span<std::complex<float>, 256> points) {
    const FftTables& t = tables();
    for (int i = 0; i < kPoints; ++i) {
        const int r = t.reversed[i];
        if (r > i)
            std::swap(points[i], points[r]);
    }
    for (int half = 1; half < kPoints; half *= 2) {
        const int stride = kPoints / (2 * half);
        for (int start = 0; start < kPoints; start += 2 * half) {
            for (int k = 0; k < half; ++k) {
                const std::complex<float> w = t.twiddle[k * stride];
                const std::complex<float> a = points[start + k];
                const std::complex<float> b = points[start + k + half];
                // Written out rather than with operator*, which may take the slow
                // inf/NaN-correct path of the C99 complex multiplication.
                const float br = b.real() * w.real() - b.imag() * w.imag();
                const float bi = b.real() * w.imag() + b.imag() * w.real();
                points[start + k] = {a.real() + br, a.imag() + bi};
                points[start + k + half] = {a.real() - br, a.imag() - bi};
            }
        }
    }
}
