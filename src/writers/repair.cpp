#include "repair.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Every format is scanned with small reads through a window, never loaded whole: a recording
// can be gigabytes. The analysis only reads; what it finds wrong is collected as a plan of
// byte patches and a new length, which is applied in one go at the end. Applying a plan is
// idempotent, so a repair interrupted by another crash is simply done again next time.

namespace {

constexpr uint64_t MaxChunkSize = 0xFFFFFFFFu;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

std::vector<uint8_t> leBytes32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Reads a file through a window of a few hundred kilobytes.
class FileReader {
public:
    FileReader(int fd, int64_t size) : m_fd(fd), m_size(size), m_buffer(Window) {}

    int64_t size() const { return m_size; }
    /// The errno of a failed read, 0 when none failed.
    int error() const { return m_error; }

    /// `length` (at most the window) bytes at `offset`, or null when the file does not hold
    /// them all or they cannot be read.
    const uint8_t* at(int64_t offset, size_t length) {
        if (offset < 0 || length > Window || offset + static_cast<int64_t>(length) > m_size)
            return nullptr;
        if (offset >= m_base && offset + static_cast<int64_t>(length) <= m_base + m_filled)
            return m_buffer.data() + (offset - m_base);
        const auto want = static_cast<size_t>(std::min<int64_t>(Window, m_size - offset));
        size_t got = 0;
        while (got < want) {
            const ssize_t n = ::pread(m_fd, m_buffer.data() + got, want - got,
                                      static_cast<off_t>(offset + static_cast<int64_t>(got)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                m_error = n < 0 ? errno : EIO;
                m_filled = 0;
                return nullptr;
            }
            got += static_cast<size_t>(n);
        }
        m_base = offset;
        m_filled = static_cast<int64_t>(got);
        return m_buffer.data();
    }

    /// The byte at `offset`, or -1 past the end or on a read error.
    int byte(int64_t offset) {
        if (offset >= m_base && offset < m_base + m_filled)
            return m_buffer[static_cast<size_t>(offset - m_base)];
        const uint8_t* p = at(offset, 1);
        return p ? *p : -1;
    }

    static constexpr size_t Window = 256 * 1024;

private:
    int m_fd;
    int64_t m_size;
    std::vector<uint8_t> m_buffer;
    int64_t m_base = 0;
    int64_t m_filled = 0;
    int m_error = 0;
};

struct Patch {
    int64_t offset = 0;
    std::vector<uint8_t> bytes;
};

/// What a format's analysis found.
struct Plan {
    enum class Verdict { Whole, Repair, Unknown, Hopeless };
    Verdict verdict = Verdict::Whole;
    std::vector<Patch> patches;
    int64_t newSize = -1; ///< -1: the length stays
    QString what;         ///< for the detail text: what was wrong / why nothing can be done
};

Plan whole() {
    return {};
}

Plan hopeless(const QString& why) {
    Plan plan;
    plan.verdict = Plan::Verdict::Hopeless;
    plan.what = why;
    return plan;
}

// A file cut back to the end of its last whole page or frame.
Plan cutBack(int64_t newSize, int64_t size, const char* unit) {
    Plan plan;
    plan.verdict = Plan::Verdict::Repair;
    plan.newSize = newSize;
    plan.what = QStringLiteral("%1 bytes of an unfinished %2 were cut off")
                    .arg(size - newSize)
                    .arg(QLatin1String(unit));
    return plan;
}

Plan unknownFormat() {
    Plan plan;
    plan.verdict = Plan::Verdict::Unknown;
    return plan;
}

// ---------------------------------------------------------------------------------------------
// Tags other programs append at the end of compressed files (ID3v1, APEv2). They count as
// complete units: a file whose audio ends where they begin is whole.

int64_t tailTagStart(FileReader& r) {
    int64_t end = r.size();
    if (end >= 128) {
        const uint8_t* p = r.at(end - 128, 3);
        if (p && std::memcmp(p, "TAG", 3) == 0)
            end -= 128;
    }
    if (end >= 32) {
        const uint8_t* p = r.at(end - 32, 32);
        if (p && std::memcmp(p, "APETAGEX", 8) == 0) {
            const int64_t tagSize = le32(p + 12);
            const bool hasHeader = (le32(p + 20) & 0x80000000u) != 0;
            const int64_t start = end - tagSize - (hasHeader ? 32 : 0);
            if (tagSize >= 32 && start >= 0)
                end = start;
        }
    }
    return end;
}

// ---------------------------------------------------------------------------------------------
// WAV

bool isChunkId(const uint8_t* p) {
    return std::all_of(p, p + 4, [](uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

// True when [from, end of file) is a sequence of whole chunks (or nothing): then the data
// chunk's stated size is right and something else (a tag chunk, say) follows it.
bool chunksToEnd(FileReader& r, int64_t from) {
    int64_t pos = from;
    while (pos < r.size()) {
        const uint8_t* p = r.at(pos, 8);
        if (!p || !isChunkId(p))
            return false;
        const int64_t size = le32(p + 4);
        pos += 8 + size;
        if (pos == r.size())
            return true;
        pos += size & 1;
    }
    return pos == r.size();
}

Plan analyseWav(FileReader& r) {
    std::optional<uint16_t> blockAlign;
    uint16_t formatTag = 0;
    int64_t factAt = -1;
    int64_t pos = 12;
    uint32_t statedData = 0;
    for (;;) {
        const uint8_t* p = r.at(pos, 8);
        if (!p)
            return hopeless(QStringLiteral("it ends inside its header, so it holds no audio"));
        char id[4];
        std::memcpy(id, p, 4);
        const uint32_t size = le32(p + 4);
        if (std::memcmp(id, "data", 4) == 0) {
            statedData = size;
            break;
        }
        if (std::memcmp(id, "fmt ", 4) == 0 && size >= 14) {
            if (const uint8_t* f = r.at(pos + 8, 14)) {
                formatTag = le16(f);
                blockAlign = le16(f + 12);
            }
        } else if (std::memcmp(id, "fact", 4) == 0 && size >= 4) {
            factAt = pos + 8;
        }
        pos += 8 + static_cast<int64_t>(size) + (size & 1);
    }
    if (!blockAlign)
        return hopeless(QStringLiteral("it has no usable format description"));
    const uint8_t* riff = r.at(4, 4);
    if (!riff)
        return hopeless(QStringLiteral("it cannot be read"));
    const uint32_t statedRiff = le32(riff);

    const int64_t dataStart = pos + 8;
    const int64_t available = r.size() - dataStart;
    const int64_t align = std::max<uint16_t>(*blockAlign, 1);

    Plan plan;
    int64_t dataSize = statedData;
    int64_t fileSize = r.size();
    if (statedData > available || !chunksToEnd(r, dataStart + statedData + (statedData & 1))) {
        // The data runs to the end of the file: its whole frames count, as far as 32-bit sizes
        // can state them.
        const int64_t whole = available - available % align;
        int64_t room = static_cast<int64_t>(MaxChunkSize) - (dataStart - 8) - 1;
        room -= room % align;
        dataSize = std::min(whole, room);
        if (dataSize == whole) {
            // What follows the whole frames is an unfinished one: it goes, and a chunk of odd
            // length gets its pad byte, as the writer leaves it.
            fileSize = dataStart + dataSize + (dataSize & 1);
            if (dataSize & 1)
                plan.patches.push_back({dataStart + dataSize, {0}});
        }
        // Otherwise there is more audio than a WAV header can describe: it stays in the file.
        if (fileSize != r.size())
            plan.newSize = fileSize;
    }

    if (dataSize != statedData)
        plan.patches.push_back({pos + 4, leBytes32(static_cast<uint32_t>(dataSize))});
    const auto riffSize = static_cast<uint32_t>(std::min<int64_t>(fileSize - 8, MaxChunkSize));
    if (riffSize != statedRiff)
        plan.patches.push_back({4, leBytes32(riffSize)});
    // PCM and float data state their sample count by their size; a fact chunk must agree.
    if (factAt >= 0 && (formatTag == 1 || formatTag == 3 || formatTag == 0xFFFE)) {
        const uint8_t* fact = r.at(factAt, 4);
        const auto frames = static_cast<uint32_t>(dataSize / align);
        if (fact && le32(fact) != frames)
            plan.patches.push_back({factAt, leBytes32(frames)});
    }

    if (plan.patches.empty() && plan.newSize < 0)
        return whole();
    plan.verdict = Plan::Verdict::Repair;
    plan.what =
        QStringLiteral("its sizes were set to the %1 bytes of audio it holds").arg(dataSize);
    if (fileSize < r.size())
        plan.what += QStringLiteral(", and %1 bytes of an unfinished sample frame were cut off")
                         .arg(r.size() - fileSize);
    return plan;
}

// ---------------------------------------------------------------------------------------------
// FLAC

constexpr std::array<uint8_t, 256> makeCrc8Table() {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        auto c = static_cast<uint8_t>(i);
        for (int k = 0; k < 8; ++k)
            c = static_cast<uint8_t>(c & 0x80 ? (c << 1) ^ 0x07 : c << 1);
        t[static_cast<size_t>(i)] = c;
    }
    return t;
}

constexpr std::array<uint16_t, 256> makeCrc16Table() {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        auto c = static_cast<uint16_t>(i << 8);
        for (int k = 0; k < 8; ++k)
            c = static_cast<uint16_t>(c & 0x8000 ? (c << 1) ^ 0x8005 : c << 1);
        t[static_cast<size_t>(i)] = c;
    }
    return t;
}

constexpr auto Crc8Table = makeCrc8Table();
constexpr auto Crc16Table = makeCrc16Table();

struct FlacFrameHeader {
    size_t length = 0; ///< bytes of the header, its CRC-8 included
    bool variableBlocks = false;
    uint64_t number = 0; ///< frame number, or first sample number with variable blocks
    uint32_t blockSize = 0;
};

// Parses the frame header at `p` (at most `avail` bytes there); nullopt unless it is whole,
// well-formed and its CRC-8 matches.
std::optional<FlacFrameHeader> parseFlacFrameHeader(const uint8_t* p, size_t avail) {
    if (avail < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8)
        return std::nullopt;
    FlacFrameHeader h;
    h.variableBlocks = (p[1] & 1) != 0;
    const int blockCode = p[2] >> 4;
    const int rateCode = p[2] & 15;
    const int channelCode = p[3] >> 4;
    const int sizeCode = (p[3] >> 1) & 7;
    if (blockCode == 0 || rateCode == 15 || channelCode >= 11 || sizeCode == 3 || (p[3] & 1))
        return std::nullopt;

    // The frame or sample number, coded like UTF-8 (up to 36 bits in 7 bytes).
    size_t pos = 4;
    const uint8_t first = p[pos++];
    int extra = 0;
    uint64_t value = 0;
    if (first < 0x80) {
        value = first;
    } else {
        while (extra < 7 && (first & (0x40 >> extra)))
            ++extra;
        if (extra == 0 || extra > 6 || (!h.variableBlocks && extra > 5))
            return std::nullopt;
        value = first & (0x3F >> extra);
    }
    if (avail < pos + static_cast<size_t>(extra) + 5)
        return std::nullopt;
    for (int i = 0; i < extra; ++i) {
        const uint8_t b = p[pos++];
        if ((b & 0xC0) != 0x80)
            return std::nullopt;
        value = value << 6 | (b & 0x3F);
    }
    h.number = value;

    if (blockCode == 1)
        h.blockSize = 192;
    else if (blockCode <= 5)
        h.blockSize = 576u << (blockCode - 2);
    else if (blockCode == 6)
        h.blockSize = p[pos++] + 1u;
    else if (blockCode == 7) {
        h.blockSize = (p[pos] << 8 | p[pos + 1]) + 1u;
        pos += 2;
    } else
        h.blockSize = 256u << (blockCode - 8);
    if (rateCode == 12)
        pos += 1;
    else if (rateCode == 13 || rateCode == 14)
        pos += 2;

    uint8_t crc = 0;
    for (size_t i = 0; i < pos; ++i)
        crc = Crc8Table[crc ^ p[i]];
    if (crc != p[pos])
        return std::nullopt;
    h.length = pos + 1;
    return h;
}

constexpr size_t MaxFlacHeader = 16;

std::optional<FlacFrameHeader> flacHeaderAt(FileReader& r, int64_t pos) {
    const auto avail = static_cast<size_t>(std::min<int64_t>(MaxFlacHeader, r.size() - pos));
    const uint8_t* p = r.at(pos, avail);
    return p ? parseFlacFrameHeader(p, avail) : std::nullopt;
}

Plan analyseFlac(FileReader& r, int64_t base) {
    // The metadata blocks: STREAMINFO first, the audio after the one marked last.
    const int64_t streamInfoAt = base + 8;
    int64_t pos = base + 4;
    for (bool first = true;; first = false) {
        const uint8_t* p = r.at(pos, 4);
        if (!p || (first && ((p[0] & 0x7F) != 0 || (be32(p) & 0xFFFFFF) < 34)))
            return hopeless(QStringLiteral("it ends inside its header, so it holds no audio"));
        pos += 4 + (be32(p) & 0xFFFFFF);
        if (pos > r.size())
            return hopeless(QStringLiteral("it ends inside its header, so it holds no audio"));
        if (p[0] & 0x80)
            break;
    }
    const int64_t audioStart = pos;
    // A copy: the reader's window moves on during the scan.
    std::array<uint8_t, 34> info{};
    if (const uint8_t* p = r.at(streamInfoAt, 34))
        std::memcpy(info.data(), p, info.size());
    else
        return hopeless(QStringLiteral("it cannot be read"));
    const uint64_t statedTotal =
        (static_cast<uint64_t>(info[13] & 0x0F) << 32) | be32(info.data() + 14);
    const bool md5Set = std::any_of(info.begin() + 18, info.end(), [](uint8_t b) { return b; });
    const int64_t tagStart = tailTagStart(r);

    // The frames. A frame ends where the next valid header begins and the CRC-16 over the
    // frame (its own CRC included) comes to 0; the last one must end exactly at the end of
    // the file (or at a tag there). A header with the expected number after a frame with a
    // bad CRC is accepted too: damage in the middle is no reason to cut off what follows.
    uint64_t total = 0;
    uint64_t frames = 0;
    int64_t minFrame = 0;
    int64_t maxFrame = 0;
    int64_t lastEnd = audioStart;

    std::optional<FlacFrameHeader> header;
    int64_t start = audioStart;
    for (; start < r.size(); ++start) {
        if (r.byte(start) == 0xFF && (header = flacHeaderAt(r, start)))
            break;
    }
    while (header) {
        const FlacFrameHeader h = *header;
        header.reset();
        const uint64_t expected = h.variableBlocks ? h.number + h.blockSize : h.number + 1;
        uint16_t crc = 0;
        int64_t q = start;
        bool complete = false;
        for (; q < r.size(); ++q) {
            if (q == tagStart && crc == 0 && q > start + static_cast<int64_t>(h.length)) {
                complete = true;
                break;
            }
            const int b = r.byte(q);
            if (b < 0)
                return hopeless(QStringLiteral("it cannot be read"));
            if (b == 0xFF && q > start + static_cast<int64_t>(h.length) + 1) {
                const auto next = flacHeaderAt(r, q);
                if (next && next->variableBlocks == h.variableBlocks &&
                    (crc == 0 || next->number == expected)) {
                    header = next;
                    complete = true;
                    break;
                }
            }
            crc = static_cast<uint16_t>((crc << 8) ^ Crc16Table[((crc >> 8) ^ b) & 0xFF]);
        }
        if (q == r.size())
            complete = crc == 0;
        if (!complete)
            break;
        ++frames;
        total += h.blockSize;
        const int64_t size = q - start;
        minFrame = frames == 1 ? size : std::min(minFrame, size);
        maxFrame = std::max(maxFrame, size);
        lastEnd = q;
        start = q;
    }
    if (r.error())
        return hopeless(QStringLiteral("it cannot be read"));

    Plan plan;
    const int64_t newSize = lastEnd == tagStart ? r.size() : lastEnd;
    if (newSize != r.size())
        plan.newSize = newSize;
    if (statedTotal != total) {
        std::vector<uint8_t> bytes(info.begin() + 10, info.begin() + 18);
        // Bytes 10 to 17: the sample rate's last bits, channels and bits per sample share the
        // first of them with the 36-bit sample count.
        bytes[3] = static_cast<uint8_t>((bytes[3] & 0xF0) | ((total >> 32) & 0x0F));
        for (int i = 0; i < 4; ++i)
            bytes[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(total >> (24 - 8 * i));
        plan.patches.push_back({streamInfoAt + 10, bytes});
        // The checksum covered samples that are gone.
        if (statedTotal != 0 && md5Set)
            plan.patches.push_back({streamInfoAt + 18, std::vector<uint8_t>(16, 0)});
    }
    if (plan.patches.empty() && plan.newSize < 0)
        return whole();
    if (frames > 0 && maxFrame < (1 << 24)) {
        std::vector<uint8_t> sizes(6);
        for (int i = 0; i < 3; ++i) {
            sizes[static_cast<size_t>(i)] = static_cast<uint8_t>(minFrame >> (16 - 8 * i));
            sizes[static_cast<size_t>(i) + 3] = static_cast<uint8_t>(maxFrame >> (16 - 8 * i));
        }
        if (!std::equal(sizes.begin(), sizes.end(), info.begin() + 4))
            plan.patches.push_back({streamInfoAt + 4, sizes});
    }
    plan.verdict = Plan::Verdict::Repair;
    plan.what = QStringLiteral("its sample count was set to the %1 samples of its %2 whole frames")
                    .arg(total)
                    .arg(frames);
    if (plan.newSize >= 0)
        plan.what += QStringLiteral(", and %1 bytes of an unfinished frame were cut off")
                         .arg(r.size() - plan.newSize);
    return plan;
}

// ---------------------------------------------------------------------------------------------
// Ogg

constexpr std::array<uint32_t, 256> makeOggCrcTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int k = 0; k < 8; ++k)
            c = c & 0x80000000u ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[i] = c;
    }
    return t;
}

constexpr auto OggCrcTable = makeOggCrcTable();

// The length of the whole, intact page at `pos`, or 0.
int64_t oggPageAt(FileReader& r, int64_t pos) {
    const uint8_t* h = r.at(pos, 27);
    if (!h || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0)
        return 0;
    const size_t segments = h[26];
    const uint8_t* lacing = r.at(pos + 27, segments);
    if (!lacing)
        return 0;
    int64_t body = 0;
    for (size_t i = 0; i < segments; ++i)
        body += lacing[i];
    const int64_t length = 27 + static_cast<int64_t>(segments) + body;
    const uint8_t* page = r.at(pos, static_cast<size_t>(length));
    if (!page)
        return 0;
    uint32_t crc = 0;
    for (int64_t i = 0; i < length; ++i) {
        // The CRC field itself counts as zeros.
        const uint8_t b = i >= 22 && i < 26 ? 0 : page[i];
        crc = (crc << 8) ^ OggCrcTable[((crc >> 24) ^ b) & 0xFF];
    }
    return crc == le32(page + 22) ? length : 0;
}

Plan analyseOgg(FileReader& r) {
    const int64_t tagStart = tailTagStart(r);
    int64_t lastEnd = 0;
    int64_t pos = 0;
    while (pos < r.size() && pos != tagStart) {
        const int64_t length = oggPageAt(r, pos);
        if (length > 0) {
            pos += length;
            lastEnd = pos;
            continue;
        }
        if (r.error())
            return hopeless(QStringLiteral("it cannot be read"));
        // Look for the next page after damage rather than give up on what follows it.
        ++pos;
        while (pos < r.size() && pos != tagStart && r.byte(pos) != 'O')
            ++pos;
    }
    if (r.error())
        return hopeless(QStringLiteral("it cannot be read"));
    if (lastEnd == 0)
        return hopeless(QStringLiteral("it holds no complete page"));
    if (lastEnd == tagStart || lastEnd == r.size())
        return whole();
    return cutBack(lastEnd, r.size(), "page");
}

// ---------------------------------------------------------------------------------------------
// MP3

struct MpegFrameHeader {
    int64_t length = 0;
    uint8_t version = 0; ///< 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    uint8_t layer = 0;   ///< 3: Layer I, 2: Layer II, 1: Layer III
    uint8_t rateIndex = 0;

