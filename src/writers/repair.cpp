#include "repair.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iterator>
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

uint8_t crc8(const uint8_t* p, size_t n) {
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i)
        crc = Crc8Table[crc ^ p[i]];
    return crc;
}

uint16_t crc16Step(uint16_t crc, uint8_t b) {
    return static_cast<uint16_t>((crc << 8) ^ Crc16Table[((crc >> 8) ^ b) & 0xFF]);
}

struct FlacFrameHeader {
    size_t length = 0; ///< bytes of the header, its CRC-8 included
    bool variableBlocks = false;
    uint64_t number = 0; ///< frame number, or first sample number with variable blocks
    uint32_t blockSize = 0;
    uint32_t channels = 0;
    uint32_t bitsPerSample = 0; ///< 0: as STREAMINFO says
    uint8_t rateCode = 0;
    std::vector<uint8_t> rateBytes; ///< the sample rate, where the code does not give it
    uint8_t sizeCode = 0;
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
    h.channels = channelCode < 8 ? static_cast<uint32_t>(channelCode) + 1 : 2;
    static constexpr uint32_t Sizes[8] = {0, 8, 12, 0, 16, 20, 24, 32};
    h.bitsPerSample = Sizes[sizeCode];
    h.rateCode = static_cast<uint8_t>(rateCode);
    h.sizeCode = static_cast<uint8_t>(sizeCode);

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
    const size_t rateBytes = rateCode == 12 ? 1 : rateCode == 13 || rateCode == 14 ? 2 : 0;
    h.rateBytes.assign(p + pos, p + pos + rateBytes);
    pos += rateBytes;

    if (crc8(p, pos) != p[pos])
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

// Silence in place of damaged frames. The frames that replace them keep the numbering
// unbroken and the audio after them at its time; a gap in the numbers is no alternative:
// decoders either report it as an error or play the frame after it as silence too. The new
// frames fill the damaged bytes exactly, so nothing after them moves: subframes of zeros,
// whose size is set through the fields of a predictor that predicts nothing and through
// escaped residual partitions of zeros.

// Bits packed most significant first, as in FLAC frames.
class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : m_out(out) {}

    void put(uint64_t value, unsigned bits) {
        for (unsigned i = bits; i-- > 0;)
            bit((value >> i) & 1);
    }

    void zeros(uint64_t bits) {
        for (; bits > 0 && m_used != 0; --bits)
            bit(0);
        m_out.insert(m_out.end(), static_cast<size_t>(bits / 8), 0);
        for (bits %= 8; bits > 0; --bits)
            bit(0);
    }

    void align() {
        while (m_used != 0)
            bit(0);
    }

private:
    void bit(uint64_t b) {
        if (m_used == 0)
            m_out.push_back(0);
        if (b)
            m_out.back() = static_cast<uint8_t>(m_out.back() | 0x80 >> m_used);
        m_used = (m_used + 1) & 7;
    }

    std::vector<uint8_t>& m_out;
    unsigned m_used = 0;
};

struct SilentSubframe {
    uint32_t order = 0; ///< 0: a constant subframe, else a predictor of this order
    uint32_t precision = 0;
    uint32_t partitionOrder = 0;
    uint64_t escapedWidths = 0; ///< the widths of the partitions after the first, summed
    uint64_t bits = 0;
};

