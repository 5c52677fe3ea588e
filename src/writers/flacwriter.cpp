#include "flacwriter.h"

#include "settings/config.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const QString& message) {
    throw std::runtime_error(message.toStdString());
}

// Opens the file for writing and for reading back STREAMINFO. Every frame is written with one
// system call as libFLAC hands it over, so a crash loses no frame that was encoded. -1 on
// failure, with errno set.
int openOutput(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    int fd = -1;
    do {
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// STREAMINFO's data follows "fLaC" and its block header; libFLAC always writes it first.
constexpr int64_t StreamInfoAt = 8;
constexpr size_t StreamInfoSize = 34;

const FlacApi& boundApi() {
    const FlacBinding& binding = flacBinding();
    if (!binding.loaded)
        fail(binding.error);
    return binding.api;
}

} // namespace

void TFLACwriter::EncoderDeleter::operator()(FLAC__StreamEncoder* e) const {
    // libFLAC's finish is harmless on an encoder whose initialisation failed.
    if (e && api) {
        api->FLAC__stream_encoder_finish(e);
        api->FLAC__stream_encoder_delete(e);
    }
}

TFLACwriter::FileCloser::~FileCloser() {
    if (fd >= 0)
        ::close(fd);
}

void TFLACwriter::convertSamples(const uint8_t* in, size_t count, uint16_t bitsPerSample,
                                 int32_t* out) {
    switch (bitsPerSample) {
    case 8:
        for (size_t i = 0; i < count; ++i)
            out[i] = static_cast<int32_t>(in[i]) - 128;
        break;
    case 16:
        for (size_t i = 0; i < count; ++i, in += 2)
            out[i] = static_cast<int16_t>(static_cast<uint16_t>(in[0] | in[1] << 8));
        break;
    case 24:
        for (size_t i = 0; i < count; ++i, in += 3) {
            // Shift into the top of a 32-bit word and back to extend the sign.
            const auto word = static_cast<uint32_t>(in[0] << 8 | in[1] << 16) |
                              static_cast<uint32_t>(in[2]) << 24;
            out[i] = static_cast<int32_t>(word) >> 8;
        }
        break;
    default:
        for (size_t i = 0; i < count; ++i)
            out[i] = 0;
        break;
    }
}

TFLACwriter::TFLACwriter(const QString& filename, const tWAVEFORMATEX& pcm, const FlacApi* api)
    : TAudioWriter(filename), m_api(api ? *api : boundApi()), m_pcm(pcm),
      encoder(nullptr, EncoderDeleter{&m_api}) {
    // write() converts whole frames of 8, 16 or 24-bit samples; nothing else is defined.
    const uint16_t bits = m_pcm.wBitsPerSample;
    if ((bits != 8 && bits != 16 && bits != 24) || m_pcm.nChannels == 0 ||
        m_pcm.nBlockAlign != m_pcm.nChannels * (bits / 8))
        fail(QStringLiteral("FLAC output needs 8, 16 or 24-bit samples; this format has %1 bits.")
                 .arg(bits));

    encoder.reset(m_api.FLAC__stream_encoder_new());
    if (!encoder)
        fail(QStringLiteral("Can not create FLAC encoder: not enough memory"));

    FLAC__StreamEncoder* e = encoder.get();
    // Each setting is checked by the initialisation below, which reports any it refuses.
    m_api.FLAC__stream_encoder_set_verify(e, false);
    m_api.FLAC__stream_encoder_set_streamable_subset(e, false);
    m_api.FLAC__stream_encoder_set_compression_level(e, static_cast<uint32_t>(config.flaclevel));
    m_api.FLAC__stream_encoder_set_channels(e, m_pcm.nChannels);
    m_api.FLAC__stream_encoder_set_bits_per_sample(e, m_pcm.wBitsPerSample);
    m_api.FLAC__stream_encoder_set_sample_rate(e, m_pcm.nSamplesPerSec);

    lockOutput(filename);
    m_file.fd = openOutput(filename);
    const int openError = m_file.fd < 0 ? errno : 0;
    // A file that cannot be created gets the status libFLAC gives when it cannot open one.
    const FLAC__StreamEncoderInitStatus status =
        m_file.fd >= 0 ? m_api.FLAC__stream_encoder_init_stream(e, writeCallback, seekCallback,
                                                                tellCallback, nullptr, this)
                       : FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR;
    if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        QString message = QStringLiteral("Can not initialize FLAC encoder. Error code: ") +
                          QStringLiteral("%1")
                              .arg(static_cast<uint32_t>(status), 8, 16, QLatin1Char('0'))
                              .toUpper();
        if (openError != 0)
            message += QStringLiteral(". Cannot create file \"%1\": %2")
                           .arg(filename, QString::fromLocal8Bit(std::strerror(openError)));
        else if (m_errno != 0)
            message +=
                QStringLiteral(". Cannot write file \"%1\": %2").arg(filename, systemError());
        fail(message);
    }
    m_sync.attach(m_file.fd, static_cast<uint64_t>(m_pcm.nSamplesPerSec) * m_pcm.nBlockAlign);
}

