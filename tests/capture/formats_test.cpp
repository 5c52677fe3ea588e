// Status descriptions, format reports and the float to 16-bit stereo conversion.

#include "capture/audioclienterrors.h"
#include "capture/capturegain.h"
#include "capture/formats.h"
#include "platform/audio/sim/simengine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

using namespace audio;

namespace {

TEST(AudioClientErrorTextTest, DescribesEveryStatusOfTheTable) {
    EXPECT_EQ(AudioClientErrorText("Caption", AUDCLNT_E_DEVICE_INVALIDATED, "ignored"),
              "Caption\nThe audio endpoint device has been unplugged, or the audio hardware or "
              "associated hardware resources have been reconfigured, disabled, removed, or "
              "otherwise made unavailable for use.");
    // Only the invalid-argument description takes the extra text, directly after its blank.
    EXPECT_EQ(AudioClientErrorText("C", E_INVALIDARG, "EXTRA"),
              "C\nParameter pFormat points to an invalid format description. EXTRA");
    EXPECT_EQ(AudioClientErrorText("C", AUDCLNT_E_SERVICE_NOT_RUNNING, "x"),
              "C\nThe audio service (PulseAudio or PipeWire) is not running.");
    EXPECT_EQ(AudioClientErrorText("C", AUDCLNT_S_BUFFER_EMPTY, ""),
              "C\nThe call succeeded and *pNumFramesToRead is 0, indicating that no capture data "
              "is available to be read. ");
    EXPECT_EQ(AudioClientErrorText("C", E_POINTER, ""), "C\nParameter pFormat is NULL.");
    EXPECT_EQ(AudioClientErrorText("C", E_OUTOFMEMORY, ""), "C\nOut of memory");
    EXPECT_EQ(AudioClientErrorText("C", hr(0x88890029u), ""),
              "C\nThe client specified AUDCLNT_STREAMOPTIONS_MATCH_FORMAT when calling "
              "IAudioClient2::SetClientProperties, but the format of the audio engine has been "
              "locked by another client.");
    // Listed without a description, against statuses not listed at all.
    for (uint32_t empty : {0x08890002u, 0x8889000Cu, 0x88890015u, 0x88890021u, 0x88890027u,
                           0x88890030u, 0x88890040u})
        EXPECT_EQ(AudioClientErrorText("C", hr(empty), "x"), "C\n") << std::hex << empty;
    for (uint32_t unknown : {0x00000000u, 0xFFFFFFFFu, 0x8889000Du, 0x88890031u, 0x80004005u})
        EXPECT_EQ(AudioClientErrorText("C", hr(unknown), "x"), "C\nUnknown error")
            << std::hex << unknown;
}

TEST(WaveFormatTest, ReportAndFloatDetection) {
    const WaveFormatExtensible plainFloat =
        SimEngine::floatFormat(44100, 1, SimEngine::FormatTag::Plain);
    EXPECT_EQ(WaveFormatReport(plainFloat),
              "Format:     3\nChannels:   1\nBits:       32\nSamplerate: 44100\n");
    EXPECT_TRUE(IsFloatFormat(plainFloat));

    const WaveFormatExtensible extFloat = SimEngine::floatFormat(192000, 10);
    EXPECT_EQ(WaveFormatReport(extFloat),
              "Format:     65534\nChannels:   10\nBits:       32\nSamplerate: 192000\n"
              "Valid bits:   32\nChannelsmask: 1023\n"
              "KSDataFormat: {00000003-0000-0010-8000-00AA00389B71}\n");
    EXPECT_TRUE(IsFloatFormat(extFloat));

    EXPECT_FALSE(IsFloatFormat(SimEngine::pcm16Format(48000, 2)));
    EXPECT_FALSE(IsFloatFormat(SimEngine::pcm16Format(48000, 2, SimEngine::FormatTag::Plain)));
    // The float sub-format counts only under the extensible tag.
    WaveFormatExtensible pcmTagFloatGuid = extFloat;
    pcmTagFloatGuid.Format.wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_FALSE(IsFloatFormat(pcmTagFloatGuid));

    WaveFormatExtensible odd = extFloat;
    odd.SubFormat = Guid{0xDEADBEEF, 0xA, 0xBC, {1, 2, 3, 4, 0xAB, 0xCD, 0xEF, 0}};
    odd.dwChannelMask = 0xFFFFFFFFu;
    EXPECT_FALSE(IsFloatFormat(odd));
    EXPECT_TRUE(WaveFormatReport(odd).endsWith(
        "Channelsmask: 4294967295\nKSDataFormat: {DEADBEEF-000A-00BC-0102-0304ABCDEF00}\n"));
}

TEST(FloatToPcm16Test, RoundsToNearestEvenAndSaturates) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> in = {0.0f, 1.0f, -1.0f, 0.5f, -0.5f, 0.1f,  -0.1f, 1e-5f,  -1e-5f,
                                   nan,  2.0f, -3.0f, inf,  -inf,  -0.0f, 0.25f, 1.5e-5f};
    const std::vector<int16_t> want = {0,     32767, -32767, 16384, -16384, 3277, -3277, 0, 0,
                                       32767, 32767, -32767, 32767, -32767, 0,    8192,  0};
    // A rounding mode left behind by someone else does not apply.
    std::fesetround(FE_UPWARD);
    std::vector<int16_t> out(in.size(), 123);
    FloatToPcm16(in.data(), out.data(), static_cast<int64_t>(in.size()));
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
    // 0.5 * 32767 = 16383.5 is a tie and goes to the even 16384; 0.25 gives 8191.75.
    EXPECT_EQ(out, want);
}

