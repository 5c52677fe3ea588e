#include "filename.h"

namespace {

constexpr char16_t EscapeBase = 0xDC00;

// A low surrogate of U+DC80 to U+DCFF is a kept byte only when it stands alone: after a
// high surrogate it is half of a character above U+FFFF.
bool isEscapedByte(QStringView name, qsizetype i) {
    const char16_t c = name[i].unicode();
    return c >= EscapeBase + 0x80 && c <= EscapeBase + 0xFF &&
           (i == 0 || !name[i - 1].isHighSurrogate());
}

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at `at`, or 0 when the byte there starts none
// (overlong forms, surrogates and values above U+10FFFF are not valid).
qsizetype validSequence(QByteArrayView bytes, qsizetype at) {
    const auto byte = [&](qsizetype i) { return static_cast<unsigned char>(bytes[at + i]); };
    const qsizetype left = bytes.size() - at;
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return left >= 2 && isContinuation(byte(1)) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (left < 3 || !isContinuation(byte(1)) || !isContinuation(byte(2)))
            return 0;
        if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0))
            return 0;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (left < 4 || !isContinuation(byte(1)) || !isContinuation(byte(2)) ||
            !isContinuation(byte(3)))
            return 0;
        if ((lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90))
            return 0;
        return 4;
    }
    return 0;
}

} // namespace

QString fileNameFromBytes(QByteArrayView bytes) {
    if (bytes.isValidUtf8())
        return QString::fromUtf8(bytes);
    QString name;
    name.reserve(bytes.size());
    qsizetype at = 0;
    while (at < bytes.size()) {
        const qsizetype length = validSequence(bytes, at);
        if (length == 0) {
            name.append(
                QChar(static_cast<char16_t>(EscapeBase + static_cast<unsigned char>(bytes[at]))));
            ++at;
        } else {
            name.append(QString::fromUtf8(bytes.sliced(at, length)));
            at += length;
        }
    }
    return name;
}

QByteArray fileNameBytes(QStringView name) {
    qsizetype first = 0;
    while (first < name.size() && !isEscapedByte(name, first))
        ++first;
    if (first == name.size())
        return name.toUtf8();
    QByteArray bytes;
    bytes.reserve(name.size() * 3);
    qsizetype from = 0;
    for (qsizetype i = first; i < name.size(); ++i) {
        if (!isEscapedByte(name, i))
            continue;
        bytes.append(name.sliced(from, i - from).toUtf8());
        bytes.append(static_cast<char>(name[i].unicode() - EscapeBase));
        from = i + 1;
    }
    bytes.append(name.sliced(from).toUtf8());
    return bytes;
}

QString displayFileName(const QString& name) {
    QString shown = name;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (isEscapedByte(name, i))
            shown[i] = QChar::ReplacementCharacter;
    }
    return shown;
}