    bool sameStream(const MpegFrameHeader& o) const {
        return version == o.version && layer == o.layer && rateIndex == o.rateIndex;
    }
};

std::optional<MpegFrameHeader> parseMpegFrameHeader(const uint8_t* p) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return std::nullopt;
    MpegFrameHeader h;
    h.version = (p[1] >> 3) & 3;
    h.layer = (p[1] >> 1) & 3;
    const int bitrateIndex = p[2] >> 4;
    h.rateIndex = (p[2] >> 2) & 3;
    const int padding = (p[2] >> 1) & 1;
    if (h.version == 1 || h.layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 ||
        h.rateIndex == 3 || (p[3] & 3) == 2)
        return std::nullopt;

    static constexpr int Bitrates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // V1 L1
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // V1 L2
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // V1 L3
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // V2 L1
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // V2 L2, L3
    };
    static constexpr int Rates[3] = {44100, 48000, 32000};
    const bool mpeg1 = h.version == 3;
    const int table = mpeg1 ? (h.layer == 3 ? 0 : h.layer == 2 ? 1 : 2) : (h.layer == 3 ? 3 : 4);
    const int64_t bitrate = Bitrates[table][bitrateIndex] * 1000LL;
    const int64_t rate = Rates[h.rateIndex] >> (mpeg1 ? 0 : h.version == 2 ? 1 : 2);
    if (h.layer == 3)
        h.length = (12 * bitrate / rate + padding) * 4;
    else if (h.layer == 1 && !mpeg1)
        h.length = 72 * bitrate / rate + padding;
    else
        h.length = 144 * bitrate / rate + padding;
    return h;
}

