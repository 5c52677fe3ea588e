#include "tagbinding.h"

#include "common/datafiles.h"

#include <QFile>

#include <dlfcn.h>

namespace {

const char* const LibraryName = "libtagvessel.so";

} // namespace

void TagBinding::HandleCloser::operator()(void* handle) const {
    if (handle)
        dlclose(handle);
}

TagBinding::TagBinding() : m_searched(dataFileFolders()) {
    const QString found = findDataFile(QString::fromLatin1(LibraryName));
    load(found.isEmpty() ? QString::fromLatin1(LibraryName) : found);
}

TagBinding::TagBinding(const QString& libraryPath) : m_searched{libraryPath} {
    load(libraryPath);
}

TagBinding::~TagBinding() = default;

void TagBinding::load(const QString& libraryPath) {
    m_handle.reset(dlopen(QFile::encodeName(libraryPath).constData(), RTLD_NOW | RTLD_LOCAL));
    if (!m_handle) {
        const char* why = dlerror();
        m_error =
            why ? QString::fromLocal8Bit(why) : QStringLiteral("%1 not found").arg(libraryPath);
        return;
    }
    void* handle = m_handle.get();
#define ORVANTA_RESOLVE_CALLED(name, ...)                                                          \
    m_api.name = reinterpret_cast<decltype(m_api.name)>(dlsym(handle, #name));
#define ORVANTA_RESOLVE_UNCALLED(name) m_api.name = dlsym(handle, #name);
    ORVANTA_TAGVESSEL_CALLED(ORVANTA_RESOLVE_CALLED)
    ORVANTA_TAGVESSEL_UNCALLED(ORVANTA_RESOLVE_UNCALLED)
#undef ORVANTA_RESOLVE_CALLED
#undef ORVANTA_RESOLVE_UNCALLED
}

bool TagBinding::canRead() const {
    const TagVesselApi& a = m_api;
    return a.taglib_set_strings_unicode && a.taglib_file_new && a.taglib_file_is_valid &&
           a.taglib_file_tag && a.taglib_file_audioproperties && a.taglib_audioproperties_length &&
           a.taglib_tag_title && a.taglib_tag_artist && a.taglib_tag_album && a.taglib_tag_genre &&
           a.taglib_tag_comment && a.taglib_tag_track && a.taglib_tag_year &&
           a.taglib_tag_get_byname && a.taglib_tag_get_bpm && a.taglib_tag_get_key &&
           a.taglib_tag_free_strings && a.taglib_file_free;
}

bool TagBinding::canSave() const {
    const TagVesselApi& a = m_api;
    return a.taglib_file_new && a.taglib_file_tag && a.taglib_tag_set_title &&
           a.taglib_tag_set_artist && a.taglib_tag_set_album && a.taglib_tag_set_genre &&
           a.taglib_tag_set_comment && a.taglib_tag_set_track && a.taglib_tag_set_year &&
           a.taglib_tag_set_byname && a.taglib_file_save_ex && a.taglib_file_free;
}

bool TagBinding::canRemove() const {
    const TagVesselApi& a = m_api;
    return a.taglib_file_new && a.taglib_file_tag && a.taglib_tag_remove && a.taglib_file_save_ex &&
           a.taglib_file_free;
}