// The largest subframe of silence of at most `maxBits` bits.
std::optional<SilentSubframe> largestSilentSubframe(uint32_t blockSize, uint32_t bps,
                                                    uint64_t maxBits) {
    std::optional<SilentSubframe> best;
    if (8 + bps <= maxBits)
        best = SilentSubframe{0, 0, 0, 0, 8 + bps};
    // Wider escaped partitions than the samples' own width would be more than any frame needs.
    const uint64_t width = std::min(bps, 31u);
    for (uint32_t k = 0; k <= 15 && blockSize % (1u << k) == 0; ++k) {
        const uint64_t partitions = uint64_t{1} << k;
        const uint64_t size = blockSize >> k;
        for (uint32_t order = 1; order <= 32 && order <= size; ++order) {
            for (uint32_t precision = 1; precision <= 15; ++precision) {
                // Subframe and predictor headers, warm-up samples, coefficients, and a 9-bit
                // escape header per partition.
                const uint64_t base = 23 + uint64_t{order} * (bps + precision) + 9 * partitions;
                if (base > maxBits)
                    break;
                const uint64_t widths = std::min(width * (partitions - 1), (maxBits - base) / size);
                const uint64_t bits = base + widths * size;
                if (!best || bits > best->bits)
                    best = SilentSubframe{order, precision, k, widths, bits};
                if (bits == maxBits)
                    return best;
            }
        }
    }
    return best;
}

void writeSilentSubframe(BitWriter& w, const SilentSubframe& s, uint32_t blockSize, uint32_t bps) {
    if (s.order == 0) {
        w.put(0, 8);
        w.zeros(bps);
        return;
    }
    w.put((0x20u | (s.order - 1)) << 1, 8);
    w.zeros(uint64_t{s.order} * bps); // warm-up samples
    w.put(s.precision - 1, 4);
    w.put(0, 5);                              // shift
    w.zeros(uint64_t{s.order} * s.precision); // coefficients
    w.put(0, 2);
    w.put(s.partitionOrder, 4);
    const uint64_t partitions = uint64_t{1} << s.partitionOrder;
    const uint64_t size = blockSize >> s.partitionOrder;
    for (uint64_t i = 0; i < partitions; ++i) {
        uint64_t width = 0;
        if (i > 0)
            width = s.escapedWidths / (partitions - 1) +
                    (i - 1 < s.escapedWidths % (partitions - 1) ? 1 : 0);
        w.put(15, 4);
        w.put(width, 5);
        w.zeros(width * size);
    }
}

struct SilentFrame {
    uint64_t number = 0;
    uint32_t blockSize = 0;
};

/// The frame layout the silence copies from the stream's frames.
struct FlacFormat {
    bool variableBlocks = false;
    uint8_t rateCode = 0;
    std::vector<uint8_t> rateBytes;
    uint8_t sizeCode = 0;
    uint32_t channels = 0;
    uint32_t bps = 0;
};

std::vector<uint8_t> silentFrameHeader(const FlacFormat& f, const SilentFrame& frame) {
    std::vector<uint8_t> h{0xFF, static_cast<uint8_t>(0xF8 | (f.variableBlocks ? 1 : 0))};
    const uint32_t b = frame.blockSize;
    uint8_t blockCode = 0;
    std::vector<uint8_t> blockBytes;
    if (b == 192)
        blockCode = 1;
    for (uint8_t k = 0; k < 4 && blockCode == 0; ++k)
        if (b == 576u << k)
            blockCode = static_cast<uint8_t>(2 + k);
    for (uint8_t k = 0; k < 8 && blockCode == 0; ++k)
        if (b == 256u << k)
            blockCode = static_cast<uint8_t>(8 + k);
    if (blockCode == 0 && b <= 256) {
        blockCode = 6;
        blockBytes = {static_cast<uint8_t>(b - 1)};
    } else if (blockCode == 0) {
        blockCode = 7;
        blockBytes = {static_cast<uint8_t>((b - 1) >> 8), static_cast<uint8_t>(b - 1)};
    }
    h.push_back(static_cast<uint8_t>(blockCode << 4 | f.rateCode));
    h.push_back(static_cast<uint8_t>((f.channels - 1) << 4 | f.sizeCode << 1));
    // The number, coded like UTF-8.
    const uint64_t n = frame.number;
    if (n < 0x80) {
        h.push_back(static_cast<uint8_t>(n));
    } else {
        int extra = 1;
        while (extra < 6 && (n >> (5 * extra + 6)) != 0)
            ++extra;
        h.push_back(static_cast<uint8_t>((0xFF00 >> (extra + 1)) | (n >> (6 * extra))));
        for (int i = extra - 1; i >= 0; --i)
            h.push_back(static_cast<uint8_t>(0x80 | ((n >> (6 * i)) & 0x3F)));
    }
    h.insert(h.end(), blockBytes.begin(), blockBytes.end());
    h.insert(h.end(), f.rateBytes.begin(), f.rateBytes.end());
    h.push_back(crc8(h.data(), h.size()));
    return h;
}

