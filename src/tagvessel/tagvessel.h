#pragma once

/*
 * libtagvessel: the tag library of Orvanta. It reads and writes the tags and cover pictures
 * of MP3 (ID3v2), Ogg Vorbis and FLAC (Xiph comments) and WAV (ID3v2 and RIFF INFO) files over
 * TagLib, and exports the entry points below with the C calling convention. The program loads
 * it by name at run time and looks each entry point up by its exported name.
 *
 * Threads: the library is not thread-safe. The program calls it from one thread (the window
 * thread), one file at a time; the string mode and the list of returned strings are global.
 *
 * Strings: text passed in and returned is UTF-8 (Latin-1 after
 * taglib_set_strings_unicode(0)), terminated by a zero byte. Every returned text stays valid
 * until taglib_tag_free_strings(), which frees all of them at once; with string management
 * disabled the caller frees each one with taglib_free() instead. Null text arguments count as
 * empty. No entry point throws or crashes on a null handle.
 */

#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TAGVESSEL_BUILDING)
#define TAGVESSEL_API __attribute__((visibility("default")))
#else
#define TAGVESSEL_API
#endif

/* Opaque handles. A tag handle and an audio-properties handle belong to the file handle they
 * came from and are valid until taglib_file_free() of that file. */
typedef struct {
    int dummy;
} TagLib_File;
typedef struct {
    int dummy;
} TagLib_Tag;
typedef struct {
    int dummy;
} TagLib_AudioProperties;
typedef struct {
    int dummy;
} TagLib_Cover;

typedef enum {
    TagLib_File_MPEG = 0,
    TagLib_File_OggVorbis = 1,
    TagLib_File_FLAC = 2,
    TagLib_File_WAV = 11
} TagLib_File_Type;

typedef enum {
    TagLib_ID3v2_Latin1 = 0,
    TagLib_ID3v2_UTF16 = 1,
    TagLib_ID3v2_UTF16BE = 2,
    TagLib_ID3v2_UTF8 = 3
} TagLib_ID3v2_Encoding;

/* Values of taglib_file_save_ex, to be OR-ed together. The program passes 3. */
enum {
    /* Write the format's main tag: ID3v2.4 in MP3, the Xiph comment in Ogg Vorbis and FLAC,
     * ID3v2.4 and RIFF INFO in WAV. Other tag kinds the file already has (ID3v1 or APE in
     * MP3, ID3v1 or ID3v2 in FLAC) are written in step with it unless also removed. */
    TAGVESSEL_SAVE_MAIN = 1,
    /* Remove those other tag kinds, so that no stale copy can contradict the main tag. */
    TAGVESSEL_SAVE_STRIP_OTHERS = 2
};

/* Strings */
TAGVESSEL_API void taglib_set_strings_unicode(int unicode);
TAGVESSEL_API void taglib_set_string_management_enabled(int management);
TAGVESSEL_API void taglib_free(void* pointer);
TAGVESSEL_API void taglib_tag_free_strings(void);

/* Files. The wide path of taglib_file_newu is wchar_t, which is UTF-32 on Linux; the 8-bit
 * paths are the file system's bytes, used as they stand, so that a name that is not UTF-8
 * opens too. A file opens for reading and writing where allowed, else read-only. Null
 * comes back when the file cannot be opened or is of no known type. */
TAGVESSEL_API TagLib_File* taglib_file_newu(const wchar_t* filename);
TAGVESSEL_API TagLib_File* taglib_file_new(const char* filename);
/* Opens the file only when it is of the given type; null otherwise. */
TAGVESSEL_API TagLib_File* taglib_file_new_type(const char* filename, TagLib_File_Type type);
TAGVESSEL_API void taglib_file_free(TagLib_File* file);
TAGVESSEL_API int taglib_file_is_valid(const TagLib_File* file);
TAGVESSEL_API TagLib_Tag* taglib_file_tag(const TagLib_File* file);
TAGVESSEL_API const TagLib_AudioProperties* taglib_file_audioproperties(const TagLib_File* file);
/* Writes the tags as `what` (TAGVESSEL_SAVE_*) selects and reopens the file, so that a second
 * save on the same handle starts from what is on disk. Returns 0 when the file is read-only or
 * any write failed (a full disk, a size limit); non-zero on success. */
TAGVESSEL_API int taglib_file_save_ex(TagLib_File* file, int what);
/* The same as taglib_file_save_ex(file, 3). */
TAGVESSEL_API int taglib_file_save(TagLib_File* file);

