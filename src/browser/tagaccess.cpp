#include "tagaccess.h"

#include "browser/filecommands.h"
#include "browser/tagbinding.h"
#include "common/filename.h"
#include "common/messages.h"

#include <sndfile.h>

#include <fcntl.h>
#include <unistd.h>

#include <cctype>

namespace {

const char* const ErrorCaption = "Error";

void showError(const QString& text) {
    messages().show(text, QString::fromLatin1(ErrorCaption), MessageIcon::Error,
                    MessageButtons::Ok);
}

void showUnavailable(const TagBinding& binding) {
    QString text = QStringLiteral("Tags cannot be edited: the tag library (libtagvessel.so) "
                                  "could not be loaded or is incomplete.");
    if (!binding.error().isEmpty())
        text += QLatin1Char('\n') + binding.error();
    text += QStringLiteral("\nPlease reinstall the program.");
    showError(text);
}

// A remove is a save of the file without its tag, so its failure reads the same.
void showSaveRefused(const QString& path) {
    showError(QStringLiteral("Can not save tag to the file: ") + displayFileName(path));
}

// The playing time as the player's decoder sees it, for when the tag library is missing:
// whole seconds, as the tag library gives them; 0 when the file cannot be read.
int soundFileSeconds(const QString& path) {
    const int fd = ::open(fileNameBytes(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!file) {
        ::close(fd);
        return 0;
    }
    sf_close(file);
    if (info.samplerate <= 0 || info.frames <= 0 || info.frames == SF_COUNT_MAX)
        return 0;
    return static_cast<int>(info.frames / info.samplerate);
}

QString fromLibrary(const char* text) {
    return text ? QString::fromUtf8(text) : QString();
}

} // namespace

int32_t tagTextToInt(const QString& text, bool* ok) {
    *ok = false;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    int base = 10;
    if (i < n && text[i] == QLatin1Char('$')) {
        base = 16;
        ++i;
    } else if (i < n && (text[i] == QLatin1Char('x') || text[i] == QLatin1Char('X'))) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == QLatin1Char('0') &&
               (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X'))) {
        base = 16;
        i += 2;
    }
    if (i >= n)
        return 0;
    // Decimal numbers must fit a signed 32-bit integer; hexadecimal ones may use all 32 bits
    // and then read as the signed value with those bits.
    const uint64_t limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    uint64_t value = 0;
    for (; i < n; ++i) {
        const int digit =
            QChar(text[i]).isDigit() && text[i].unicode() < 128
                ? text[i].unicode() - '0'
                : (base == 16 && text[i].unicode() < 128 &&
                           std::isxdigit(static_cast<unsigned char>(text[i].unicode()))
                       ? std::tolower(static_cast<unsigned char>(text[i].unicode())) - 'a' + 10
                       : -1);
        if (digit < 0)
            return 0;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > limit)
            return 0;
    }
    int64_t signedValue = base == 16 ? static_cast<int32_t>(static_cast<uint32_t>(value))
                                     : static_cast<int64_t>(value);
    if (negative)
        signedValue = -signedValue;
    *ok = true;
    return static_cast<int32_t>(signedValue);
}

uint32_t tagFieldNumber(const QString& text) {
    bool ok = false;
    const int32_t value = tagTextToInt(text, &ok);
    return ok && value > 0 ? static_cast<uint32_t>(value) : 0;
}

audiotag TagAccess::GetTag(const QString& path) const {
    audiotag result;
    cleartag(result);
    if (!m_binding.canRead()) {
        result.duration = soundFileSeconds(path);
        return result;
    }
    const TagVesselApi& api = m_binding.api();
    api.taglib_set_strings_unicode(-1);
    TagVesselFile* file = api.taglib_file_new(fileNameBytes(path).constData());
    if (file && api.taglib_file_is_valid(file)) {
        if (TagVesselTag* tag = api.taglib_file_tag(file)) {
            result.title = fromLibrary(api.taglib_tag_title(tag));
            result.artist = fromLibrary(api.taglib_tag_artist(tag));
            result.album = fromLibrary(api.taglib_tag_album(tag));
            result.genre = fromLibrary(api.taglib_tag_genre(tag));
            result.comment = fromLibrary(api.taglib_tag_comment(tag));
            result.track = QString::number(api.taglib_tag_track(tag));
            result.year = QString::number(api.taglib_tag_year(tag));
            result.copyright = fromLibrary(api.taglib_tag_get_byname(file, "COPYRIGHT"));
            result.bpm = fromLibrary(api.taglib_tag_get_bpm(file));
            result.key = fromLibrary(api.taglib_tag_get_key(file));
        }
        result.duration = api.taglib_audioproperties_length(api.taglib_file_audioproperties(file));
    }
    api.taglib_tag_free_strings();
    api.taglib_file_free(file);
    return result;
}

SaveTagResult TagAccess::saveTag(const QString& path, const audiotag& fields) const {
    if (!m_binding.canSave())
        return SaveTagResult::Unavailable;
    const TagVesselApi& api = m_binding.api();
    TagVesselFile* file = api.taglib_file_new(fileNameBytes(path).constData());
    if (!file)
        return SaveTagResult::NotOpened;
    if (TagVesselTag* tag = api.taglib_file_tag(file)) {
        api.taglib_tag_set_title(tag, fields.title.toUtf8().constData());
        api.taglib_tag_set_artist(tag, fields.artist.toUtf8().constData());
        api.taglib_tag_set_album(tag, fields.album.toUtf8().constData());
        api.taglib_tag_set_track(tag, tagFieldNumber(fields.track));
        api.taglib_tag_set_year(tag, tagFieldNumber(fields.year));
        api.taglib_tag_set_genre(tag, fields.genre.toUtf8().constData());
        api.taglib_tag_set_comment(tag, fields.comment.toUtf8().constData());
        api.taglib_tag_set_byname(file, "COPYRIGHT", fields.copyright.toUtf8().constData());
    }
    const bool saved = api.taglib_file_save_ex(file, 3) != 0;
    api.taglib_file_free(file);
    return saved ? SaveTagResult::Saved : SaveTagResult::Refused;
}

RemoveTagResult TagAccess::removeTag(const QString& path) const {
    if (!fileExists(path))
        return RemoveTagResult::Missing;
    if (!m_binding.canRemove())
        return RemoveTagResult::Unavailable;
    const TagVesselApi& api = m_binding.api();
    bool saved = true;
    if (TagVesselFile* file = api.taglib_file_new(fileNameBytes(path).constData())) {
        if (api.taglib_file_tag(file)) {
            api.taglib_tag_remove(file);
            saved = api.taglib_file_save_ex(file, 3) != 0;
        }
        api.taglib_file_free(file);
    }
    return saved ? RemoveTagResult::Removed : RemoveTagResult::Refused;
}

void reportSave(SaveTagResult result, const QString& path, const TagBinding& binding) {
    if (result == SaveTagResult::Refused)
        showSaveRefused(path);
    else if (result == SaveTagResult::Unavailable)
        showUnavailable(binding);
}

void reportRemove(RemoveTagResult result, const QString& path, const TagBinding& binding) {
    if (result == RemoveTagResult::Missing)
        showError(QStringLiteral("Can not remove tag from the file: ") + displayFileName(path));
    else if (result == RemoveTagResult::Refused)
        showSaveRefused(path);
    else if (result == RemoveTagResult::Unavailable)
        showUnavailable(binding);
}