struct Silence {
    std::vector<uint8_t> bytes;
    int64_t minFrame = 0;
    int64_t maxFrame = 0;
};

// Frames of silence that take exactly `bytes` bytes, or nullopt when these frames cannot.
std::optional<Silence> silentFrames(const FlacFormat& f, const std::vector<SilentFrame>& frames,
                                    int64_t bytes) {
    if (frames.empty() || f.channels == 0 || f.bps == 0)
        return std::nullopt;
    Silence out;
    out.bytes.reserve(static_cast<size_t>(bytes));
    std::vector<std::pair<uint64_t, std::optional<SilentSubframe>>> cache;
    const auto largest = [&](uint32_t blockSize, uint64_t maxBits) {
        for (const auto& [key, value] : cache)
            if (key == (maxBits << 16 | blockSize))
                return value;
        cache.emplace_back(maxBits << 16 | blockSize,
                           largestSilentSubframe(blockSize, f.bps, maxBits));
        return cache.back().second;
    };
    int64_t left = bytes;
    for (size_t j = 0; j < frames.size(); ++j) {
        const std::vector<uint8_t> header = silentFrameHeader(f, frames[j]);
        const auto framesLeft = static_cast<int64_t>(frames.size() - j);
        const int64_t share = left / framesLeft;
        bool done = false;
        // A size that no silence fits exactly is rare; a neighbour's next to it does.
        for (int64_t step = 0; step <= 16 && !done; ++step) {
            const int64_t size =
                framesLeft == 1 ? left : share + (step % 2 ? (step + 1) / 2 : -(step / 2));
            if (framesLeft == 1 && step > 0)
                break;
            const int64_t content = size - static_cast<int64_t>(header.size()) - 2;
            if (content <= 0)
                continue;
            const auto maxBits = static_cast<uint64_t>(content) * 8;
            std::vector<SilentSubframe> subframes;
            uint64_t used = 0;
            for (uint32_t c = 0; c + 1 < f.channels; ++c) {
                const auto s = largest(frames[j].blockSize, maxBits / f.channels);
                if (!s)
                    break;
                subframes.push_back(*s);
                used += s->bits;
            }
            if (subframes.size() + 1 != f.channels)
                continue;
            const auto last = largest(frames[j].blockSize, maxBits - used);
            if (!last || used + last->bits + 7 < maxBits)
                continue;
            subframes.push_back(*last);

            const size_t start = out.bytes.size();
            out.bytes.insert(out.bytes.end(), header.begin(), header.end());
            BitWriter w(out.bytes);
            for (const SilentSubframe& s : subframes)
                writeSilentSubframe(w, s, frames[j].blockSize, f.bps);
            w.align();
            uint16_t crc = 0;
            for (size_t i = start; i < out.bytes.size(); ++i)
                crc = crc16Step(crc, out.bytes[i]);
            out.bytes.push_back(static_cast<uint8_t>(crc >> 8));
            out.bytes.push_back(static_cast<uint8_t>(crc));
            if (static_cast<int64_t>(out.bytes.size() - start) != size)
                return std::nullopt;
            out.minFrame = j == 0 ? size : std::min(out.minFrame, size);
            out.maxFrame = std::max(out.maxFrame, size);
            left -= size;
            done = true;
        }
        if (!done)
            return std::nullopt;
    }
    return out;
}

