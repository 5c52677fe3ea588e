#include "formats.h"

#include "capturegain.h"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

QString WaveFormatReport(const audio::WaveFormatExtensible& format) {
    const tWAVEFORMATEX& f = format.Format;
    QString text = QStringLiteral("Format:     %1\n").arg(f.wFormatTag) +
                   QStringLiteral("Channels:   %1\n").arg(f.nChannels) +
                   QStringLiteral("Bits:       %1\n").arg(f.wBitsPerSample) +
                   QStringLiteral("Samplerate: %1\n").arg(f.nSamplesPerSec);
    if (f.wFormatTag == audio::WAVE_FORMAT_EXTENSIBLE) {
        const audio::Guid& g = format.SubFormat;
        const auto hex = [](uint64_t v, int digits) {
            return QStringLiteral("%1").arg(v, digits, 16, QLatin1Char('0')).toUpper();
        };
        QString guid = QLatin1Char('{') + hex(g.Data1, 8) + QLatin1Char('-') + hex(g.Data2, 4) +
                       QLatin1Char('-') + hex(g.Data3, 4) + QLatin1Char('-');
        for (int i = 0; i < 8; ++i) {
            if (i == 2)
                guid += QLatin1Char('-');
            guid += hex(g.Data4[i], 2);
        }
        guid += QLatin1Char('}');
        text += QStringLiteral("Valid bits:   %1\n").arg(format.wValidBitsPerSample) +
                QStringLiteral("Channelsmask: %1\n").arg(format.dwChannelMask) +
                QStringLiteral("KSDataFormat: ") + guid + QLatin1Char('\n');
    }
    return text;
}

bool IsFloatFormat(const audio::WaveFormatExtensible& format) {
    const uint16_t tag = format.Format.wFormatTag;
    return tag == audio::WAVE_FORMAT_IEEE_FLOAT ||
           (tag == audio::WAVE_FORMAT_EXTENSIBLE &&
            format.SubFormat == audio::KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

namespace {

// One sample: the product is exact in a double (a float has 24 significant bits and 32767
// has 15), so rounding it gives the same result as extended precision would.
inline int16_t floatToPcm16(float x) {
    const double y = static_cast<double>(x) * 32767.0;
    if (!(y <= 32767.0))
        return 32767; // also NaN
    if (y < -32767.0)
        return -32767;
    return static_cast<int16_t>(std::nearbyint(y));
}

} // namespace

void FloatToPcm16(const float* src, int16_t* dst, int64_t count) {
    // Round to nearest (ties to even) whatever a library may have left in this thread's
    // floating-point environment.
    std::fesetenv(FE_DFL_ENV);
    int64_t i = 0;
#if defined(__SSE2__)
    // Four samples at a time with the same exact double-precision rounding; the scalar
    // library calls cost more than the rest of the capture thread together.
    const __m128d scale = _mm_set1_pd(32767.0);
    const __m128d high = _mm_set1_pd(32767.0);
    const __m128d low = _mm_set1_pd(-32767.0);
    for (; i + 4 <= count; i += 4) {
        const __m128 f = _mm_loadu_ps(src + i);
        __m128d a = _mm_mul_pd(_mm_cvtps_pd(f), scale);
        __m128d b = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(f, f)), scale);
        // minpd returns its second operand when the first is NaN: NaN becomes 32767.
        a = _mm_max_pd(_mm_min_pd(a, high), low);
        b = _mm_max_pd(_mm_min_pd(b, high), low);
        // cvtpd2dq rounds as the environment says: to nearest, ties to even.
        const __m128i ints = _mm_unpacklo_epi64(_mm_cvtpd_epi32(a), _mm_cvtpd_epi32(b));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i), _mm_packs_epi32(ints, ints));
    }
#endif
    for (; i < count; ++i)
        dst[i] = floatToPcm16(src[i]);
}