std::optional<MpegFrameHeader> mpegHeaderAt(FileReader& r, int64_t pos) {
    const uint8_t* p = r.at(pos, 4);
    return p ? parseMpegFrameHeader(p) : std::nullopt;
}

// The size of an ID3v2 tag at `pos` (header, body and footer), or 0 when there is none.
int64_t id3v2Size(FileReader& r, int64_t pos) {
    const uint8_t* p = r.at(pos, 10);
    if (!p || std::memcmp(p, "ID3", 3) != 0 || p[3] == 0xFF || p[4] == 0xFF ||
        ((p[6] | p[7] | p[8] | p[9]) & 0x80))
        return 0;
    const int64_t body = static_cast<int64_t>(p[6]) << 21 | p[7] << 14 | p[8] << 7 | p[9];
    return 10 + body + ((p[5] & 0x10) ? 10 : 0);
}

// True when a frame of the stream starts at `pos` and the frame after it starts where it
// ends (or the file or its tags end there): one header alone is too easily found by chance.
bool mpegFrameChainsAt(FileReader& r, int64_t pos, int64_t end,
                       const std::optional<MpegFrameHeader>& stream) {
    const auto h = mpegHeaderAt(r, pos);
    if (!h || (stream && !h->sameStream(*stream)) || pos + h->length > end)
        return false;
    if (pos + h->length == end)
        return true;
    const auto next = mpegHeaderAt(r, pos + h->length);
    return next && next->sameStream(*h);
}

