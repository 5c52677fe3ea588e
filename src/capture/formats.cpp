#include "formats.h"

#include "capturegain.h"

#include <cfenv>
#include <cmath>
#include <cstring>

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

void ConvertToStereo(void* p, int64_t n, uint32_t a, float* q) {
    auto* bytes = static_cast<uint8_t*>(p);
    const float gain = captureGain();
    const int64_t floats = (n * static_cast<int64_t>(a)) / 4;
    for (int64_t i = 0; i < floats; ++i) {
        float x;
        std::memcpy(&x, bytes + i * 4, 4);
        x *= gain;
        if (!(x <= 1.0f))
            x = 1.0f;
        if (x < -1.0f)
            x = -1.0f;
        std::memcpy(bytes + i * 4, &x, 4);
    }
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
            // Three channels or more: the first two are front left and right; the others are
            // dropped, not mixed in. Frames of more than eight channels are treated alike,
            // rather than leaving the block without fresh samples.
            std::memcpy(&left, frame, 4);
            std::memcpy(&right, frame + 4, 4);
        }
        q[2 * i] = left;
        q[2 * i + 1] = right;
    }
}
