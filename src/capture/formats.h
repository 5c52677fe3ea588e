#pragma once

#include "platform/audio/audioplatform.h"

#include <QString>

#include <cstdint>
#include <vector>

/// Conversion of the endpoints' float packets to the 16-bit stereo blocks of the capture
/// source, and texts describing wave formats. Pure functions: any thread.

/// The lines "Format:", "Channels:", "Bits:", "Samplerate:" and, for the extensible tag,
/// "Valid bits:", "Channelsmask:" and "KSDataFormat:", each ended by a line break.
QString WaveFormatReport(const audio::WaveFormatExtensible& format);

/// True for the IEEE float tag, or the extensible tag with the IEEE float sub-format.
bool IsFloatFormat(const audio::WaveFormatExtensible& format);

/// Converts `count` floats to 16-bit samples: x * 32767 in extended precision, rounded to
/// nearest with ties to even. Inputs outside -1 ... 1 saturate to -32767 ... 32767, NaN to
/// 32767, so that a sample that skipped the clamp of ConvertToStereo cannot wrap.
void FloatToPcm16(const float* src, int16_t* dst, int64_t count);

/// How the channels of one float frame make up left and right: built once per stream from
/// its channel count and speaker mask (channel i is the speaker of the i-th bit set in the
/// mask, as the extensible wave format says).
struct StereoDownmix {
    /// Weights of each channel on the left and right side; empty: take the frame as its
    /// size says (one channel to both sides, two copied, of more the first two).
    std::vector<float> left;
    std::vector<float> right;
};

/// The downmix for a frame of `channels` channels with speaker mask `channelMask`. Mono is
/// copied to both sides and front left plus front right alone is copied unchanged; a mask of
/// 0 (no positions known) keeps the first two channels. Any other layout is mixed by its
/// positions, normalised so that the mix of clamped samples never exceeds full scale.
StereoDownmix stereoDownmixFor(uint16_t channels, uint32_t channelMask);

/// Applies the capture gain to the (n * a) / 4 floats at p in place, clamping each to
/// -1 ... 1 (NaN becomes 1), then writes n stereo float frames to q: a mono frame (a = 4)
/// to both channels, a stereo frame (a = 8) unchanged, and of a frame of three channels or
/// more (a >= 12) the first two channels. Other frame sizes, which no float format has,
/// write silence. q must hold n * 8 bytes; p need not be aligned.
void ConvertToStereo(void* p, int64_t n, uint32_t a, float* q);
/// The same, with the channels of frames of `mix`'s channel count mixed by its weights.
void ConvertToStereo(void* p, int64_t n, uint32_t a, float* q, const StereoDownmix& mix);
