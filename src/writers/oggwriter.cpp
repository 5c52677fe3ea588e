#include "oggwriter.h"

#include "settings/config.h"

#include <chrono>
#include <random>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString& message) {
    throw std::runtime_error(message.toStdString());
}

// A serial number for the logical stream, 0 to 2147483646, drawn from a clock-seeded
// generator.
int streamSerial() {
    const auto now = std::chrono::system_clock::now().time_since_epoch().count();
    std::mt19937 rng(static_cast<std::mt19937::result_type>(now));
    return std::uniform_int_distribution<int>(0, 2147483646)(rng);
}

// The granule position of a page (bytes 6 to 13 of its header, little-endian); -1 when no
// packet ends on the page. Read directly so that the binding needs no more of libogg.
int64_t pageGranule(const ogg_page& page) {
    if (page.header_len < 14)
        return -1;
    uint64_t value = 0;
    for (int i = 13; i >= 6; --i)
        value = value << 8 | page.header[i];
    return static_cast<int64_t>(value);
}

} // namespace

QString TOGGwriter::oggName(const QString& name) {
    const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > slash)
        return name.left(dot) + QStringLiteral(".ogg");
    return name + QStringLiteral(".ogg");
}

TOGGwriter::TOGGwriter(const QString& filename, const tWAVEFORMATEX& pcm)
    : TAudioWriter(filename), m_pcm(pcm) {
    iname = oggName(filename);
    lockOutput(iname);
    oggfile = std::make_unique<OutputFile>();
    if (!oggfile->create(iname))
        fail(QStringLiteral("Cannot create file \"%1\". %2").arg(iname, oggfile->errorText()));

    const OggVorbisBinding& binding = oggVorbisBinding();
    if (!binding.loaded)
        fail(binding.error);
    m_api = &binding.api;
    // write() reads whole frames of signed 16-bit samples.
    if (m_pcm.wBitsPerSample != 16 || m_pcm.nChannels == 0 ||
        m_pcm.nBlockAlign != m_pcm.nChannels * 2)
        fail(QStringLiteral("Ogg Vorbis output needs 16-bit samples; this format has %1 bits.")
                 .arg(m_pcm.wBitsPerSample));

    initialized = InitEncoder();
}

TOGGwriter::~TOGGwriter() {
    close();
}

QString TOGGwriter::finishFile() {
    QString problem;
    if (initialized)
        problem = FinishStream();
    if (const QString failure = m_sync.finishAndWait(); problem.isEmpty())
        problem = failure;
    if (oggfile && !oggfile->close() && problem.isEmpty())
        problem = QStringLiteral("The file could not be closed: ") + oggfile->errorText();
    oggfile.reset();
    return problem;
}

std::unique_ptr<TAudioWriter> TOGGwriter::create(const QString& filename,
                                                 const tWAVEFORMATEX& pcm) {
    return std::make_unique<TOGGwriter>(filename, pcm);
}

bool TOGGwriter::InitEncoder() {
    const OggVorbisApi& a = *m_api;
    a.vorbis_info_init(&vi);
    const float quality = static_cast<float>(config.oggquality) / 10.0f;
    const int ret = a.vorbis_encode_init_vbr(&vi, m_pcm.nChannels,
                                             static_cast<long>(m_pcm.nSamplesPerSec), quality);
    if (ret != 0) {
        a.vorbis_info_clear(&vi);
        fail(QStringLiteral("Vorbis_encode_init_vbr failed: %1").arg(ret));
    }

    a.vorbis_comment_init(&vc);
    a.vorbis_comment_add_tag(&vc, "ENCODER", "Orvanta");
    if (a.vorbis_analysis_init(&vd, &vi) != 0) {
        a.vorbis_comment_clear(&vc);
        a.vorbis_info_clear(&vi);
        fail(QStringLiteral("Vorbis_analysis_init failed"));
    }
    a.vorbis_block_init(&vd, &vb);
    a.ogg_stream_init(&os, streamSerial());

    a.vorbis_analysis_headerout(&vd, &vc, &header, &header_comm, &header_code);
    a.ogg_stream_packetin(&os, &header);
    a.ogg_stream_packetin(&os, &header_comm);
    a.ogg_stream_packetin(&os, &header_code);

    // The headers get a page of their own, so that the audio starts on a fresh page.
    try {
        WritePages(PageMode::Flush);
    } catch (...) {
        releaseEncoder();
        throw;
    }
    m_sync.attach(oggfile->descriptor(),
                  static_cast<uint64_t>(m_pcm.nSamplesPerSec) * m_pcm.nBlockAlign);
    return true;
}

