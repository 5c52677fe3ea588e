#pragma once

#include "audiowriter.h"
#include "codecbinding.h"
#include "common/waveformat.h"
#include "durablesync.h"
#include "outputfile.h"

#include <cstdint>
#include <memory>

/// Writes an Ogg Vorbis file with libvorbis's quality mode at `config.oggquality` / 10, through
/// the run-time binding of libogg and libvorbis. The file is `fname` with the extension
/// ".ogg". A page is written at least about once a second of audio and the file is synced in
/// the background as often, so that a crash or power cut loses at most about the last
/// second. Window thread only; no locking.
class TOGGwriter final : public TAudioWriter {
public:
    /// Creates the file and writes the three header packets on their own page. Throws
    /// std::runtime_error when the file cannot be created, when libogg or libvorbis is missing
    /// (the empty file stays) or "Vorbis_encode_init_vbr failed: <code>".
    TOGGwriter(const QString& filename, const tWAVEFORMATEX& pcm);
    /// Finishes the file (close()) when nobody did. Never throws.
    ~TOGGwriter() override;

    /// Returns the bytes of the pages this call completed (0 while libogg fills a page).
    /// Throws when the file takes fewer bytes; the file then ends with the last whole page
    /// before the failure and every later call throws the same. Throws with the disk's
    /// complaint when the background sync failed.
    int32_t write(const void* P, uint32_t size) override;

    /// The path actually written: `fname` with its extension replaced by ".ogg".
    const QString& outputName() const override { return iname; }
    /// `name` with its extension (after the last dot of the last path component) replaced by
    /// ".ogg", or ".ogg" appended when it has none.
    static QString oggName(const QString& name);

    /// The codec table's factory.
    static std::unique_ptr<TAudioWriter> create(const QString& filename, const tWAVEFORMATEX& pcm);

private:
    enum class PageMode { Complete, Flush };

    bool InitEncoder();
    /// Ends the stream, writes the last pages and closes the file.
    QString finishFile() override;
    /// Ends the stream and writes its last pages; empty, or why they could not be written.
    QString FinishStream() noexcept;
    void releaseEncoder() noexcept;
    int32_t WritePages(PageMode mode);
    int32_t encodeBlocks();
    [[noreturn]] void failWrite();

    const OggVorbisApi* m_api = nullptr;
    tWAVEFORMATEX m_pcm;
    ogg_stream_state os{};
    ogg_page og{};
    ogg_packet op{};
    vorbis_info vi{};
    vorbis_comment vc{};
    vorbis_dsp_state vd{};
    vorbis_block vb{};
    ogg_packet header{};
    ogg_packet header_comm{};
    ogg_packet header_code{};
    int32_t writeCount = 0;
    float** buffer = nullptr;
    std::unique_ptr<OutputFile> oggfile;
    QString iname;
    bool initialized = false;
    bool m_writeFailed = false;
    /// The granule position of the last page written that had one.
    int64_t m_pageGranule = 0;
    DurableSync m_sync;
};
