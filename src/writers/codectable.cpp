#include "codectable.h"

#include "flacwriter.h"
#include "mp3writer.h"
#include "oggwriter.h"
#include "wavwriter.h"

#include <array>
#include <stdexcept>

namespace {

constexpr std::array<CodecRow, CodecCount> BuiltinRows = {{
    {TMP3writer::create, "MP3 files (*.mp3)|*.mp3", "mp3"},
    {TOGGwriter::create, "OGG Vorbis files (*.ogg)|*.ogg", "ogg"},
    {TWAVWriter::create, "WAV files (*.wav)|*.wav", "wav"},
    {TFLACwriter::create, "FLAC Audio files (*.flac)|*.flac", "flac"},
}};

// The rows in use: the built-in ones unless a test replaced a factory.
std::array<CodecRow, CodecCount> rows = BuiltinRows;

bool validCodec(int codec) {
    return codec >= 0 && codec < CodecCount;
}

} // namespace

const CodecRow* codecRow(int codec) {
    return validCodec(codec) ? &rows[static_cast<size_t>(codec)] : nullptr;
}

QString codecExtension(int codec) {
    const CodecRow* row = codecRow(codec);
    return row ? QString::fromLatin1(row->extension) : QString();
}

QString codecFilter(int codec) {
    const CodecRow* row = codecRow(codec);
    return row ? QString::fromLatin1(row->filter) : QString();
}

QString codecOutputName(int codec, const QString& filename) {
    return codec == 1 ? TOGGwriter::oggName(filename) : filename;
}

std::unique_ptr<TAudioWriter> createWriter(int codec, const QString& filename,
                                           const tWAVEFORMATEX& pcm) {
    const CodecRow* row = codecRow(codec);
    if (!row)
        throw std::runtime_error("The output format number " + std::to_string(codec) +
                                 " in the settings is unknown. Please choose an output format "
                                 "in the settings.");
    std::unique_ptr<TAudioWriter> writer = row->create(filename, pcm);
    if (!writer)
        throw std::runtime_error("The writer for " + std::string(row->extension) +
                                 " files could not be created.");
    return writer;
}

void setWriterFactoryForTesting(int codec, WriterFactory factory) {
    if (!validCodec(codec))
        return;
    const auto i = static_cast<size_t>(codec);
    rows[i].create = factory ? factory : BuiltinRows[i].create;
}
