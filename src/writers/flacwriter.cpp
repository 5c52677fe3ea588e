#include "flacwriter.h"

#include "settings/config.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const QString& message) {
    throw std::runtime_error(message.toStdString());
}

// Opens the file as libFLAC's own init_file would ("w+b": the encoder reads back and rewrites
// STREAMINFO at the end), but unbuffered: with a stdio buffer a crash would lose the frames
// still in it, and libFLAC hands over whole frames anyway. Null on failure.
FILE* openUnbuffered(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    int fd = -1;
    do {
        fd = ::open(name.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return nullptr;
    FILE* file = ::fdopen(fd, "w+b");
    if (!file) {
        ::close(fd);
        return nullptr;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

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
    // A file that cannot be created gets the status libFLAC gives when it cannot open one.
    FILE* file = openUnbuffered(filename);
    const int fd = file ? ::fileno(file) : -1;
    // From here the encoder owns the file and closes it when it finishes, also after a
    // failed initialisation.
    const FLAC__StreamEncoderInitStatus status =
        file ? m_api.FLAC__stream_encoder_init_FILE(e, file, nullptr, nullptr)
             : FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR;
    if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK)
        fail(QStringLiteral("Can not initialize FLAC encoder. Error code: ") +
             QStringLiteral("%1")
                 .arg(static_cast<uint32_t>(status), 8, 16, QLatin1Char('0'))
                 .toUpper());
    m_sync.attach(fd, static_cast<uint64_t>(m_pcm.nSamplesPerSec) * m_pcm.nBlockAlign);
}

TFLACwriter::~TFLACwriter() {
    close();
}

QString TFLACwriter::finishFile() {
    QString problem;
    // Finishing writes the last frame and completes STREAMINFO; the last sync comes after it.
    if (FLAC__StreamEncoder* e = encoder.release()) {
        if (!m_api.FLAC__stream_encoder_finish(e)) {
            const char* state = m_api.FLAC__stream_encoder_get_resolved_state_string(e);
            problem =
                QStringLiteral("The end of the audio could not be written: the encoder reports ") +
                QString::fromLatin1(state ? state : "an unknown error");
        }
        m_api.FLAC__stream_encoder_delete(e);
    }
    if (const QString failure = m_sync.finishAndWait(); problem.isEmpty())
        problem = failure;
    return problem;
}

std::unique_ptr<TAudioWriter> TFLACwriter::create(const QString& filename,
                                                  const tWAVEFORMATEX& pcm) {
    return std::make_unique<TFLACwriter>(filename, pcm);
}

int32_t TFLACwriter::write(const void* P, uint32_t size) {
    if (const QString failure = m_sync.failure(fname); !failure.isEmpty())
        fail(failure);
    const uint32_t frames = m_pcm.nBlockAlign ? size / m_pcm.nBlockAlign : 0;
    const size_t n = static_cast<size_t>(frames) * m_pcm.nChannels;
    m_samples.resize(n);
    convertSamples(static_cast<const uint8_t*>(P), n, m_pcm.wBitsPerSample, m_samples.data());
    if (!m_api.FLAC__stream_encoder_process_interleaved(encoder.get(), m_samples.data(), frames)) {
        const char* state = m_api.FLAC__stream_encoder_get_resolved_state_string(encoder.get());
        fail(QStringLiteral("Failed to write FLAC data to file %1: the encoder reports %2")
                 .arg(fname, QString::fromLatin1(state ? state : "an unknown error")));
    }
    if (m_sync.secondPassed(size))
        m_sync.request();
    return 0;
}
