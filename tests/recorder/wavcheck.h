#pragma once

// WAV files as a killed writer leaves them, and the check that a repaired one is whole again;
// shared by the tests of the journal, the window and the command-line recorder.
#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>
#include <vector>

namespace wavcheck {

inline uint32_t le32(const QByteArray& b, qsizetype at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

inline void putLe32(QByteArray& b, qsizetype at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>(v >> (8 * i));
}

/// A 16-bit stereo PCM file whose writer died before it set the sizes: both are zero.
inline QByteArray unfinished(const std::vector<int16_t>& samples, uint32_t rate) {
    QByteArray b("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0", 24);
    b.resize(44);
    putLe32(b, 24, rate);
    putLe32(b, 28, rate * 4);
    b[32] = 4;
    b[33] = 0;
    b[34] = 16;
    b[35] = 0;
    b.replace(36, 4, "data");
    putLe32(b, 40, 0);
    b.append(reinterpret_cast<const char*>(samples.data()),
             static_cast<qsizetype>(samples.size() * sizeof(int16_t)));
    return b;
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// What is wrong with the sizes of a WAV file of whole frames; empty when the RIFF size and
/// the data chunk's size both agree with the file's length.
inline QString sizeProblem(const QString& path) {
    const QByteArray b = readFile(path);
    if (b.size() < 44 || !b.startsWith("RIFF") || b.mid(8, 4) != "WAVE")
        return QStringLiteral("not a WAV file");
    if (le32(b, 4) != static_cast<uint32_t>(b.size() - 8))
        return QStringLiteral("RIFF size %1, file %2 bytes").arg(le32(b, 4)).arg(b.size());
    qsizetype at = 12;
    while (at + 8 <= b.size()) {
        const uint32_t size = le32(b, at + 4);
        if (b.mid(at, 4) == "data") {
            const auto left = static_cast<uint32_t>(b.size() - at - 8);
            return size == left
                       ? QString()
                       : QStringLiteral("data size %1, %2 bytes follow").arg(size).arg(left);
        }
        at += 8 + size + (size & 1);
    }
    return QStringLiteral("no data chunk");
}

} // namespace wavcheck
