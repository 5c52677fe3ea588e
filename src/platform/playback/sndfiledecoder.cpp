#include "sndfiledecoder.h"

#include "common/filename.h"

#include <sndfile.h>

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace playback {

void SndfileDecoder::Closer::operator()(sf_private_tag* file) const {
    sf_close(file);
}

std::unique_ptr<SndfileDecoder> SndfileDecoder::open(const QString& path, QString* error) {
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return nullptr;
    };
    // Open the descriptor ourselves so that the name goes to the kernel as the bytes the
    // file system holds, whatever the locale; libsndfile then owns and closes it. Opening a
    // pipe without O_NONBLOCK waits for a writer, which may never come.
    const QByteArray name = fileNameBytes(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return fail(QString::fromLocal8Bit(std::strerror(errno)) + QLatin1Char('.'));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("It is not a regular file, so it cannot be a recording."));
    }
    if (st.st_size == 0) {
        ::close(fd);
        return fail(QStringLiteral("The file is empty."));
    }
    // Reads of a regular file do not heed O_NONBLOCK; cleared so that libsndfile sees an
    // ordinary descriptor.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!file) {
        // sf_open_fd does not close the descriptor when it fails. sf_error_number gives a
        // constant text, unlike sf_strerror, whose buffer other threads' opens may overwrite.
        ::close(fd);
        return fail(QString::fromUtf8(sf_error_number(sf_error(nullptr))));
    }
    std::unique_ptr<SndfileDecoder> decoder(new SndfileDecoder);
    decoder->m_file.reset(file);
    if (info.samplerate <= 0 || info.channels <= 0 || info.channels > 32) {
        return fail(QStringLiteral("Its format is not playable (%1 channels at %2 Hz).")
                        .arg(info.channels)
                        .arg(info.samplerate));
    }
    decoder->m_sampleRate = info.samplerate;
    decoder->m_channels = info.channels;
    // libsndfile 1.2 reports an empty FLAC's length as SF_COUNT_MAX.
    decoder->m_announcedFrames =
        (info.frames >= 0 && info.frames != SF_COUNT_MAX) ? info.frames : -1;
    // libsndfile 1.2.0 gives a floating-point file's samples as 16-bit integers only badly:
    // unscaled they are +-1 (float WAV) or wrap around where a lossy decoder overshoots full
    // scale (Vorbis, with or without SFC_SET_CLIPPING), and SFC_SET_SCALE_FLOAT_INT_READ
    // divides the whole file by its peak, so a quiet file plays loud. Such files are read
    // as floats and clipped instead; integer files are read as they are stored.
    switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS:
    case SF_FORMAT_MPEG_LAYER_I:
    case SF_FORMAT_MPEG_LAYER_II:
    case SF_FORMAT_MPEG_LAYER_III:
        decoder->m_readFloats = true;
        break;
    default:
        break;
    }
    return decoder;
}

SndfileDecoder::~SndfileDecoder() = default;

int64_t SndfileDecoder::read(int16_t* samples, int64_t frames) {
    if (m_failed || frames <= 0) {
        return 0;
    }
    if (!m_readFloats) {
        const sf_count_t got = sf_readf_short(m_file.get(), samples, frames);
        return got > 0 ? got : 0;
    }
    m_floats.resize(static_cast<size_t>(frames * m_channels));
    const sf_count_t got = sf_readf_float(m_file.get(), m_floats.data(), frames);
    if (got <= 0) {
        return 0;
    }
    // Full scale is 32768, as libsndfile normalizes integer samples, so a 16-bit value
    // converted to float comes back unchanged.
    for (size_t i = 0; i < static_cast<size_t>(got * m_channels); ++i) {
        const float scaled = m_floats[i] * 32768.0f;
        // A NaN sample becomes silence.
        samples[i] =
            std::isnan(scaled)
                ? int16_t{0}
                : static_cast<int16_t>(std::lrint(std::clamp(scaled, -32768.0f, 32767.0f)));
    }
    return got;
}

bool SndfileDecoder::seek(int64_t frame) {
    m_failed = false;
    if (sf_seek(m_file.get(), frame, SEEK_SET) == frame) {
        return true;
    }
    // Some decoders refuse to seek (or past a damaged part); reading from the start gets
    // there sample-accurately, only slower.
    if (sf_seek(m_file.get(), 0, SEEK_SET) != 0) {
        m_failed = true;
        return false;
    }
    std::vector<int16_t> scratch(static_cast<size_t>(4096 * m_channels));
    int64_t remaining = frame;
    while (remaining > 0) {
        const int64_t got = read(scratch.data(), std::min<int64_t>(remaining, 4096));
        if (got == 0) {
            return false;
        }
        remaining -= got;
    }
    return true;
}

} // namespace playback