Plan analyseMp3(FileReader& r, int64_t audioStart) {
    const int64_t end = tailTagStart(r);
    std::optional<MpegFrameHeader> stream;
    int64_t lastEnd = audioStart;
    int64_t pos = audioStart;
    bool unfinished = false;
    while (pos < end) {
        const auto h = mpegHeaderAt(r, pos);
        if (h && (!stream || h->sameStream(*stream)) &&
            (stream || mpegFrameChainsAt(r, pos, end, h))) {
            if (pos + h->length > end) {
                unfinished = true;
                break;
            }
            stream = *h;
            pos += h->length;
            lastEnd = pos;
            continue;
        }
        if (r.error())
            return hopeless(QStringLiteral("it cannot be read"));
        // Damage: look for the next frame that chains on.
        ++pos;
        while (pos < end && !(r.byte(pos) == 0xFF && mpegFrameChainsAt(r, pos, end, stream)))
            ++pos;
    }
    if (r.error())
        return hopeless(QStringLiteral("it cannot be read"));
    if (lastEnd == end)
        return whole();
    if (end != r.size() && !unfinished) {
        // Something damaged lies before tags at the end; cutting would lose the tags and
        // moving them is more than a repair after a crash should do. (An unfinished frame
        // reaching into them shows that they are no tags but audio that looks like one.)
        return hopeless(QStringLiteral("its audio is damaged before the tags at its end"));
    }
    return cutBack(lastEnd, r.size(), "frame");
}