namespace {

// The capture gain and the clamp to -1 ... 1 (NaN becomes 1), in place on `count` floats
// that need not be aligned.
void applyGainAndClamp(uint8_t* bytes, int64_t count) {
    const float gain = captureGain();
    for (int64_t i = 0; i < count; ++i) {
        float x;
        std::memcpy(&x, bytes + i * 4, 4);
        x *= gain;
        if (!(x <= 1.0f))
            x = 1.0f;
        if (x < -1.0f)
            x = -1.0f;
        std::memcpy(bytes + i * 4, &x, 4);
    }
}

struct SpeakerWeights {
    double left;
    double right;
};

constexpr double Minus3dB = 0.70710678118654752;
constexpr double Minus6dB = 0.5;

// The weight of each speaker position on the left and right side, indexed by the position's
// bit in the channel mask; a downmix after ITU-R BS.775. The front pair (and the
// left/right-of-centre pair) at full weight to its own side; the centre at -3 dB to both
// sides; surround, side and rear channels, also the top ones, at -3 dB to their own side;
// the rear centre and the top centres at -6 dB to both sides; and LFE, which a stereo pair
// has no speaker of its own for, at -6 dB to both sides rather than dropped. Both sides are
// then divided by the larger of the two sums of the weights of the channels present, so
// that full-scale samples on every channel at once still make no more than full scale. For
// 5.1 (FL FR FC LFE BL BR, or SL SR) that gives
//   L = 0.3431 FL + 0.2426 FC + 0.1716 LFE + 0.2426 BL, R = 0.3431 FR + 0.2426 FC +
//   0.1716 LFE + 0.2426 BR.
constexpr SpeakerWeights SpeakerTable[] = {
    {1.0, 0.0},           // front left
    {0.0, 1.0},           // front right
    {Minus3dB, Minus3dB}, // front centre
    {Minus6dB, Minus6dB}, // LFE
    {Minus3dB, 0.0},      // back left
    {0.0, Minus3dB},      // back right
    {1.0, 0.0},           // front left of centre
    {0.0, 1.0},           // front right of centre
    {Minus6dB, Minus6dB}, // back centre
    {Minus3dB, 0.0},      // side left
    {0.0, Minus3dB},      // side right
    {Minus6dB, Minus6dB}, // top centre
    {Minus3dB, 0.0},      // top front left
    {Minus6dB, Minus6dB}, // top front centre
    {0.0, Minus3dB},      // top front right
    {Minus3dB, 0.0},      // top back left
    {Minus6dB, Minus6dB}, // top back centre
    {0.0, Minus3dB},      // top back right
};
constexpr uint32_t FrontLeft = 0x1;
constexpr uint32_t FrontRight = 0x2;

} // namespace

StereoDownmix stereoDownmixFor(uint16_t channels, uint32_t channelMask) {
    StereoDownmix mix;
    // Mono, a plain stereo pair and a layout without positions keep the frame-size rules;
    // the stereo pair stays bit for bit what it was.
    if (channels <= 1 || channelMask == 0 ||
        (channels == 2 && channelMask == (FrontLeft | FrontRight)))
        return mix;
    std::vector<double> left(channels, 0.0);
    std::vector<double> right(channels, 0.0);
    double sumLeft = 0.0;
    double sumRight = 0.0;
    uint32_t bits = channelMask;
    // Channel i is the speaker of the i-th bit set; channels beyond the mask's bits, and
    // bits that name no speaker, have no position and are left out.
    for (uint16_t c = 0; c < channels && bits != 0; ++c) {
        const auto bit = static_cast<size_t>(std::countr_zero(bits));
        bits &= bits - 1;
        if (bit < std::size(SpeakerTable)) {
            left[c] = SpeakerTable[bit].left;
            right[c] = SpeakerTable[bit].right;
            sumLeft += left[c];
            sumRight += right[c];
        }
    }
    const double norm = std::max(sumLeft, sumRight);
    if (norm <= 0.0)
        return mix;
    mix.left.resize(channels);
    mix.right.resize(channels);
    for (uint16_t c = 0; c < channels; ++c) {
        mix.left[c] = static_cast<float>(left[c] / norm);
        mix.right[c] = static_cast<float>(right[c] / norm);
    }
    return mix;
}

void ConvertToStereo(void* p, int64_t n, uint32_t a, float* q) {
    auto* bytes = static_cast<uint8_t*>(p);
    applyGainAndClamp(bytes, (n * static_cast<int64_t>(a)) / 4);
    if (a == 8) {
        std::memcpy(q, bytes, static_cast<size_t>(n) * 8);
        return;
    }
    for (int64_t i = 0; i < n; ++i) {
        float left = 0.0f;
        float right = 0.0f;
        const uint8_t* frame = bytes + i * static_cast<int64_t>(a);
        if (a == 4) {
            std::memcpy(&left, frame, 4);
            right = left;
        } else if (a >= 12) {
            // Three channels or more of no known positions: the first two are taken as left
            // and right. Frames of more than eight channels are treated alike, rather than
            // leaving the block without fresh samples.
            std::memcpy(&left, frame, 4);
            std::memcpy(&right, frame + 4, 4);
        }
        q[2 * i] = left;
        q[2 * i + 1] = right;
    }
}

void ConvertToStereo(void* p, int64_t n, uint32_t a, float* q, const StereoDownmix& mix) {
    const size_t channels = mix.left.size();
    if (channels == 0 || a != channels * 4) {
        ConvertToStereo(p, n, a, q);
        return;
    }
    auto* bytes = static_cast<uint8_t*>(p);
    applyGainAndClamp(bytes, n * static_cast<int64_t>(channels));
    const float* toLeft = mix.left.data();
    const float* toRight = mix.right.data();
    for (int64_t i = 0; i < n; ++i) {
        const uint8_t* frame = bytes + i * static_cast<int64_t>(a);
        float left = 0.0f;
        float right = 0.0f;
        for (size_t c = 0; c < channels; ++c) {
            float x;
            std::memcpy(&x, frame + c * 4, 4);
            left += toLeft[c] * x;
            right += toRight[c] * x;
        }
        q[2 * i] = left;
        q[2 * i + 1] = right;
    }
}