TEST(FloatToPcm16Test, AgreesWithExtendedPrecisionOnEveryLane) {
    // The fast path converts four samples at a time; every lane and the scalar tail must give
    // what extended-precision rounding gives, ties included.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.2f, 1.2f);
    std::vector<float> in(100003);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = i % 7 == 0 ? (static_cast<float>(rng() % 65535) - 32767.0f + 0.5f) / 32767.0f
                           : dist(rng);
    std::vector<int16_t> out(in.size());
    FloatToPcm16(in.data(), out.data(), static_cast<int64_t>(in.size()));
    size_t mismatches = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        long double y = static_cast<long double>(in[i]) * 32767.0L;
        y = std::clamp(y, -32767.0L, 32767.0L);
        mismatches += out[i] != static_cast<int16_t>(std::nearbyint(y));
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(ConvertToStereoTest, ChannelLayoutsGainAndClamp) {
    setCaptureGain(1.0f);
    // Mono: both sides carry the sample.
    {
        std::vector<float> p = {0.1f, -0.2f};
        std::vector<float> q(4, 9.0f);
        ConvertToStereo(p.data(), 2, 4, q.data());
        EXPECT_EQ(q, (std::vector<float>{0.1f, 0.1f, -0.2f, -0.2f}));
    }
    // Stereo: copied unchanged.
    {
        std::vector<float> p = {0.1f, -0.2f, 0.3f, -0.4f};
        std::vector<float> q(4, 9.0f);
        ConvertToStereo(p.data(), 2, 8, q.data());
        EXPECT_EQ(q, p);
    }
    // 3, 6, 8 and 10 channels: the first two of each frame.
    for (uint32_t channels : {3u, 6u, 8u, 10u}) {
        SCOPED_TRACE(channels);
        std::vector<float> p(channels * 2);
        for (size_t i = 0; i < p.size(); ++i)
            p[i] = static_cast<float>(i) / 64.0f;
        std::vector<float> q(4, 9.0f);
        ConvertToStereo(p.data(), 2, channels * 4, q.data());
        EXPECT_EQ(q,
                  (std::vector<float>{0.0f, 1 / 64.0f, channels / 64.0f, (channels + 1) / 64.0f}));
    }
    // A frame size no float format has gives silence, never stale samples.
    {
        std::vector<uint8_t> p(12, 0x3F);
        std::vector<float> q(4, 9.0f);
        ConvertToStereo(p.data(), 2, 6, q.data());
        EXPECT_EQ(q, (std::vector<float>(4, 0.0f)));
    }
    // Gain 2.0 clamps to -1 ... 1 in place; NaN becomes 1.
    {
        setCaptureGain(2.0f);
        std::vector<float> p = {0.75f, -0.9f, 0.25f, std::numeric_limits<float>::quiet_NaN()};
        std::vector<float> q(4, 9.0f);
        ConvertToStereo(p.data(), 2, 8, q.data());
        EXPECT_EQ(p, (std::vector<float>{1.0f, -1.0f, 0.5f, 1.0f}));
        EXPECT_EQ(q, p);
        std::vector<int16_t> pcm(4);
        FloatToPcm16(q.data(), pcm.data(), 4);
        EXPECT_EQ(pcm, (std::vector<int16_t>{32767, -32767, 16384, 32767}));
    }
    // Gain 0: silence.
    {
        setCaptureGain(0.0f);
        std::vector<float> p = {0.75f, -0.9f};
        std::vector<float> q(2, 9.0f);
        ConvertToStereo(p.data(), 1, 8, q.data());
        EXPECT_EQ(q[0], 0.0f);
        EXPECT_EQ(q[1], 0.0f);
    }
    setCaptureGain(1.0f);
}

TEST(ConvertToStereoTest, DownmixKeepsStereoAndMonoAndNeverExceedsFullScale) {
    // A plain stereo pair and mono come out exactly as without a downmix, gain and clamp
    // included.
    std::mt19937 random(5);
    std::uniform_real_distribution<float> sample(-1.5f, 1.5f);
    for (const float gain : {1.0f, 0.3f, 2.0f}) {
        setCaptureGain(gain);
        for (const auto& [channels, mask] :
             {std::pair<uint16_t, uint32_t>{2, SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT},
              {1, SPEAKER_FRONT_CENTER}}) {
            const StereoDownmix mix = stereoDownmixFor(channels, mask);
            std::vector<float> p(size_t{channels} * 500);
            for (float& x : p)
                x = sample(random);
            std::vector<float> plain = p;
            std::vector<float> q(1000, 9.0f);
            std::vector<float> want(1000, 7.0f);
            ConvertToStereo(p.data(), 500, channels * 4u, q.data(), mix);
            ConvertToStereo(plain.data(), 500, channels * 4u, want.data());
            EXPECT_EQ(std::memcmp(q.data(), want.data(), q.size() * 4), 0) << channels;
        }
    }
    setCaptureGain(2.0f);
    // 7.1 with full scale on every channel at once, then on each alone: within full scale,
    // and the same on both sides of a symmetric layout.
    const uint32_t mask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER |
                          SPEAKER_LOW_FREQUENCY | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT |
                          SPEAKER_SIDE_LEFT | SPEAKER_SIDE_RIGHT;
    const StereoDownmix mix = stereoDownmixFor(8, mask);
    for (const float full : {1.0f, -1.0f}) {
        std::vector<float> p(8, full);
        std::vector<float> q(2);
        ConvertToStereo(p.data(), 1, 32, q.data(), mix);
        EXPECT_LE(std::fabs(q[0]), 1.0f);
        EXPECT_NEAR(q[0], full, 1e-6f);
        EXPECT_EQ(q[0], q[1]);
        for (size_t c = 0; c < 8; ++c) {
            std::vector<float> one(8, 0.0f);
            one[c] = full;
            ConvertToStereo(one.data(), 1, 32, q.data(), mix);
            EXPECT_LT(std::fabs(q[0]), 1.0f) << c;
            EXPECT_LT(std::fabs(q[1]), 1.0f) << c;
        }
    }
    setCaptureGain(1.0f);
}

} // namespace