// ---------------------------------------------------------------------------------------------

Plan analyse(FileReader& r) {
    const uint8_t* head = r.at(0, std::min<int64_t>(12, r.size()));
    if (!head)
        return hopeless(QStringLiteral("it cannot be read"));
    const int64_t n = std::min<int64_t>(12, r.size());
    if (n >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0)
        return analyseWav(r);
    if (n >= 4 && std::memcmp(head, "fLaC", 4) == 0)
        return analyseFlac(r, 0);
    if (n >= 4 && std::memcmp(head, "OggS", 4) == 0)
        return analyseOgg(r);

    // MP3: frames, perhaps after an ID3v2 tag. Other programs put ID3v2 before FLAC too.
    const int64_t tag = id3v2Size(r, 0);
    if (tag > 0) {
        if (tag >= r.size())
            return unknownFormat();
        const uint8_t* p = r.at(tag, 4);
        if (p && std::memcmp(p, "fLaC", 4) == 0)
            return analyseFlac(r, tag);
    }
    // Some taggers leave padding after the tag's stated size, so the first frame is looked
    // for a little way on.
    const int64_t searchEnd = std::min(r.size(), tag + (tag > 0 ? 65536 : 1));
    const int64_t end = tailTagStart(r);
    for (int64_t pos = tag; pos < searchEnd; ++pos) {
        if (r.byte(pos) == 0xFF && mpegFrameChainsAt(r, pos, end, std::nullopt))
            return analyseMp3(r, pos);
    }
    // A first frame that was never finished: the file is MP3 all the same.
    if (tag == 0 && mpegHeaderAt(r, 0))
        return hopeless(QStringLiteral("it holds no complete frame"));
    return unknownFormat();
}

