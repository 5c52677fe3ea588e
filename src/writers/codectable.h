#pragma once

#include "common/waveformat.h"

#include <QString>

#include <memory>

class TAudioWriter;

/// Creates a writer on `filename` for blocks in the format `pcm`. Throws a std::exception
/// with a message for the user when the file or the encoder cannot be set up.
using WriterFactory = std::unique_ptr<TAudioWriter> (*)(const QString& filename,
                                                        const tWAVEFORMATEX& pcm);

/// One row of the codec table: the writer, the save dialog's filter ("description|pattern")
/// and the extension without its dot.
struct CodecRow {
    WriterFactory create;
    const char* filter;
    const char* extension;
};

constexpr int CodecCount = 4;

/// The row of a codec index (0 MP3, 1 Ogg Vorbis, 2 WAV, 3 FLAC), or null outside 0..3,
/// which only an edited settings file can hold.
const CodecRow* codecRow(int codec);

/// The extension of a codec ("mp3", "ogg", "wav", "flac"); empty outside 0..3.
QString codecExtension(int codec);
/// The save dialog's filter of a codec; empty outside 0..3.
QString codecFilter(int codec);

/// The file the codec's writer really writes when created on `filename`: the Ogg Vorbis writer
/// always gives its file the ".ogg" extension; the others write `filename` itself.
QString codecOutputName(int codec, const QString& filename);

/// Creates the writer of a codec. Throws std::runtime_error with a clear message for an
/// index outside 0..3; otherwise whatever the writer's constructor throws (a missing codec
/// library among it).
std::unique_ptr<TAudioWriter> createWriter(int codec, const QString& filename,
                                           const tWAVEFORMATEX& pcm);

/// Replaces the writer of one row, for tests (null restores the built-in writer).
void setWriterFactoryForTesting(int codec, WriterFactory factory);