// Walks the frames of a FLAC stream.
class FlacScan {
public:
    FlacScan(FileReader& r, int64_t tagStart, const std::array<uint8_t, 34>& info)
        : m_r(r), m_tagStart(tagStart) {
        m_minBlock = static_cast<uint32_t>(info[0] << 8 | info[1]);
        m_maxBlock = static_cast<uint32_t>(info[2] << 8 | info[3]);
        m_channels = ((info[12] >> 1) & 7) + 1u;
        m_bps = static_cast<uint32_t>((info[12] & 1) << 4 | info[13] >> 4) + 1;
    }

    // Where the frame with header `h` at `start` ends: where its CRC-16 comes to 0 right
    // before the next frame's header, or at the end of the audio. -1 when it does not end so
    // within the largest size such a frame can have (damaged, or unfinished).
    int64_t frameEnd(int64_t start, const FlacFrameHeader& h) {
        const int64_t limit = start + 64 + int64_t{h.blockSize} * h.channels * 5;
        const auto headerEnd = start + static_cast<int64_t>(h.length);
        uint16_t crc = 0;
        int64_t q = start;
        for (; q < m_r.size() && q <= limit; ++q) {
            if (q == m_tagStart && crc == 0 && q > headerEnd)
                return q;
            const int b = m_r.byte(q);
            if (b < 0)
                return -1;
            if (b == 0xFF && crc == 0 && q > headerEnd + 1) {
                const auto next = flacHeaderAt(m_r, q);
                if (next && next->variableBlocks == h.variableBlocks)
                    return q;
            }
            crc = crc16Step(crc, static_cast<uint8_t>(b));
        }
        return q == m_r.size() && crc == 0 ? q : -1;
    }

    /// A whole frame from `start`, or false.
    bool frameAt(int64_t start, int64_t* end, FlacFrameHeader* header) {
        const auto h = flacHeaderAt(m_r, start);
        if (!h || (m_variable && *m_variable != h->variableBlocks))
            return false;
        *end = frameEnd(start, *h);
        *header = *h;
        return *end >= 0;
    }

    void passed(const FlacFrameHeader& h) {
        m_variable = h.variableBlocks;
        m_next = h.variableBlocks ? h.number + h.blockSize : h.number + 1;
        m_lastBlock = h.blockSize;
    }

    struct Resync {
        int64_t resume = 0; ///< where whole frames begin again
        Silence silence;    ///< frames of silence for the bytes from the damage up to there
        uint64_t frames = 0;
        uint64_t samples = 0;
    };

    // The first whole frame after damage at `from` that continues the stream, and silence for
    // what lies between; nullopt when none follows.
    std::optional<Resync> resync(int64_t from) {
        for (int64_t q = from + 1; q < m_r.size() && q != m_tagStart; ++q) {
            const int b = m_r.byte(q);
            if (b < 0)
                return std::nullopt;
            if (b != 0xFF)
                continue;
            const auto h = flacHeaderAt(m_r, q);
            if (!h || !fitsStream(*h) || h->number <= m_next)
                continue;
            std::vector<SilentFrame> frames;
            uint64_t samples = 0;
            const int64_t span = q - from;
            // A frame takes a dozen bytes at least: more would not fit, whatever the numbers
            // say.
            const uint64_t most = static_cast<uint64_t>(span) / 12;
            if (!h->variableBlocks) {
                const uint32_t block = m_minBlock == m_maxBlock && m_minBlock > 0 ? m_maxBlock
                                       : m_lastBlock > 0                          ? m_lastBlock
                                                                                  : h->blockSize;
                if (h->number - m_next > most)
                    continue;
                for (uint64_t n = m_next; n < h->number; ++n)
                    frames.push_back({n, block});
                samples = (h->number - m_next) * block;
            } else {
                const uint64_t block = m_maxBlock > 0 ? m_maxBlock : h->blockSize;
                samples = h->number - m_next;
                if ((samples + block - 1) / block > most)
                    continue;
                for (uint64_t s = m_next; s < h->number; s += block)
                    frames.push_back({s, static_cast<uint32_t>(std::min(block, h->number - s))});
            }
            if (frameEnd(q, *h) < 0)
                continue;
            FlacFormat format{h->variableBlocks, h->rateCode, h->rateBytes,
                              h->sizeCode,       m_channels,  m_bps};
            auto silence = silentFrames(format, frames, span);
            if (!silence)
                continue;
            return Resync{q, std::move(*silence), frames.size(), samples};
        }
        return std::nullopt;
    }

private:
    bool fitsStream(const FlacFrameHeader& h) const {
        return h.channels == m_channels && (h.bitsPerSample == 0 || h.bitsPerSample == m_bps) &&
               (m_maxBlock == 0 || h.blockSize <= m_maxBlock) &&
               (!m_variable || *m_variable == h.variableBlocks);
    }

