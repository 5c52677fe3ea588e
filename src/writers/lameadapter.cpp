#include "lameadapter.h"

#include <lame/lame.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>

struct LameCloser {
    void operator()(lame_global_flags* flags) const {
        if (flags)
            lame_close(flags);
    }
};

struct BeStream {
    std::unique_ptr<lame_global_flags, LameCloser> lame;
    uint32_t channels = 2;
};

namespace {

// A chunk larger than this is refused rather than risk overflowing libmp3lame's int counts.
constexpr uint32_t MaxChunkSamples = 1u << 26;

// The rates an MPEG-1, -2 or -2.5 Layer III stream can carry. libmp3lame would silently
// resample to the nearest of them; the interface promises no resampling, so others are refused.
constexpr std::array<uint32_t, 9> Mp3Rates = {8000,  11025, 12000, 16000, 22050,
                                              24000, 32000, 44100, 48000};

bool isMp3Rate(uint32_t rate) {
    return std::find(Mp3Rates.begin(), Mp3Rates.end(), rate) != Mp3Rates.end();
}

bool setMode(lame_global_flags* gf, int32_t mode) {
    switch (mode) {
    case BE_MP3_MODE_STEREO:
        return lame_set_mode(gf, STEREO) == 0;
    case BE_MP3_MODE_JSTEREO:
        return lame_set_mode(gf, JOINT_STEREO) == 0;
    case BE_MP3_MODE_DUALCHANNEL:
        // libmp3lame 3.100 has no working dual-channel mode (it encodes it as plain stereo
        // at best), so ask for plain stereo: two independent channels, as dual channel is.
        return lame_set_mode(gf, STEREO) == 0;
    case BE_MP3_MODE_MONO:
        return lame_set_mode(gf, MONO) == 0;
    default:
        return false;
    }
}

void setBitrate(lame_global_flags* gf, const TLHV1& c) {
    if (c.nPreset == LQP_CBR || !c.bEnableVBR) {
        lame_set_VBR(gf, vbr_off);
        lame_set_brate(gf, static_cast<int>(c.dwBitrate));
        return;
    }
    lame_set_VBR_min_bitrate_kbps(gf, static_cast<int>(c.dwBitrate));
    lame_set_VBR_max_bitrate_kbps(gf, static_cast<int>(c.dwMaxBitrate));
    if (c.nPreset == LQP_ABR) {
        lame_set_VBR(gf, vbr_abr);
        const uint32_t mean = c.dwVbrAbr_bps ? c.dwVbrAbr_bps / 1000 : c.dwBitrate;
        lame_set_VBR_mean_bitrate_kbps(gf, static_cast<int>(mean));
    } else {
        lame_set_VBR(gf, vbr_default);
        lame_set_VBR_q(gf, c.nVBRQuality);
    }
}

} // namespace

uint32_t beMaxChunkOutput(uint32_t nSamples, uint32_t channels) {
    const uint64_t perChannel = nSamples / std::max<uint32_t>(channels, 1);
    return static_cast<uint32_t>(perChannel + (perChannel + 3) / 4 + 7200);
}

