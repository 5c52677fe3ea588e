#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

// The entry points of libtagvessel.so, with the argument and result types the program uses.
// Handles are opaque; texts are UTF-8; the path of taglib_file_new is the file system's bytes
// (fileNameBytes()), so that a name that is not UTF-8 opens too.
struct TagVesselFile;
struct TagVesselTag;
struct TagVesselProperties;

// clang-format off
#define ORVANTA_TAGVESSEL_CALLED(X) \
    X(taglib_set_strings_unicode, void, int32_t) \
    X(taglib_file_new, TagVesselFile*, const char*) \
    X(taglib_file_is_valid, int32_t, const TagVesselFile*) \
    X(taglib_file_tag, TagVesselTag*, const TagVesselFile*) \
    X(taglib_file_audioproperties, const TagVesselProperties*, const TagVesselFile*) \
    X(taglib_audioproperties_length, int32_t, const TagVesselProperties*) \
    X(taglib_tag_title, char*, const TagVesselTag*) \
    X(taglib_tag_artist, char*, const TagVesselTag*) \
    X(taglib_tag_album, char*, const TagVesselTag*) \
    X(taglib_tag_genre, char*, const TagVesselTag*) \
    X(taglib_tag_comment, char*, const TagVesselTag*) \
    X(taglib_tag_track, uint32_t, const TagVesselTag*) \
    X(taglib_tag_year, uint32_t, const TagVesselTag*) \
    X(taglib_tag_get_byname, char*, TagVesselFile*, const char*) \
    X(taglib_tag_get_bpm, char*, TagVesselFile*) \
    X(taglib_tag_get_key, char*, TagVesselFile*) \
    X(taglib_tag_set_title, void, TagVesselTag*, const char*) \
    X(taglib_tag_set_artist, void, TagVesselTag*, const char*) \
    X(taglib_tag_set_album, void, TagVesselTag*, const char*) \
    X(taglib_tag_set_genre, void, TagVesselTag*, const char*) \
    X(taglib_tag_set_comment, void, TagVesselTag*, const char*) \
    X(taglib_tag_set_track, void, TagVesselTag*, uint32_t) \
    X(taglib_tag_set_year, void, TagVesselTag*, uint32_t) \
    X(taglib_tag_set_byname, void, TagVesselFile*, const char*, const char*) \
    X(taglib_tag_remove, void, TagVesselFile*) \
    X(taglib_tag_set_cover, int32_t, TagVesselFile*, const char*, const void*, uint32_t, \
      int32_t) \
    X(taglib_file_save_ex, int32_t, TagVesselFile*, int32_t) \
    X(taglib_tag_free_strings, void) \
    X(taglib_file_free, void, TagVesselFile*)

// Looked up like the others but never called; kept so that the table is complete.
#define ORVANTA_TAGVESSEL_UNCALLED(X) \
    X(taglib_audioproperties_bitrate) X(taglib_audioproperties_channels) \
    X(taglib_audioproperties_samplerate) X(taglib_file_newu) X(taglib_file_new_type) \
    X(taglib_file_save) X(taglib_id3v2_set_default_text_encoding) \
    X(taglib_set_string_management_enabled) X(taglib_tag_get_cover) \
    X(taglib_tag_get_cover_data) X(taglib_tag_get_cover_count) \
    X(taglib_tag_get_cover_types_count) X(taglib_tag_delete_cover) \
    X(taglib_tag_delete_allcovers) X(taglib_tag_get_rating) X(taglib_tag_set_key) \
    X(taglib_tag_set_bpm) X(taglib_tag_copy) X(taglib_tag_get_version) X(taglib_tag_strip) \
    X(taglib_tag_get_cover_type_name) X(taglib_tag_get_cover_type_index)
// clang-format on

#define ORVANTA_TAGVESSEL_CALLED_ENTRY(name, result, ...) result (*name)(__VA_ARGS__) = nullptr;
#define ORVANTA_TAGVESSEL_UNCALLED_ENTRY(name) void* name = nullptr;

/// The entry-point table. An entry point the library does not export stays null.
struct TagVesselApi {
    ORVANTA_TAGVESSEL_CALLED(ORVANTA_TAGVESSEL_CALLED_ENTRY)
    ORVANTA_TAGVESSEL_UNCALLED(ORVANTA_TAGVESSEL_UNCALLED_ENTRY)
};

#undef ORVANTA_TAGVESSEL_CALLED_ENTRY
#undef ORVANTA_TAGVESSEL_UNCALLED_ENTRY

/// The tag library, loaded at run time and unloaded when the binding is destroyed. The
/// browser window creates one when it is created. Window thread only.
class TagBinding {
public:
    /// Loads libtagvessel.so found through findDataFile() (next to the executable, in
    /// ../lib/orvanta or in $ORVANTA_DATA_DIR), else by name through the system's search.
    TagBinding();
    /// Loads the library at `libraryPath` (for tests).
    explicit TagBinding(const QString& libraryPath);
    ~TagBinding();

    TagBinding(const TagBinding&) = delete;
    TagBinding& operator=(const TagBinding&) = delete;

    bool loaded() const { return m_handle != nullptr; }
    /// Why loading failed (empty when it did not).
    const QString& error() const { return m_error; }
    /// Where the library was looked for: the folders of the data-file lookup, or the path
    /// given. Without a find there, the system's library search was tried as well.
    const QStringList& searched() const { return m_searched; }
    const TagVesselApi& api() const { return m_api; }

    /// True when every entry point of the read flow is present.
    bool canRead() const;
    /// True when every entry point of the save flow is present.
    bool canSave() const;
    /// True when every entry point of the remove flow is present.
    bool canRemove() const;

private:
    void load(const QString& libraryPath);

    struct HandleCloser {
        void operator()(void* handle) const;
    };
    std::unique_ptr<void, HandleCloser> m_handle;
    QString m_error;
    QStringList m_searched;
    TagVesselApi m_api;
};