// Applies the plan to the file analysed as `analysed`; an empty string on success.
QString apply(const QByteArray& name, const struct stat& analysed, const Plan& plan) {
    int fd = -1;
    do {
        fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return QStringLiteral("it could not be opened for writing: %1").arg(systemError(errno));
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};

    struct stat now {};
    if (::fstat(fd, &now) != 0)
        return QStringLiteral("it could not be examined: %1").arg(systemError(errno));
    if (now.st_dev != analysed.st_dev || now.st_ino != analysed.st_ino ||
        now.st_size != analysed.st_size)
        return QStringLiteral("it changed while it was being repaired");

    // A longer file first (a pad byte), a shorter one last: until then the file keeps
    // everything, so a repair cut short by another crash loses nothing.
    if (plan.newSize > now.st_size && ::ftruncate(fd, static_cast<off_t>(plan.newSize)) != 0)
        return QStringLiteral("it could not be written: %1").arg(systemError(errno));
    for (const Patch& patch : plan.patches) {
        size_t done = 0;
        while (done < patch.bytes.size()) {
            const ssize_t w =
                ::pwrite(fd, patch.bytes.data() + done, patch.bytes.size() - done,
                         static_cast<off_t>(patch.offset + static_cast<int64_t>(done)));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return QStringLiteral("it could not be written: %1")
                    .arg(systemError(w < 0 ? errno : EIO));
            done += static_cast<size_t>(w);
        }
    }
    if (plan.newSize >= 0 && plan.newSize < now.st_size &&
        ::ftruncate(fd, static_cast<off_t>(plan.newSize)) != 0)
        return QStringLiteral("it could not be shortened: %1").arg(systemError(errno));
    // The repair is worth nothing if the next power cut undoes it.
    while (::fdatasync(fd) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EINVAL && errno != EROFS)
            return QStringLiteral("the disk reported an error while storing it: %1")
                .arg(systemError(errno));
        break;
    }
    return {};
}

} // namespace

