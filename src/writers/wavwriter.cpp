#include "wavwriter.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Flag values of the conversion service, kept so that the flag handling reads as it would
// against a real codec.
constexpr uint32_t ConvertBlockAlign = 4;
constexpr uint32_t ConvertStart = 16;
constexpr uint32_t ConvertEnd = 32;

constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

constexpr uint32_t FourccRiff = fourcc('R', 'I', 'F', 'F');
constexpr uint32_t FourccWave = fourcc('W', 'A', 'V', 'E');
constexpr uint32_t FourccFmt = fourcc('f', 'm', 't', ' ');
constexpr uint32_t FourccFact = fourcc('f', 'a', 'c', 't');
constexpr uint32_t FourccData = fourcc('d', 'a', 't', 'a');

// The largest size a chunk header can state.
constexpr uint64_t MaxChunkSize = 0xFFFFFFFFu;

void putLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The 18-byte little-endian image of a format descriptor, as it is stored in a `fmt ` chunk.
constexpr uint32_t FormatImageSize = 18;

void serialiseFormat(const tWAVEFORMATEX& f, uint8_t* out) {
    putLe16(out, f.wFormatTag);
    putLe16(out + 2, f.nChannels);
    putLe32(out + 4, f.nSamplesPerSec);
    putLe32(out + 8, f.nAvgBytesPerSec);
    putLe16(out + 12, f.nBlockAlign);
    putLe16(out + 14, f.wBitsPerSample);
    putLe16(out + 16, f.cbSize);
}