TFLACwriter::~TFLACwriter() {
    close();
}

QString TFLACwriter::finishFile() {
    QString problem;
    // Finishing writes the last frame and completes STREAMINFO; the last sync comes after it.
    // After a refused frame libFLAC writes nothing more: write() has reported that failure.
    if (FLAC__StreamEncoder* e = encoder.release()) {
        if (!m_api.FLAC__stream_encoder_finish(e)) {
            const char* state = m_api.FLAC__stream_encoder_get_resolved_state_string(e);
            problem =
                QStringLiteral("The end of the audio could not be written: the encoder reports ") +
                QString::fromLatin1(state ? state : "an unknown error");
            if (m_errno != 0)
                problem += QStringLiteral(": ") + systemError();
        }
        m_api.FLAC__stream_encoder_delete(e);
    }
    if (const QString failure = m_sync.finishAndWait(); problem.isEmpty())
        problem = failure;
    if (m_file.fd >= 0) {
        // close() is not retried on EINTR: on Linux the descriptor is gone either way.
        const int result = ::close(m_file.fd);
        m_file.fd = -1;
        if (result != 0 && errno != EINTR && problem.isEmpty())
            problem = QStringLiteral("The file could not be closed: ") +
                      QString::fromLocal8Bit(std::strerror(errno));
    }
    return problem;
}

std::unique_ptr<TAudioWriter> TFLACwriter::create(const QString& filename,
                                                  const tWAVEFORMATEX& pcm) {
    return std::make_unique<TFLACwriter>(filename, pcm);
}

int32_t TFLACwriter::write(const void* P, uint32_t size) {
    // Frames after a gap would play as if nothing were missing; refuse them instead.
    if (m_errno != 0)
        failWrite();
    if (const QString failure = m_sync.failure(fname); !failure.isEmpty())
        fail(failure);
    const uint32_t frames = m_pcm.nBlockAlign ? size / m_pcm.nBlockAlign : 0;
    const size_t n = static_cast<size_t>(frames) * m_pcm.nChannels;
    const auto* bytes = static_cast<const uint8_t*>(P);
    m_samples.resize(n);
    convertSamples(bytes, n, m_pcm.wBitsPerSample, m_samples.data());

    // The frames' MD5 takes the samples as little-endian signed integers of whole bytes: the
    // input's own bytes, with 8-bit samples made signed.
    m_unhashed.erase(m_unhashed.begin(), m_unhashed.begin() + static_cast<ptrdiff_t>(m_hashed));
    m_hashed = 0;
    const size_t before = m_unhashed.size();
    m_unhashed.insert(m_unhashed.end(), bytes,
                      bytes + static_cast<size_t>(frames) * m_pcm.nBlockAlign);
    if (m_pcm.wBitsPerSample == 8)
        for (size_t i = before; i < m_unhashed.size(); ++i)
            m_unhashed[i] ^= 0x80;

    if (!m_api.FLAC__stream_encoder_process_interleaved(encoder.get(), m_samples.data(), frames))
        failWrite();
    if (m_sync.secondPassed(size))
        m_sync.request();
    return 0;
}