RepairOutcome repairRecording(const QString& path, QString* detail) {
    QString unused;
    QString& text = detail ? *detail : unused;
    text.clear();
    const QByteArray name = QFile::encodeName(path);

    struct stat st {};
    if (::stat(name.constData(), &st) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            text = QStringLiteral("there is no such file");
            return RepairOutcome::Missing;
        }
        text = QStringLiteral("it could not be examined: %1").arg(systemError(error));
        return RepairOutcome::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
        text = QStringLiteral("it is not a regular file");
        return RepairOutcome::Failed;
    }
    if (st.st_size == 0) {
        text = QStringLiteral("the file is empty");
        return RepairOutcome::Missing;
    }

    int fd = -1;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        text = QStringLiteral("it could not be read: %1").arg(systemError(errno));
        return RepairOutcome::Failed;
    }
    struct stat opened {};
    Plan plan;
    int readError = 0;
    if (::fstat(fd, &opened) != 0) {
        readError = errno;
    } else {
        FileReader reader(fd, opened.st_size);
        plan = analyse(reader);
        readError = reader.error();
    }
    ::close(fd);
    if (readError != 0) {
        text = QStringLiteral("it could not be read: %1").arg(systemError(readError));
        return RepairOutcome::Failed;
    }

    switch (plan.verdict) {
    case Plan::Verdict::Whole:
        text = QStringLiteral("it is complete");
        return RepairOutcome::Unchanged;
    case Plan::Verdict::Unknown:
        text = QStringLiteral("it is no WAV, FLAC, Ogg or MP3 file, so it was left as it is");
        return RepairOutcome::Unchanged;
    case Plan::Verdict::Hopeless:
        text = plan.what + QStringLiteral("; it was left as it is");
        return RepairOutcome::Failed;
    case Plan::Verdict::Repair:
        break;
    }

    text = apply(name, opened, plan);
    if (!text.isEmpty())
        return RepairOutcome::Failed;
    text = plan.what;
    return RepairOutcome::Repaired;
}