    FileReader& m_r;
    int64_t m_tagStart;
    uint32_t m_minBlock = 0;
    uint32_t m_maxBlock = 0;
    uint32_t m_channels = 0;
    uint32_t m_bps = 0;
    std::optional<bool> m_variable; ///< the stream's numbering, once a frame has shown it
    uint64_t m_next = 0;            ///< the number the next frame should have
    uint32_t m_lastBlock = 0;
};

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
    // the file (or at a tag there). Damage in the middle is no reason to cut off what follows:
    // from the next whole frame that continues the stream on, the frames stay, and silence
    // takes the place of the damaged ones. Damage that no whole frame follows is an unfinished
    // end, which is cut off.
    Plan plan;
    FlacScan scan(r, tagStart, info);
    uint64_t total = 0;
    uint64_t frames = 0;
    int64_t minFrame = 0;
    int64_t maxFrame = 0;
    int64_t damaged = 0;
    uint64_t silenced = 0;
    std::vector<Patch> silence;
    const auto count = [&](uint64_t n, uint64_t samples, int64_t smallest, int64_t largest) {
        minFrame = frames == 0 ? smallest : std::min(minFrame, smallest);
        maxFrame = std::max(maxFrame, largest);
        frames += n;
        total += samples;
    };
    pos = audioStart;
    while (pos < r.size() && pos != tagStart) {
        int64_t end = -1;
        FlacFrameHeader h;
        if (scan.frameAt(pos, &end, &h)) {
            count(1, h.blockSize, end - pos, end - pos);
            scan.passed(h);
            pos = end;
            continue;
        }
        if (r.error())
            return hopeless(QStringLiteral("it cannot be read"));
        auto resync = scan.resync(pos);
        if (!resync)
            break;
        count(resync->frames, resync->samples, resync->silence.minFrame, resync->silence.maxFrame);
        damaged += resync->resume - pos;
        silenced += resync->samples;
        silence.push_back({pos, std::move(resync->silence.bytes)});
        pos = resync->resume;
    }
    if (r.error())
        return hopeless(QStringLiteral("it cannot be read"));
    const int64_t lastEnd = pos;

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
    }
    // The checksum covered samples that are gone or silenced.
    if (md5Set && ((statedTotal != total && statedTotal != 0) || damaged > 0))
        plan.patches.push_back({streamInfoAt + 18, std::vector<uint8_t>(16, 0)});
    // After the checksum: should the repair be cut short, the next one finds whole frames and
    // must not find a checksum that no longer holds.
    std::move(silence.begin(), silence.end(), std::back_inserter(plan.patches));
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
    if (damaged == 0 || statedTotal != total)
        plan.what =
            QStringLiteral("its sample count was set to the %1 samples of its %2 whole frames")
                .arg(total)
                .arg(frames);
    if (damaged > 0) {
        if (!plan.what.isEmpty())
            plan.what += QStringLiteral(", and ");
        plan.what += QStringLiteral("%1 bytes of damaged audio were replaced by %2 samples of "
                                    "silence, the frames after them kept")
                         .arg(damaged)
                         .arg(silenced);
    }
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
