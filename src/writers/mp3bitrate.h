#pragma once

#include <cstdint>

/// The MP3 bitrate in kbit/s of a bitrate index (0 = highest) at a sample rate.
/// 32000, 44100 and 48000 Hz use the MPEG-1 table (320 .. 32), 16000 and 22050 Hz the
/// MPEG-2 table (160 .. 8), 8000 and 11025 Hz the MPEG-2 table shifted by two; any other
/// rate, and an index outside its table, give 128.
int32_t Mp3BitrateKbps(int32_t index, int32_t sampleRate);
