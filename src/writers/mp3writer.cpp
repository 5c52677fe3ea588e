#include "mp3writer.h"

#include "mp3bitrate.h"
#include "settings/config.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>

namespace {

[[noreturn]] void fail(const QString& message) {
    throw std::runtime_error(message.toStdString());
}

} // namespace

TBECONFIG TMP3writer::makeConfig(uint32_t sampleRate) {
    TBECONFIG c{};
    TLHV1& l = c.format.LHV1;
    c.dwConfig = BE_CONFIG_LAME;
    l.dwStructVersion = BE_CONFIG_VERSION;
    l.dwStructSize = sizeof(TBECONFIG);
    l.dwSampleRate = sampleRate;
    l.dwReSampleRate = 0;
    l.nMode = BE_MP3_MODE_DUALCHANNEL;
    l.dwBitrate =
        static_cast<uint32_t>(Mp3BitrateKbps(config.bitrate, static_cast<int32_t>(sampleRate)));
    l.dwMaxBitrate = 320;
    switch (config.vbrmode) {
    case 0:
        l.nPreset = LQP_CBR;
        break;
    case 1:
        l.nPreset = LQP_NOPRESET;
        break;
    case 2:
        l.nPreset = LQP_ABR;
        break;
    default:
        l.nPreset = 0;
        break;
    }
    l.dwMpegVersion = sampleRate >= 32000 ? MPEG1 : MPEG2;
    l.dwPsyModel = 0;
    l.dwEmphasis = 0;
    l.bPrivate = 0;
    l.bCRC = 0;
    l.bCopyright = 0;
    l.bOriginal = -1;
    l.bWriteVBRHeader = config.vbrmode == 1 ? -1 : 0;
    l.bEnableVBR = config.vbrmode != 0 ? -1 : 0;
    l.nVBRQuality = 0;
    l.dwVbrAbr_bps = 0;
    l.nVbrMethod = VBR_METHOD_NONE;
    l.bNoRes = 0;
    l.bStrictIso = 0;
    l.nQuality = 5;
    return c;
}

TMP3writer::TMP3writer(const QString& filename, const tWAVEFORMATEX& pcm, const Mp3EncoderApi& api)
    : TAudioWriter(filename), m_api(api), m_pcm(pcm), BladeHandle(nullptr, {api.beCloseStream}) {
    const uint32_t rate = m_pcm.nSamplesPerSec;
    beConfig = makeConfig(rate);
    // The encoder takes interleaved 16-bit samples only; a mono capture is encoded as mono.
    if (m_pcm.nChannels == 1)
        beConfig.format.LHV1.nMode = BE_MP3_MODE_MONO;
    const bool usable = m_pcm.wBitsPerSample == 16 &&
                        (m_pcm.nChannels == 1 || m_pcm.nChannels == 2) &&
                        m_pcm.nBlockAlign == m_pcm.nChannels * 2;

    // rate x 16 bytes: about 10 seconds of output at the highest bitrate.
    m_bufferSize = rate <= UINT32_MAX / 16 ? rate * 16 : 0;
    if (m_bufferSize > BeFlushOutputSize)
        Mp3Buffer.reset(new (std::nothrow) uint8_t[m_bufferSize]);
    if (!Mp3Buffer)
        m_bufferSize = 0;

    BeStream* stream = nullptr;
    Err = usable && Mp3Buffer ? m_api.beInitStream(&beConfig, &NumSamples, &mp3bufferSize, &stream)
                              : BE_ERR_INVALID_FORMAT_PARAMETERS;
    BladeHandle.reset(stream);
    if (Err != BE_ERR_SUCCESSFUL || !BladeHandle)
        fail(QStringLiteral("MP3 encoding parameters incompatible with this samplerate: %1Hz")
                 .arg(rate));

    lockOutput(filename);
    mp3file = std::make_unique<OutputFile>();
    if (!mp3file->create(filename))
        fail(QStringLiteral("Can not create output file: ") + filename + QStringLiteral(": ") +
             mp3file->errorText());
    m_sync.attach(mp3file->descriptor(), static_cast<uint64_t>(rate) * m_pcm.nBlockAlign);
}

TMP3writer::~TMP3writer() {
    close();
}

QString TMP3writer::finishFile() {
    QString problem;
    if (BladeHandle) {
        dwWrite = 0;
        if (m_api.beDeinitStream(BladeHandle.get(), Mp3Buffer.get(), &dwWrite) !=
            BE_ERR_SUCCESSFUL) {
            problem = QStringLiteral("The encoder could not finish the last frames.");
        } else if (mp3file && !m_writeFailed && dwWrite > 0) {
            const int64_t start = mp3file->size();
            IsWritten = static_cast<uint32_t>(mp3file->write(Mp3Buffer.get(), dwWrite));
            if (IsWritten != dwWrite) {
                // As in write(): the file ends with a whole frame.
                problem = QStringLiteral("The end of the audio could not be written: ") +
                          mp3file->errorText();
                mp3file->truncate(start);
            } else {
                audioReachedFile();
            }
        }
        BladeHandle.reset();
    }
    if (const QString failure = m_sync.finishAndWait(); problem.isEmpty())
        problem = failure;
    if (mp3file && !mp3file->close() && problem.isEmpty())
        problem = QStringLiteral("The file could not be closed: ") + mp3file->errorText();
    mp3file.reset();
    Mp3Buffer.reset();
    return problem;
}

std::unique_ptr<TAudioWriter> TMP3writer::create(const QString& filename,
                                                 const tWAVEFORMATEX& pcm) {
    return std::make_unique<TMP3writer>(filename, pcm);
}

int32_t TMP3writer::write(const void* P, uint32_t size) {
    if (!BladeHandle)
        return -1;
    // Frames after a gap would play as if nothing were missing; refuse them instead.
    if (m_writeFailed)
        failWrite();
    if (const QString failure = m_sync.failure(fname); !failure.isEmpty())
        fail(failure);

    // The output buffer bounds one encoder call; a larger block is encoded in pieces, each
    // written before the next, so that no call can produce more than the buffer holds.
    const uint32_t channels = m_pcm.nChannels;
    const uint32_t maxFrames = (m_bufferSize - BeFlushOutputSize) / 5 * 4;
    const auto* samples = static_cast<const int16_t*>(P);
    uint32_t remaining = size / 2;
    int32_t total = 0;
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, maxFrames * channels);
        toWrite = 0;
        Err = m_api.beEncodeChunk(BladeHandle.get(), n, samples, Mp3Buffer.get(), &toWrite);
        if (Err != BE_ERR_SUCCESSFUL) {
            m_sync.finish();
            mp3file.reset();
            Mp3Buffer.reset();
            BladeHandle.reset();
            return -1;
        }
        const int64_t start = mp3file->size();
        IsWritten = static_cast<uint32_t>(mp3file->write(Mp3Buffer.get(), toWrite));
        if (IsWritten != toWrite) {
            // Cut the partial frame off, so that the file ends with a whole frame.
            mp3file->truncate(start);
            failWrite();
        }
        if (toWrite > 0)
            audioReachedFile();
        total += static_cast<int32_t>(toWrite);
        samples += n;
        remaining -= n;
    }
    if (m_sync.secondPassed(size))
        m_sync.request();
    return total;
}

void TMP3writer::failWrite() {
    m_writeFailed = true;
    fail(
        QStringLiteral("MP3 ebncoder data write error! %1: %2").arg(Err).arg(mp3file->errorText()));
}