/* Basic tag fields. Numbers read 0 when absent; setting 0 removes them. */
TAGVESSEL_API char* taglib_tag_title(const TagLib_Tag* tag);
TAGVESSEL_API char* taglib_tag_artist(const TagLib_Tag* tag);
TAGVESSEL_API char* taglib_tag_album(const TagLib_Tag* tag);
TAGVESSEL_API char* taglib_tag_comment(const TagLib_Tag* tag);
TAGVESSEL_API char* taglib_tag_genre(const TagLib_Tag* tag);
TAGVESSEL_API unsigned int taglib_tag_year(const TagLib_Tag* tag);
TAGVESSEL_API unsigned int taglib_tag_track(const TagLib_Tag* tag);
TAGVESSEL_API void taglib_tag_set_title(TagLib_Tag* tag, const char* title);
TAGVESSEL_API void taglib_tag_set_artist(TagLib_Tag* tag, const char* artist);
TAGVESSEL_API void taglib_tag_set_album(TagLib_Tag* tag, const char* album);
TAGVESSEL_API void taglib_tag_set_comment(TagLib_Tag* tag, const char* comment);
TAGVESSEL_API void taglib_tag_set_genre(TagLib_Tag* tag, const char* genre);
TAGVESSEL_API void taglib_tag_set_year(TagLib_Tag* tag, unsigned int year);
TAGVESSEL_API void taglib_tag_set_track(TagLib_Tag* tag, unsigned int track);

/* Fields by their common name ("COPYRIGHT", "BPM", "INITIALKEY", ...; case does not matter).
 * Several values read joined by "; ". Setting an empty value removes the field. */
TAGVESSEL_API char* taglib_tag_get_byname(TagLib_File* file, const char* name);
TAGVESSEL_API void taglib_tag_set_byname(TagLib_File* file, const char* name, const char* value);
TAGVESSEL_API char* taglib_tag_get_bpm(TagLib_File* file);
TAGVESSEL_API char* taglib_tag_get_key(TagLib_File* file);
TAGVESSEL_API void taglib_tag_set_bpm(TagLib_File* file, const char* bpm);
TAGVESSEL_API void taglib_tag_set_key(TagLib_File* file, const char* key);
/* The popularimeter rating of ID3v2 (0..255) or the numeric RATING field; 0 when absent. */
TAGVESSEL_API int taglib_tag_get_rating(TagLib_File* file);
/* The ID3v2 major version (3 or 4) of an MP3 or WAV file's tag; 0 otherwise. */
TAGVESSEL_API int taglib_tag_get_version(TagLib_File* file);

/* Empties every tag of the file in memory; the next save writes the file without them. */
TAGVESSEL_API void taglib_tag_remove(TagLib_File* file);
/* Marks the other tag kinds for removal at the next save, as TAGVESSEL_SAVE_STRIP_OTHERS
 * does. Returns non-zero. */
TAGVESSEL_API int taglib_tag_strip(TagLib_File* file);
/* Copies all fields of one file's tag into another's, in memory. Non-zero on success. */
TAGVESSEL_API int taglib_tag_copy(TagLib_File* source, TagLib_File* target);

/* Pictures: the APIC frames of the ID3v2 tag in MP3 and WAV, the picture blocks of FLAC, the
 * METADATA_BLOCK_PICTURE fields of the Ogg Vorbis comment. The type is an index into the
 * ID3v2 picture type names (21 types; 3 is "Front Cover"). Changes are made in memory; the
 * next save writes them. */
/* The number of pictures of the file; 0 for a null handle. */
TAGVESSEL_API int taglib_tag_get_cover_count(TagLib_File* file);
/* Not supported: always null. */
TAGVESSEL_API const TagLib_Cover* taglib_tag_get_cover(TagLib_File* file, int index);
/* The size in bytes of picture `index` (0 when there is none); the bytes are copied into
 * `buffer` when it is not null and `size` is at least that. */
TAGVESSEL_API unsigned int taglib_tag_get_cover_data(TagLib_File* file, int index, void* buffer,
                                                     unsigned int size);
/* Adds a picture of `type` with the given MIME type ("image/jpeg") and bytes, in place of any
 * picture of the same type. Returns 0 (and changes nothing) for no bytes, a type outside
 * 0..20 or a file that is not audio of the four formats; non-zero on success. */
TAGVESSEL_API int taglib_tag_set_cover(TagLib_File* file, const char* mimeType, const void* data,
                                       unsigned int size, int type);
/* Not supported: refused (0). */
TAGVESSEL_API int taglib_tag_delete_cover(TagLib_File* file, int index);
TAGVESSEL_API int taglib_tag_delete_allcovers(TagLib_File* file);
TAGVESSEL_API int taglib_tag_get_cover_types_count(void);
/* A static text, not to be freed; null outside 0..count-1. */
TAGVESSEL_API const char* taglib_tag_get_cover_type_name(int index);
/* The index of a type name (case does not matter), or -1. */
TAGVESSEL_API int taglib_tag_get_cover_type_index(const char* name);

/* Audio properties */
TAGVESSEL_API int taglib_audioproperties_length(const TagLib_AudioProperties* properties);
TAGVESSEL_API int taglib_audioproperties_bitrate(const TagLib_AudioProperties* properties);
TAGVESSEL_API int taglib_audioproperties_samplerate(const TagLib_AudioProperties* properties);
TAGVESSEL_API int taglib_audioproperties_channels(const TagLib_AudioProperties* properties);

/* Sets the text encoding of ID3v2 frames written from now on. */
TAGVESSEL_API void taglib_id3v2_set_default_text_encoding(TagLib_ID3v2_Encoding encoding);

#ifdef __cplusplus
}
#endif