int32_t TOGGwriter::write(const void* P, uint32_t size) {
    if (m_writeFailed)
        failWrite();
    if (const QString failure = m_sync.failure(iname); !failure.isEmpty())
        fail(failure);

    const OggVorbisApi& a = *m_api;
    const uint32_t channels = m_pcm.nChannels;
    const auto frames = static_cast<int>(size / m_pcm.nBlockAlign);
    const auto* samples = static_cast<const int16_t*>(P);

    buffer = a.vorbis_analysis_buffer(&vd, frames);
    for (uint32_t c = 0; c < channels; ++c) {
        float* out = buffer[c];
        for (int j = 0; j < frames; ++j)
            out[j] =
                static_cast<float>(samples[static_cast<uint32_t>(j) * channels + c]) / 32768.0f;
    }
    a.vorbis_analysis_wrote(&vd, frames);
    const int32_t written = encodeBlocks();
    if (m_sync.secondPassed(size))
        m_sync.request();
    return written;
}

int32_t TOGGwriter::encodeBlocks() {
    const OggVorbisApi& a = *m_api;
    int32_t total = 0;
    while (a.vorbis_analysis_blockout(&vd, &vb) == 1) {
        a.vorbis_analysis(&vb, nullptr);
        a.vorbis_bitrate_addblock(&vb);
        while (a.vorbis_bitrate_flushpacket(&vd, &op) != 0) {
            a.ogg_stream_packetin(&os, &op);
            total += WritePages(PageMode::Complete);
            // libogg holds packets back until a page fills, which at a low bitrate takes
            // several seconds of audio that a crash would lose; a second is the most that may
            // wait.
            if (op.granulepos >= 0 &&
                op.granulepos - m_pageGranule >= static_cast<int64_t>(m_pcm.nSamplesPerSec))
                total += WritePages(PageMode::Flush);
        }
    }
    return total;
}

int32_t TOGGwriter::WritePages(PageMode mode) {
    const OggVorbisApi& a = *m_api;
    int32_t total = 0;
    for (;;) {
        const int got =
            mode == PageMode::Flush ? a.ogg_stream_flush(&os, &og) : a.ogg_stream_pageout(&os, &og);
        if (got == 0)
            return total;
        if (m_writeFailed)
            continue;
        const int64_t start = oggfile->size();
        const size_t head = oggfile->write(og.header, static_cast<size_t>(og.header_len));
        const size_t body = head == static_cast<size_t>(og.header_len)
                                ? oggfile->write(og.body, static_cast<size_t>(og.body_len))
                                : 0;
        writeCount = static_cast<int32_t>(head + body);
        total += writeCount;
        if (head != static_cast<size_t>(og.header_len) ||
            body != static_cast<size_t>(og.body_len)) {
            // Cut the partial page off, so that the file ends with a whole page.
            oggfile->truncate(start);
            failWrite();
        }
        const int64_t granule = pageGranule(og);
        if (granule >= 0)
            m_pageGranule = granule;
        // The header pages end at granule 0.
        if (granule > 0)
            audioReachedFile();
    }
}

void TOGGwriter::failWrite() {
    m_writeFailed = true;
    fail(QStringLiteral("Failed to write Ogg Vorbis data to file %1: %2")
             .arg(iname, oggfile->errorText()));
}

QString TOGGwriter::FinishStream() noexcept {
    QString problem;
    if (m_writeFailed) {
        // The failure was reported by write(); the file keeps its whole pages.
    } else {
        try {
            m_api->vorbis_analysis_wrote(&vd, 0);
            encodeBlocks();
            WritePages(PageMode::Flush);
        } catch (...) {
            // A full disk at the end: the file keeps its whole pages.
            problem = QStringLiteral("The end of the audio could not be written: ") +
                      oggfile->errorText();
        }
    }
    releaseEncoder();
    return problem;
}

void TOGGwriter::releaseEncoder() noexcept {
    const OggVorbisApi& a = *m_api;
    a.vorbis_block_clear(&vb);
    a.vorbis_dsp_clear(&vd);
    a.vorbis_comment_clear(&vc);
    a.vorbis_info_clear(&vi);
    a.ogg_stream_clear(&os);
    initialized = false;
}
