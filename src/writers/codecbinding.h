#pragma once

#include <FLAC/stream_encoder.h>
#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include <QString>

// The codec libraries of the Ogg Vorbis and FLAC writers are not linked: they are loaded by
// soname at run time, so that the program starts and records in the other formats when one of
// them is missing. The headers give the types only; every call goes through these tables.

// clang-format off
#define ORVANTA_OGG_FUNCTIONS(X) \
    X(ogg_stream_init) X(ogg_stream_packetin) X(ogg_stream_pageout) X(ogg_stream_flush) \
    X(ogg_stream_clear)

#define ORVANTA_VORBIS_FUNCTIONS(X) \
    X(vorbis_info_init) X(vorbis_info_clear) X(vorbis_comment_init) X(vorbis_comment_add_tag) \
    X(vorbis_comment_clear) X(vorbis_analysis_init) X(vorbis_block_init) \
    X(vorbis_analysis_headerout) X(vorbis_analysis_buffer) X(vorbis_analysis_wrote) \
    X(vorbis_analysis_blockout) X(vorbis_analysis) X(vorbis_bitrate_addblock) \
    X(vorbis_bitrate_flushpacket) X(vorbis_block_clear) X(vorbis_dsp_clear)

#define ORVANTA_VORBISENC_FUNCTIONS(X) X(vorbis_encode_init_vbr)

#define ORVANTA_FLAC_FUNCTIONS(X) \
    X(FLAC__stream_encoder_new) X(FLAC__stream_encoder_set_verify) \
    X(FLAC__stream_encoder_set_streamable_subset) X(FLAC__stream_encoder_set_compression_level) \
    X(FLAC__stream_encoder_set_channels) X(FLAC__stream_encoder_set_bits_per_sample) \
    X(FLAC__stream_encoder_set_sample_rate) X(FLAC__stream_encoder_init_stream) \
    X(FLAC__stream_encoder_process_interleaved) X(FLAC__stream_encoder_finish) \
    X(FLAC__stream_encoder_delete) X(FLAC__stream_encoder_get_resolved_state_string)
// clang-format on

#define ORVANTA_DECLARE_ENTRY(name) decltype(&::name) name = nullptr;

/// Entry points of libogg, libvorbis and libvorbisenc that the Ogg Vorbis writer calls.
struct OggVorbisApi {
    ORVANTA_OGG_FUNCTIONS(ORVANTA_DECLARE_ENTRY)
    ORVANTA_VORBIS_FUNCTIONS(ORVANTA_DECLARE_ENTRY)
    ORVANTA_VORBISENC_FUNCTIONS(ORVANTA_DECLARE_ENTRY)
};

/// Entry points of libFLAC that the FLAC writer calls.
struct FlacApi {
    ORVANTA_FLAC_FUNCTIONS(ORVANTA_DECLARE_ENTRY)
};

#undef ORVANTA_DECLARE_ENTRY

/// One format's entry points, or why they are missing.
template <class Api> struct CodecBinding {
    bool loaded = false;
    /// When not loaded: a message for the user naming the missing library or entry point.
    QString error;
    Api api;
};

using OggVorbisBinding = CodecBinding<OggVorbisApi>;
using FlacBinding = CodecBinding<FlacApi>;

/// Loads libogg, libvorbis, libvorbisenc and libFLAC by their sonames (chosen when the program
/// was configured; the environment variables ORVANTA_LIBOGG, ORVANTA_LIBVORBIS,
/// ORVANTA_LIBVORBISENC and ORVANTA_LIBFLAC name another file, for tests) and resolves the
/// writers' entry points. A missing library or entry point disables only its writer. Returns
/// true when both formats are available. Call once at program start, before any window and
/// any writer; calling it again after unloadCodecLibraries() loads afresh. Window thread only.
bool loadCodecLibraries();

/// Releases the libraries. Only when no writer exists any more (at program exit). Window
/// thread only.
void unloadCodecLibraries();

/// The Ogg Vorbis entry points, loading the libraries first when loadCodecLibraries() has not
/// run (so that tests and tools work without it). Window thread only.
const OggVorbisBinding& oggVorbisBinding();

/// The FLAC entry points, loading the libraries first when needed. Window thread only.
const FlacBinding& flacBinding();