BE_ERR beInitStream(const TBECONFIG* pbeConfig, uint32_t* dwSamples, uint32_t* dwBufferSize,
                    HBE_STREAM* phbeStream) {
    if (!pbeConfig || !dwSamples || !dwBufferSize || !phbeStream)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *phbeStream = nullptr;
    if (pbeConfig->dwConfig != BE_CONFIG_LAME)
        return BE_ERR_INVALID_FORMAT;
    const TLHV1& c = pbeConfig->format.LHV1;
    if (c.dwStructVersion < BE_CONFIG_VERSION || c.dwStructSize != sizeof(TBECONFIG))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;

    const uint32_t outRate = c.dwReSampleRate ? c.dwReSampleRate : c.dwSampleRate;
    if (!isMp3Rate(c.dwSampleRate) || !isMp3Rate(outRate))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    // libmp3lame derives the MPEG version from the output rate; a record asking for another
    // version cannot be honoured.
    const bool mpeg1 = outRate >= 32000;
    if ((c.dwMpegVersion == MPEG1) != mpeg1)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;

    auto stream = std::unique_ptr<BeStream>(new (std::nothrow) BeStream);
    if (!stream)
        return BE_ERR_NO_MORE_HANDLES;
    stream->lame.reset(lame_init());
    lame_global_flags* gf = stream->lame.get();
    if (!gf)
        return BE_ERR_NO_MORE_HANDLES;

    stream->channels = c.nMode == BE_MP3_MODE_MONO ? 1 : 2;
    lame_set_num_channels(gf, static_cast<int>(stream->channels));
    lame_set_in_samplerate(gf, static_cast<int>(c.dwSampleRate));
    lame_set_out_samplerate(gf, static_cast<int>(outRate));
    if (!setMode(gf, c.nMode))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    setBitrate(gf, c);
    lame_set_copyright(gf, c.bCopyright ? 1 : 0);
    lame_set_original(gf, c.bOriginal ? 1 : 0);
    lame_set_error_protection(gf, c.bCRC ? 1 : 0);
    lame_set_extension(gf, c.bPrivate ? 1 : 0);
    lame_set_emphasis(gf, static_cast<int>(c.dwEmphasis));
    lame_set_strict_ISO(gf, c.bStrictIso ? 1 : 0);
    lame_set_disable_reservoir(gf, c.bNoRes ? 1 : 0);
    lame_set_quality(gf, c.nQuality <= 9 ? c.nQuality : 5);
    // The interface's callers write frames straight to the file and never go back, so the
    // Xing/LAME tag frame could never be filled in.
    lame_set_bWriteVbrTag(gf, 0);

    if (lame_init_params(gf) < 0)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    if (lame_get_out_samplerate(gf) != static_cast<int>(outRate))
        return BE_ERR_INVALID_FORMAT_PARAMETERS;

    *dwSamples = static_cast<uint32_t>(lame_get_framesize(gf)) * stream->channels;
    *dwBufferSize = beMaxChunkOutput(*dwSamples, stream->channels);
    *phbeStream = stream.release();
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beEncodeChunk(HBE_STREAM hbeStream, uint32_t nSamples, const int16_t* pSamples,
                     uint8_t* pOutput, uint32_t* pdwOutput) {
    if (!hbeStream || !hbeStream->lame)
        return BE_ERR_INVALID_HANDLE;
    if (!pdwOutput || !pOutput || (nSamples > 0 && !pSamples) || nSamples > MaxChunkSamples)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *pdwOutput = 0;
    const int frames = static_cast<int>(nSamples / hbeStream->channels);
    if (frames == 0)
        return BE_ERR_SUCCESSFUL;

    lame_global_flags* gf = hbeStream->lame.get();
    const int capacity = static_cast<int>(beMaxChunkOutput(nSamples, hbeStream->channels));
    int produced = 0;
    if (hbeStream->channels == 2) {
        // libmp3lame 3.100 declares the samples non-const but only reads them.
        produced = lame_encode_buffer_interleaved(gf, const_cast<int16_t*>(pSamples), frames,
                                                  pOutput, capacity);
    } else {
        produced = lame_encode_buffer(gf, pSamples, pSamples, frames, pOutput, capacity);
    }
    if (produced < 0)
        return produced == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS;
    *pdwOutput = static_cast<uint32_t>(produced);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beDeinitStream(HBE_STREAM hbeStream, uint8_t* pOutput, uint32_t* pdwOutput) {
    if (!hbeStream || !hbeStream->lame)
        return BE_ERR_INVALID_HANDLE;
    if (!pOutput || !pdwOutput)
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    *pdwOutput = 0;
    const int produced =
        lame_encode_flush(hbeStream->lame.get(), pOutput, static_cast<int>(BeFlushOutputSize));
    if (produced < 0)
        return produced == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS;
    *pdwOutput = static_cast<uint32_t>(produced);
    return BE_ERR_SUCCESSFUL;
}

BE_ERR beCloseStream(HBE_STREAM hbeStream) {
    if (!hbeStream)
        return BE_ERR_INVALID_HANDLE;
    delete hbeStream;
    return BE_ERR_SUCCESSFUL;
}
