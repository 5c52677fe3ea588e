#pragma once

#include "support/soundfile.h"
#include "writers/audiowriter.h"
#include "writers/codecbinding.h"
#include "writers/codectable.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdint>
#include <vector>

// Sound files for the tag tests, made by the program's own writers.

/// One format under test: the writers' codec index and the file extension.
struct TagFormat {
    int codec;
    const char* extension;
};

inline const TagFormat TagFormats[] = {{0, "mp3"}, {1, "ogg"}, {2, "wav"}, {3, "flac"}};

/// Writes `seconds` of 44.1 kHz stereo test signal to `path`; false when the writer fails.
inline bool makeSoundFile(const TagFormat& format, const QString& path, int seconds) {
    loadCodecLibraries();
    try {
        auto writer = createWriter(format.codec, path, pcm16Stereo(44100));
        const std::vector<int16_t> signal = testSignal(44100);
        for (int s = 0; s < seconds; ++s) {
            if (writer->write(signal.data(), static_cast<uint32_t>(signal.size() * 2)) < 0)
                return false;
        }
    } catch (...) {
        return false;
    }
    return QFile::exists(path);
}

inline QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}