void TFLACwriter::failWrite() {
    const char* state = m_api.FLAC__stream_encoder_get_resolved_state_string(encoder.get());
    QString message = QStringLiteral("Failed to write FLAC data to file %1: the encoder reports %2")
                          .arg(fname, QString::fromLatin1(state ? state : "an unknown error"));
    if (m_errno != 0)
        message += QStringLiteral(": ") + systemError();
    fail(message);
}

FLAC__StreamEncoderWriteStatus TFLACwriter::writeCallback(const FLAC__StreamEncoder*,
                                                          const FLAC__byte buffer[], size_t bytes,
                                                          uint32_t samples, uint32_t,
                                                          void* client) {
    return static_cast<TFLACwriter*>(client)->writeBytes(buffer, bytes, samples)
               ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK
               : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
}

FLAC__StreamEncoderSeekStatus TFLACwriter::seekCallback(const FLAC__StreamEncoder*, FLAC__uint64 to,
                                                        void* client) {
    // Only finishing seeks, back to STREAMINFO; the writes go to the position.
    static_cast<TFLACwriter*>(client)->m_position = static_cast<int64_t>(to);
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus TFLACwriter::tellCallback(const FLAC__StreamEncoder*,
                                                        FLAC__uint64* position, void* client) {
    *position = static_cast<FLAC__uint64>(static_cast<TFLACwriter*>(client)->m_position);
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

bool TFLACwriter::writeBytes(const uint8_t* data, size_t bytes, uint32_t samples) noexcept {
    const int64_t start = m_position;
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::pwrite(m_file.fd, data + done, bytes - done,
                                   static_cast<off_t>(start + static_cast<int64_t>(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_errno = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    m_position = start + static_cast<int64_t>(done);
    if (done < bytes) {
        // A frame is appended; metadata is rewritten in place, where there is nothing to cut.
        if (samples > 0)
            sealAt(start);
        return false;
    }
    if (samples > 0) {
        const auto size = static_cast<uint32_t>(bytes);
        m_minFrame = m_samplesInFile == 0 ? size : std::min(m_minFrame, size);
        m_maxFrame = std::max(m_maxFrame, size);
        m_samplesInFile += samples;
        const size_t length = std::min(static_cast<size_t>(samples) * m_pcm.nBlockAlign,
                                       m_unhashed.size() - m_hashed);
        m_md5.addData(QByteArrayView(reinterpret_cast<const char*>(m_unhashed.data() + m_hashed),
                                     static_cast<qsizetype>(length)));
        m_hashed += length;
        audioReachedFile();
    }
    return true;
}

void TFLACwriter::sealAt(int64_t end) noexcept {
    // Cut the partial frame off, so that the file ends with a whole frame. Should even that
    // fail, the file is left as it is: nothing more can be written to it now.
    if (::ftruncate(m_file.fd, static_cast<off_t>(end)) != 0)
        return;
    m_position = end;
    if (m_samplesInFile == 0)
        return; // STREAMINFO as written at the start already describes no audio.
    uint8_t info[StreamInfoSize];
    if (::pread(m_file.fd, info, sizeof info, StreamInfoAt) != static_cast<ssize_t>(sizeof info))
        return;
    for (int i = 0; i < 3; ++i) {
        info[4 + i] = static_cast<uint8_t>(m_minFrame >> (16 - 8 * i));
        info[7 + i] = static_cast<uint8_t>(m_maxFrame >> (16 - 8 * i));
    }
    // Bytes 13 to 17 hold the 36-bit sample count, the first of them shared with the sample
    // size.
    info[13] = static_cast<uint8_t>((info[13] & 0xF0) | ((m_samplesInFile >> 32) & 0x0F));
    for (int i = 0; i < 4; ++i)
        info[14 + i] = static_cast<uint8_t>(m_samplesInFile >> (24 - 8 * i));
    const QByteArrayView md5 = m_md5.resultView();
    std::memcpy(info + 18, md5.data(), std::min<size_t>(16, static_cast<size_t>(md5.size())));
    // A STREAMINFO that cannot be written keeps its zeros, which mean "unknown".
    (void)::pwrite(m_file.fd, info, sizeof info, StreamInfoAt);
}

QString TFLACwriter::systemError() const {
    return QString::fromLocal8Bit(std::strerror(m_errno));
}
