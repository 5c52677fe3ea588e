#include "tracktagging.h"

#include "browser/tagbinding.h"
#include "common/filename.h"
#include "common/trackinfo.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <optional>

namespace {

// Enough for any album cover; a player pointing at something larger is not sending a cover.
constexpr qint64 MaxCoverBytes = 5 * 1024 * 1024;
// The ID3v2 picture type "Front Cover", which the other formats share.
constexpr int32_t FrontCover = 3;

struct Cover {
    const char* mimeType;
    QByteArray data;
};

// The picture the player points at, told by its first bytes rather than its name.
std::optional<Cover> readCover(const QString& artUrl) {
    const QUrl url(artUrl);
    if (!url.isValid() || !url.isLocalFile())
        return std::nullopt;
    const QString path = url.toLocalFile();
    // Only a regular file: opening a pipe or a device could block or never end.
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > MaxCoverBytes)
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray data = file.read(MaxCoverBytes + 1);
    if (data.isEmpty() || data.size() > MaxCoverBytes)
        return std::nullopt;
    if (data.startsWith(QByteArrayLiteral("\xFF\xD8\xFF")))
        return Cover{"image/jpeg", std::move(data)};
    if (data.startsWith(QByteArrayLiteral("\x89PNG\r\n\x1A\n")))
        return Cover{"image/png", std::move(data)};
    return std::nullopt;
}

bool fail(QString* error, const QString& why) {
    if (error)
        *error = why;
    return false;
}

} // namespace

bool tagTrackFile(const TagBinding& binding, const QString& path, const TrackInfo& track,
                  QString* error) {
    if (!binding.canSave() || !binding.api().taglib_set_strings_unicode) {
        QString why = QStringLiteral("The tag library (libtagvessel.so) could not be loaded or "
                                     "is incomplete.");
        if (!binding.error().isEmpty())
            why += QLatin1Char(' ') + binding.error();
        return fail(error, why);
    }
    const TagVesselApi& api = binding.api();
    api.taglib_set_strings_unicode(1);
    TagVesselFile* file = api.taglib_file_new(fileNameBytes(path).constData());
    TagVesselTag* tag = file ? api.taglib_file_tag(file) : nullptr;
    if (!tag) {
        if (file)
            api.taglib_file_free(file);
        return fail(error,
                    QStringLiteral("Can not open the file to tag it: ") + displayFileName(path));
    }
    api.taglib_tag_set_title(tag, track.title.toUtf8().constData());
    api.taglib_tag_set_artist(tag, track.artist.toUtf8().constData());
    api.taglib_tag_set_album(tag, track.album.toUtf8().constData());
    api.taglib_tag_set_track(tag,
                             track.trackNumber > 0 ? static_cast<uint32_t>(track.trackNumber) : 0);
    api.taglib_tag_set_year(tag, track.year > 0 ? static_cast<uint32_t>(track.year) : 0);
    api.taglib_tag_set_genre(tag, track.genre.toUtf8().constData());
    if (api.taglib_tag_set_cover) {
        if (const std::optional<Cover> cover = readCover(track.artUrl))
            api.taglib_tag_set_cover(file, cover->mimeType, cover->data.constData(),
                                     static_cast<uint32_t>(cover->data.size()), FrontCover);
    }
    const bool saved = api.taglib_file_save_ex(file, 3) != 0;
    api.taglib_file_free(file);
    if (!saved)
        return fail(error,
                    QStringLiteral("Can not save tag to the file: ") + displayFileName(path));
    return true;
}