// Writes all of `size` bytes unless the file refuses them; returns how many were written.
size_t writeAll(int fd, const uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

size_t pwriteAll(int fd, const uint8_t* data, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

// A pass-through conversion stream: the destination format is a copy of the source, so
// "converting" copies whole frames. It stands where a codec's stream would, with the same
// questions asked of it, so that a compressed destination would only change these helpers.

// The size the service declares for a format tag's descriptor: 16 for PCM (no extra-size
// field); other tags keep the full 18-byte descriptor.
bool formatTagSize(uint16_t tag, uint32_t& size) {
    size = tag == WAVE_FORMAT_PCM ? 16 : FormatImageSize;
    return true;
}

bool isUsablePcm(const tWAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && f.nChannels > 0 && f.nSamplesPerSec > 0 &&
           f.wBitsPerSample > 0 && f.nBlockAlign == f.nChannels * ((f.wBitsPerSample + 7) / 8);
}

bool openStream(const tWAVEFORMATEX& src, const tWAVEFORMATEX& dst) {
    // Field by field: the descriptor has padding bytes that a copy need not carry.
    return isUsablePcm(src) && src.wFormatTag == dst.wFormatTag && src.nChannels == dst.nChannels &&
           src.nSamplesPerSec == dst.nSamplesPerSec && src.nAvgBytesPerSec == dst.nAvgBytesPerSec &&
           src.nBlockAlign == dst.nBlockAlign && src.wBitsPerSample == dst.wBitsPerSample &&
           src.cbSize == dst.cbSize;
}

bool streamSize(uint32_t srcBytes, uint32_t& dstBytes) {
    dstBytes = srcBytes;
    return true;
}

struct ConversionHeader {
    const uint8_t* src = nullptr;
    uint32_t srcLength = 0;
    uint32_t srcLengthUsed = 0;
    uint8_t* dst = nullptr;
    uint32_t dstLength = 0;
    uint32_t dstLengthUsed = 0;
};

bool prepareHeader(const ConversionHeader& h) {
    return h.src != nullptr && h.dst != nullptr;
}

bool convert(ConversionHeader& h, uint32_t flags, uint16_t blockAlign) {
    uint32_t n = std::min(h.srcLength, h.dstLength);
    if (flags & ConvertBlockAlign)
        n -= n % blockAlign;
    if (n > 0)
        std::memcpy(h.dst, h.src, n);
    h.srcLengthUsed = n;
    h.dstLengthUsed = n;
    return true;
}

[[noreturn]] void fail(const char* message) {
    throw EMakerError(QString::fromLatin1(message), -1);
}

// A failure of the file itself also names the system's reason (a full disk, no permission).
[[noreturn]] void fail(const char* message, int error) {
    throw EMakerError(QStringLiteral("%1: %2").arg(QLatin1String(message),
                                                   QString::fromLocal8Bit(std::strerror(error))),
                      -1);
}

} // namespace

TWAVWriter::TWAVWriter(const QString& filename, const tWAVEFORMATEX& pcm)
    : TAudioWriter(filename), PCM(pcm) {
    // A constructor that throws does not run the destructor, so release here what was
    // acquired; the file, once created, stays on disk.
    try {
        DstFmt = PCM;
        SrcBytes = 0;
        ConvertedSamples = 0;
        ConvertFlags = ConvertStart | ConvertBlockAlign;

        if (!openStream(PCM, DstFmt))
            fail("Can not open conversion stream");
        stream = true;

        // 100 ms of source audio rounded to the nearest frame, in 32-bit unsigned arithmetic.
        uint32_t frames = (PCM.nSamplesPerSec * 100u + 500u) / 1000u;
        if (frames < 1)
            frames = 1;
        SrcBufferSize = frames * PCM.nBlockAlign;
        SrcBuffer.reset(new (std::nothrow) uint8_t[SrcBufferSize]);
        if (!SrcBuffer)
            fail("Not enougth memory for source buffer");

        if (!streamSize(SrcBufferSize, DstBufferSize))
            fail("Can not get size of destination buffer");
        if (DstBufferSize == 0)
            fail("Source buffer to small for conversion");
        DstBuffer.reset(new (std::nothrow) uint8_t[DstBufferSize]);
        if (!DstBuffer)
            fail("Not enougth memory for destination buffer");

        WriteHeader();
    } catch (...) {
        close();
        throw;
    }
}

TWAVWriter::~TWAVWriter() {
    close();
}

std::unique_ptr<TAudioWriter> TWAVWriter::create(const QString& filename,
                                                 const tWAVEFORMATEX& pcm) {
    return std::make_unique<TWAVWriter>(filename, pcm);
}

int64_t TWAVWriter::writeBytes(const void* data, uint32_t size) {
    return static_cast<int64_t>(writeAll(wfile, static_cast<const uint8_t*>(data), size));
}

int TWAVWriter::createChunk(Chunk& ck, ChunkKind kind) {
    uint8_t head[12];
    uint32_t headSize = 8;
    if (kind == ChunkKind::Riff) {
        ck.ckid = FourccRiff;
        putLe32(head + 8, ck.fccType);
        headSize = 12;
    }
    putLe32(head, ck.ckid);
    putLe32(head + 4, ck.cksize);
    const off_t start = ::lseek(wfile, 0, SEEK_CUR);
    if (start < 0)
        return 1;
    if (writeAll(wfile, head, headSize) != headSize)
        return 1;
    // The RIFF chunk's form type belongs to its data, as in the multimedia file service.
    ck.dwDataOffset = start + 8;
    ck.created = true;
    return 0;
}

int TWAVWriter::ascend(Chunk& ck) {
    if (!ck.created)
        return 1;
    const off_t end = ::lseek(wfile, 0, SEEK_CUR);
    if (end < ck.dwDataOffset)
        return 1;
    const uint64_t size = static_cast<uint64_t>(end - ck.dwDataOffset);
    const uint32_t stated = static_cast<uint32_t>(std::min(size, MaxChunkSize));
    int status = 0;
    if (stated != ck.cksize) {
        uint8_t buf[4];
        putLe32(buf, stated);
        if (pwriteAll(wfile, buf, 4, static_cast<off_t>(ck.dwDataOffset - 4)) == 4)
            ck.cksize = stated;
        else
            status = 1;
    }
    if (size & 1) {
        const uint8_t pad = 0;
        if (writeAll(wfile, &pad, 1) != 1)
            status = 1;
    }
    return status;
}

void TWAVWriter::WriteHeader() {
    uint32_t fmtSize = 0;
    if (!formatTagSize(DstFmt.wFormatTag, fmtSize) || fmtSize > FormatImageSize)
        fail("Unable to get size of format description");

    lockOutput(fname);
    const QByteArray path = QFile::encodeName(fname);
    do {
        wfile = ::open(path.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (wfile < 0 && errno == EINTR);
    if (wfile < 0)
        fail("Can not open file", errno);

    RiffChunk = {};
    FactChunk = {};
    DataChunk = {};
    Chunk fmtChunk;

    // Every step adds its status (0 on success) or its shortfall, so that one test at the end
    // catches any of them.
    int64_t sum = 0;
    errno = 0;
    RiffChunk.fccType = FourccWave;
    sum += createChunk(RiffChunk, ChunkKind::Riff);

    fmtChunk.ckid = FourccFmt;
    fmtChunk.cksize = fmtSize;
    sum += createChunk(fmtChunk, ChunkKind::Plain);
    uint8_t image[FormatImageSize];
    serialiseFormat(DstFmt, image);
    sum += writeBytes(image, fmtSize) - fmtSize;
    sum += ascend(fmtChunk);

    // A compressed destination needs the count of source frames; PCM states it by its size.
    if (DstFmt.wFormatTag != WAVE_FORMAT_PCM) {
        FactChunk.ckid = FourccFact;
        FactChunk.cksize = 4;
        sum += createChunk(FactChunk, ChunkKind::Plain);
        uint8_t count[4];
        putLe32(count, ConvertedSamples);
        sum += writeBytes(count, 4) - 4;
    }

    DataChunk.ckid = FourccData;
    DataChunk.cksize = 0;
    sum += createChunk(DataChunk, ChunkKind::Plain);

    if (sum != 0)
        fail("Can not create file header", errno != 0 ? errno : ENOSPC);

    m_sync.attach(wfile, static_cast<uint64_t>(DstFmt.nSamplesPerSec) * DstFmt.nBlockAlign);
}

void TWAVWriter::updateSizes() noexcept {
    // The sizes describe the file as it is now, as closing would; a failure is left for
    // closing (or the repair after a crash) to put right.
    const off_t end = ::lseek(wfile, 0, SEEK_CUR);
    for (Chunk* ck : {&DataChunk, &RiffChunk}) {
        if (!ck->created || end < ck->dwDataOffset)
            continue;
        const uint64_t size = static_cast<uint64_t>(end - ck->dwDataOffset);
        const uint32_t stated = static_cast<uint32_t>(std::min(size, MaxChunkSize));
        if (stated == ck->cksize)
            continue;
        uint8_t buf[4];
        putLe32(buf, stated);
        if (pwriteAll(wfile, buf, 4, static_cast<off_t>(ck->dwDataOffset - 4)) == 4)
            ck->cksize = stated;
    }
    if (FactChunk.created) {
        uint8_t count[4];
        putLe32(count, ConvertedSamples);
        pwriteAll(wfile, count, 4, static_cast<off_t>(FactChunk.dwDataOffset));
    }
}

int32_t TWAVWriter::write(const void* data, uint32_t size) {
    // After a refused write the file ends with the last whole frame that went in; appending
    // more would leave a gap in the middle of the recording.
    if (m_writeFailed)
        failWrite();
    if (const QString failure = m_sync.failure(fname); !failure.isEmpty())
        throw EMakerError(failure, -1);

    returnsize = 0;
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t remaining = size;
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, SrcBufferSize - SrcBytes);
        if (n > 0)
            std::memcpy(SrcBuffer.get() + SrcBytes, p, n);
        SrcBytes += n;
        p += n;
        remaining -= n;
        if (SrcBytes == SrcBufferSize)
            ConvertBuffer();
    }
    return returnsize;
}

void TWAVWriter::ConvertBuffer(ConvertMode mode) {
    ConversionHeader header;
    header.src = SrcBuffer.get();
    header.srcLength = SrcBytes;
    header.dst = DstBuffer.get();
    header.dstLength = DstBufferSize;

    uint32_t flags = ConvertFlags;
    if (mode == ConvertMode::Final)
        flags = (flags & ~ConvertBlockAlign) | ConvertEnd;

    if (!prepareHeader(header))
        fail("Can not preapre stream header");
    const bool converted = convert(header, flags, DstFmt.nBlockAlign);
    ConvertFlags &= ~ConvertStart;
    if (!converted)
        fail("Can not convert data");
    if (header.srcLengthUsed == 0 && header.dstLengthUsed == 0)
        fail("Destination buffer to small for conversion");

    ConvertedSamples += header.srcLengthUsed / PCM.nBlockAlign;

    if (header.dstLengthUsed > 0) {
        const off_t start = ::lseek(wfile, 0, SEEK_CUR);
        const int64_t written = writeBytes(DstBuffer.get(), header.dstLengthUsed);
        returnsize += static_cast<int32_t>(header.dstLengthUsed);
        if (written < header.dstLengthUsed) {
            m_writeFailed = true;
            m_writeErrno = errno;
            // Cut a partly written frame off again, so that the data chunk holds whole
            // frames only and its size stays consistent with the format.
            const uint16_t align = std::max<uint16_t>(DstFmt.nBlockAlign, 1);
            if (start >= DataChunk.dwDataOffset) {
                const off_t data = start + static_cast<off_t>(written) - DataChunk.dwDataOffset;
                const off_t end = DataChunk.dwDataOffset + data - data % align;
                if (::ftruncate(wfile, end) == 0)
                    ::lseek(wfile, end, SEEK_SET);
                if (end > DataChunk.dwDataOffset)
                    audioReachedFile();
            }
            failWrite();
        }
        audioReachedFile();
        if (m_sync.secondPassed(header.dstLengthUsed)) {
            updateSizes();
            m_sync.request();
        }
    }

    SrcBytes -= header.srcLengthUsed;
    if (SrcBytes > 0)
        std::memmove(SrcBuffer.get(), SrcBuffer.get() + header.srcLengthUsed, SrcBytes);
}

void TWAVWriter::failWrite() {
    m_writeFailed = true;
    fail("Failed to write data to file", m_writeErrno);
}

QString TWAVWriter::finishFile() {
    QString problem;
    const auto note = [&problem](const char* what, int error) {
        if (problem.isEmpty())
            problem = QStringLiteral("%1: %2").arg(QLatin1String(what),
                                                   QString::fromLocal8Bit(std::strerror(error)));
    };
    if (wfile >= 0) {
        // The last, partly filled buffer is written too; without this a recording would lose
        // up to 100 ms at its end.
        if (!m_writeFailed && stream && DataChunk.created && SrcBytes > 0) {
            try {
                ConvertBuffer(ConvertMode::Final);
            } catch (...) {
                // The file keeps what was written; the sizes are completed below.
                note("The end of the audio could not be written", m_writeErrno);
            }
        }
        if (DataChunk.created && ascend(DataChunk) != 0)
            note("The file's sizes could not be written", errno);
        if (RiffChunk.created && ascend(RiffChunk) != 0)
            note("The file's sizes could not be written", errno);
        if (DstFmt.wFormatTag != WAVE_FORMAT_PCM && FactChunk.created) {
            uint8_t count[4];
            putLe32(count, ConvertedSamples);
            if (pwriteAll(wfile, count, 4, static_cast<off_t>(FactChunk.dwDataOffset)) != 4)
                note("The file's sizes could not be written", errno);
        }
        if (const QString failure = m_sync.finishAndWait(); problem.isEmpty())
            problem = failure;
        if (::close(wfile) != 0)
            note("The file could not be closed", errno);
        wfile = -1;
    }
    stream = false;
    SrcBuffer.reset();
    DstBuffer.reset();
    return problem;
}

uint64_t TWAVWriter::maxDataBytes() const {
    // Everything after the RIFF size field up to the samples counts in the RIFF size.
    const uint64_t header =
        DataChunk.created ? static_cast<uint64_t>(DataChunk.dwDataOffset) - 8 : 36;
    const uint64_t align = std::max<uint16_t>(DstFmt.nBlockAlign, 1);
    const uint64_t room = MaxChunkSize - header;
    return room - room % align;
}
