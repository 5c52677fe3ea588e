#include "tagvessel.h"

#include "checkedstream.h"

#include <taglib/apetag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mpegfile.h>
#include <taglib/popularimeterframe.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <strings.h>
#include <vector>

namespace {

struct VesselFile;

// The tag and audio-properties handles point into their file, so that they stay valid when
// the file is reopened after a save.
struct TagHandle {
    VesselFile* owner;
};
struct PropertiesHandle {
    VesselFile* owner;
};

enum class Format { Mpeg, OggVorbis, Flac, Wav, Other };

struct VesselFile {
    std::string path;
    std::unique_ptr<CheckedStream> stream;
    std::unique_ptr<TagLib::FileRef> ref;
    Format format = Format::Other;
    bool stripOthers = false;
    TagHandle tagHandle{this};
    PropertiesHandle propertiesHandle{this};

    TagLib::File* file() const { return ref ? ref->file() : nullptr; }

    /// TagLib takes a text file named .mp3 or .wav for a valid file without audio, so a
    /// file only counts as valid when it has a sample rate and channels too; a tag is never
    /// written into anything else.
    bool isAudio() const {
        const TagLib::File* f = file();
        const TagLib::AudioProperties* p = f && f->isValid() ? f->audioProperties() : nullptr;
        return p && p->sampleRate() > 0 && p->channels() > 0;
    }
    template <class T> T* as() const { return dynamic_cast<T*>(file()); }

    void close() {
        forget();
        ref.reset(); // The file refers to the stream, so it goes first.
        stream.reset();
    }

    /// The tags (see findTags), found once per opening: a listing reads ten fields of each
    /// file, and each would otherwise look them up again.
    const std::vector<TagLib::Tag*>& tags() const {
        if (!tagCache)
            tagCache = findTags();
        return *tagCache;
    }

    /// The property map of each tag, in the order of tags(), built once until a write.
    const std::vector<TagLib::PropertyMap>& propertyMaps() const;

    /// A field was written: the property maps are stale.
    void changed() { propertyCache.reset(); }
    /// Tags may have been created or removed: look them up again.
    void forget() {
        tagCache.reset();
        propertyCache.reset();
    }

    mutable std::optional<std::vector<TagLib::Tag*>> tagCache;
    mutable std::optional<std::vector<TagLib::PropertyMap>> propertyCache;

    bool open() {
        close();
        forget();
        stream = std::make_unique<CheckedStream>(path);
        if (!stream->isOpen()) {
            close();
            return false;
        }
        ref =
            std::make_unique<TagLib::FileRef>(stream.get(), true, TagLib::AudioProperties::Average);
        if (!file()) {
            close();
            return false;
        }
        if (as<TagLib::MPEG::File>())
            format = Format::Mpeg;
        else if (as<TagLib::Ogg::Vorbis::File>())
            format = Format::OggVorbis;
        else if (as<TagLib::FLAC::File>())
            format = Format::Flac;
        else if (as<TagLib::RIFF::WAV::File>())
            format = Format::Wav;
        else
            format = Format::Other;
        return true;
    }

    /// The tags that writes go to, main tag first. Other tag kinds the file already has are
    /// kept in step; reads take the first tag that has a value, as TagLib's tag union does.
    std::vector<TagLib::Tag*> findTags() const {
        std::vector<TagLib::Tag*> list;
        if (!isAudio())
            return list;
        switch (format) {
        case Format::Mpeg: {
            auto* mpeg = as<TagLib::MPEG::File>();
            list.push_back(mpeg->ID3v2Tag(true));
            if (mpeg->hasID3v1Tag())
                list.push_back(mpeg->ID3v1Tag());
            if (mpeg->hasAPETag())
                list.push_back(mpeg->APETag());
            break;
        }
        case Format::Flac: {
            auto* flac = as<TagLib::FLAC::File>();
            list.push_back(flac->xiphComment(true));
            if (flac->hasID3v2Tag())
                list.push_back(flac->ID3v2Tag());
            if (flac->hasID3v1Tag())
                list.push_back(flac->ID3v1Tag());
            break;
        }
        case Format::Wav: {
            // TagLib 1.13's WAV tag() is the ID3v2 tag alone, so INFO is added here.
            auto* wav = as<TagLib::RIFF::WAV::File>();
            list.push_back(wav->ID3v2Tag());
            list.push_back(wav->InfoTag());
            break;
        }
        case Format::OggVorbis:
        case Format::Other:
            list.push_back(file()->tag());
            break;
        }
        std::erase(list, nullptr);
        return list;
    }
};

bool g_unicode = true;
bool g_manageStrings = true;
std::vector<char*> g_strings;

VesselFile* vessel(const TagLib_File* file) {
    return reinterpret_cast<VesselFile*>(const_cast<TagLib_File*>(file));
}

VesselFile* owner(const TagLib_Tag* tag) {
    return tag ? reinterpret_cast<const TagHandle*>(tag)->owner : nullptr;
}

/// Runs `body`, turning any exception into `fallback`: nothing may unwind into C callers.
template <class T, class Body> T guarded(T fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

template <class Body> void guardedVoid(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

char* keepString(const TagLib::String& text) {
    const std::string bytes = text.to8Bit(g_unicode);
    char* copy = static_cast<char*>(std::malloc(bytes.size() + 1));
    if (!copy)
        return nullptr;
    std::memcpy(copy, bytes.c_str(), bytes.size() + 1);
    if (g_manageStrings) {
        try {
            g_strings.push_back(copy);
        } catch (...) {
            std::free(copy);
            return nullptr;
        }
    }
    return copy;
}

TagLib::String fromC(const char* text) {
    if (!text)
        return {};
    return TagLib::String(text, g_unicode ? TagLib::String::UTF8 : TagLib::String::Latin1);
}

/// UTF-32 to UTF-8; false for a value that is not a Unicode scalar value.
bool wideToUtf8(const wchar_t* wide, std::string& out) {
    for (; *wide; ++wide) {
        const auto c = static_cast<unsigned long>(*wide);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF)
                return false;
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c <= 0x10FFFF) {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            return false;
        }
    }
    return true;
}

TagLib_File* openPath(std::string path) {
    if (path.empty())
        return nullptr;
    auto file = std::make_unique<VesselFile>();
    file->path = std::move(path);
    if (!file->open())
        return nullptr;
    return reinterpret_cast<TagLib_File*>(file.release());
}

template <class Get> char* readText(const TagLib_Tag* tag, Get get) {
    return guarded<char*>(nullptr, [&] {
        TagLib::String value;
        if (VesselFile* file = owner(tag)) {
            for (TagLib::Tag* t : file->tags()) {
                value = get(t);
                if (!value.isEmpty())
                    break;
            }
        }
        return keepString(value);
    });
}

template <class Get> unsigned int readNumber(const TagLib_Tag* tag, Get get) {
    return guarded(0u, [&] {
        if (VesselFile* file = owner(tag)) {
            for (TagLib::Tag* t : file->tags()) {
                if (const unsigned int value = get(t))
                    return value;
            }
        }
        return 0u;
    });
}

template <class Set> void writeAll(TagLib_Tag* tag, Set set) {
    guardedVoid([&] {
        if (VesselFile* file = owner(tag)) {
            for (TagLib::Tag* t : file->tags())
                set(t);
            file->changed();
        }
    });
}

// TagLib 1.13's Tag::properties() and setProperties() are not virtual: called through the
// base class they know only the basic fields and drop keys like COPYRIGHT. So they are
// called on the concrete tag type here.
TagLib::PropertyMap tagProperties(const TagLib::Tag* tag) {
    if (auto* id3v2 = dynamic_cast<const TagLib::ID3v2::Tag*>(tag))
        return id3v2->properties();
    if (auto* xiph = dynamic_cast<const TagLib::Ogg::XiphComment*>(tag))
        return xiph->properties();
    if (auto* info = dynamic_cast<const TagLib::RIFF::Info::Tag*>(tag))
        return info->properties();
    if (auto* ape = dynamic_cast<const TagLib::APE::Tag*>(tag))
        return ape->properties();
    if (auto* id3v1 = dynamic_cast<const TagLib::ID3v1::Tag*>(tag))
        return id3v1->properties();
    return tag->properties();
}

void setTagProperties(TagLib::Tag* tag, const TagLib::PropertyMap& properties) {
    if (auto* id3v2 = dynamic_cast<TagLib::ID3v2::Tag*>(tag))
        id3v2->setProperties(properties);
    else if (auto* xiph = dynamic_cast<TagLib::Ogg::XiphComment*>(tag))
        xiph->setProperties(properties);
    else if (auto* info = dynamic_cast<TagLib::RIFF::Info::Tag*>(tag))
        info->setProperties(properties);
    else if (auto* ape = dynamic_cast<TagLib::APE::Tag*>(tag))
        ape->setProperties(properties);
    else if (auto* id3v1 = dynamic_cast<TagLib::ID3v1::Tag*>(tag))
        id3v1->setProperties(properties);
    else
        tag->setProperties(properties);
}

const std::vector<TagLib::PropertyMap>& VesselFile::propertyMaps() const {
    if (!propertyCache) {
        std::vector<TagLib::PropertyMap> maps;
        for (const TagLib::Tag* t : tags())
            maps.push_back(tagProperties(t));
        propertyCache = std::move(maps);
    }
    return *propertyCache;
}

TagLib::String upperKey(const char* name) {
    return TagLib::String(name ? name : "").upper();
}

TagLib::String readProperty(VesselFile* file, const TagLib::String& key) {
    if (!file || key.isEmpty())
        return {};
    for (const TagLib::PropertyMap& properties : file->propertyMaps()) {
        const auto found = properties.find(key);
        if (found != properties.end() && !found->second.isEmpty())
            return found->second.toString("; ");
    }
    return {};
}

void writeProperty(VesselFile* file, const TagLib::String& key, const TagLib::String& value) {
    if (!file || key.isEmpty())
        return;
    for (TagLib::Tag* t : file->tags()) {
        TagLib::PropertyMap properties = tagProperties(t);
        properties.erase(key);
        if (!value.isEmpty())
            properties.insert(key, TagLib::StringList(value));
        setTagProperties(t, properties);
    }
    file->changed();
}

void clearBasicFields(TagLib::Tag* tag) {
    tag->setTitle(TagLib::String());
    tag->setArtist(TagLib::String());
    tag->setAlbum(TagLib::String());
    tag->setComment(TagLib::String());
    tag->setGenre(TagLib::String());
    tag->setYear(0);
    tag->setTrack(0);
}

void removeTags(VesselFile& file) {
    if (!file.isAudio())
        return;
    // Emptied tags are not written back: TagLib drops an empty ID3v2 tag or INFO chunk when
    // saving, and an emptied Xiph comment keeps only its vendor text.
    for (TagLib::Tag* t : file.tags()) {
        if (auto* id3v2 = dynamic_cast<TagLib::ID3v2::Tag*>(t)) {
            // Not over a copy of the list: TagLib's lists share their contents.
            while (!id3v2->frameList().isEmpty())
                id3v2->removeFrame(id3v2->frameList().front(), true);
        } else if (auto* xiph = dynamic_cast<TagLib::Ogg::XiphComment*>(t)) {
            xiph->removeAllFields();
            xiph->removeAllPictures();
        } else {
            setTagProperties(t, TagLib::PropertyMap());
            clearBasicFields(t);
        }
    }
    if (auto* flac = file.as<TagLib::FLAC::File>())
        flac->removePictures();
    file.forget();
}

bool saveFile(VesselFile& file, int what) {
    TagLib::File* f = file.file();
    if (!f || !file.isAudio() || !file.stream || file.stream->readOnly())
        return false;
    const bool main = what & TAGVESSEL_SAVE_MAIN;
    const bool strip = (what & TAGVESSEL_SAVE_STRIP_OTHERS) || file.stripOthers;
    file.stream->resetFailure();
    bool saved = true;
    switch (file.format) {
    case Format::Mpeg: {
        auto* mpeg = file.as<TagLib::MPEG::File>();
        if (main) {
            int kinds = TagLib::MPEG::File::ID3v2;
            if (!strip) {
                if (mpeg->hasID3v1Tag())
                    kinds |= TagLib::MPEG::File::ID3v1;
                if (mpeg->hasAPETag())
                    kinds |= TagLib::MPEG::File::APE;
            }
            saved = mpeg->save(kinds, strip ? TagLib::File::StripOthers : TagLib::File::StripNone,
                               TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate);
        } else if (strip) {
            saved = mpeg->strip(TagLib::MPEG::File::ID3v1 | TagLib::MPEG::File::APE);
        }
        break;
    }
    case Format::Flac: {
        auto* flac = file.as<TagLib::FLAC::File>();
        if (strip)
            flac->strip(TagLib::FLAC::File::ID3v1 | TagLib::FLAC::File::ID3v2);
        if (main || strip)
            saved = flac->save();
        break;
    }
    case Format::Wav:
        if (main)
            saved = file.as<TagLib::RIFF::WAV::File>()->save(
                TagLib::RIFF::WAV::File::AllTags, TagLib::File::StripOthers, TagLib::ID3v2::v4);
        break;
    case Format::OggVorbis:
    case Format::Other:
        if (main)
            saved = f->save();
        break;
    }
    const bool ok = saved && !file.stream->failed();
    // Reopen, so that further reads and saves start from what is really on disk; TagLib can
    // write a second ID3v2 tag when a file object is saved twice.
    file.stripOthers = false;
    file.open();
    return ok;
}

/// The ID3v2 tag that holds an MP3's or a WAV file's pictures; null for other formats, and
/// for an MP3 without such a tag unless `create`.
TagLib::ID3v2::Tag* pictureTag(VesselFile& file, bool create) {
    if (auto* mpeg = file.as<TagLib::MPEG::File>())
        return create || mpeg->hasID3v2Tag() ? mpeg->ID3v2Tag(create) : nullptr;
    if (auto* wav = file.as<TagLib::RIFF::WAV::File>())
        return wav->ID3v2Tag();
    return nullptr;
}

/// The pictures of a FLAC file (its picture blocks) or an Ogg Vorbis file (its comment's
/// METADATA_BLOCK_PICTURE fields).
TagLib::List<TagLib::FLAC::Picture*> blockPictures(VesselFile& file) {
    if (auto* flac = file.as<TagLib::FLAC::File>())
        return flac->pictureList();
    if (auto* vorbis = file.as<TagLib::Ogg::Vorbis::File>())
        return vorbis->tag() ? vorbis->tag()->pictureList()
                             : TagLib::List<TagLib::FLAC::Picture*>();
    return {};
}

/// The bytes of every picture of the file, in the order the file holds them.
std::vector<TagLib::ByteVector> pictureData(VesselFile& file) {
    std::vector<TagLib::ByteVector> pictures;
    if (!file.isAudio())
        return pictures;
    if (TagLib::ID3v2::Tag* id3v2 = pictureTag(file, false)) {
        for (TagLib::ID3v2::Frame* frame : id3v2->frameListMap()["APIC"]) {
            if (auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame))
                pictures.push_back(apic->picture());
        }
        return pictures;
    }
    for (const TagLib::FLAC::Picture* picture : blockPictures(file))
        pictures.push_back(picture->data());
    return pictures;
}

/// Puts a picture of `type` into the file in memory, in place of any of the same type.
bool setPicture(VesselFile& file, const TagLib::String& mimeType, const TagLib::ByteVector& data,
                int type) {
    if (!file.isAudio())
        return false;
    if (TagLib::ID3v2::Tag* id3v2 = pictureTag(file, true)) {
        std::vector<TagLib::ID3v2::Frame*> replaced;
        for (TagLib::ID3v2::Frame* frame : id3v2->frameListMap()["APIC"]) {
            auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame);
            if (apic && static_cast<int>(apic->type()) == type)
                replaced.push_back(frame);
        }
        for (TagLib::ID3v2::Frame* frame : replaced)
            id3v2->removeFrame(frame, true);
        auto apic = std::make_unique<TagLib::ID3v2::AttachedPictureFrame>();
        apic->setMimeType(mimeType);
        apic->setType(static_cast<TagLib::ID3v2::AttachedPictureFrame::Type>(type));
        apic->setPicture(data);
        id3v2->addFrame(apic.release());
        file.changed();
        return true;
    }
    auto* flac = file.as<TagLib::FLAC::File>();
    auto* vorbis = file.as<TagLib::Ogg::Vorbis::File>();
    TagLib::Ogg::XiphComment* comment = vorbis ? vorbis->tag() : nullptr;
    if (!flac && !comment)
        return false;
    // Collected first: removing from a list while a copy of it is alive would copy it.
    std::vector<TagLib::FLAC::Picture*> replaced;
    for (TagLib::FLAC::Picture* picture : blockPictures(file)) {
        if (static_cast<int>(picture->type()) == type)
            replaced.push_back(picture);
    }
    auto picture = std::make_unique<TagLib::FLAC::Picture>();
    picture->setMimeType(mimeType);
    picture->setType(static_cast<TagLib::FLAC::Picture::Type>(type));
    picture->setData(data);
    for (TagLib::FLAC::Picture* old : replaced) {
        if (flac)
            flac->removePicture(old, true);
        else
            comment->removePicture(old, true);
    }
    if (flac)
        flac->addPicture(picture.release());
    else
        comment->addPicture(picture.release());
    file.changed();
    return true;
}

const char* const CoverTypeNames[] = {"Other",
                                      "File Icon",
                                      "Other File Icon",
                                      "Front Cover",
                                      "Back Cover",
                                      "Leaflet Page",
                                      "Media",
                                      "Lead Artist",
                                      "Artist",
                                      "Conductor",
                                      "Band",
                                      "Composer",
                                      "Lyricist",
                                      "Recording Location",
                                      "During Recording",
                                      "During Performance",
                                      "Movie Screen Capture",
                                      "Coloured Fish",
                                      "Illustration",
                                      "Band Logo",
                                      "Publisher Logo"};
constexpr int CoverTypeCount = sizeof(CoverTypeNames) / sizeof(CoverTypeNames[0]);

} // namespace

extern "C" {

void taglib_set_strings_unicode(int unicode) {
    g_unicode = unicode != 0;
}

void taglib_set_string_management_enabled(int management) {
    g_manageStrings = management != 0;
}

void taglib_free(void* pointer) {
    std::free(pointer);
}

void taglib_tag_free_strings(void) {
    for (char* text : g_strings)
        std::free(text);
    g_strings.clear();
}

TagLib_File* taglib_file_newu(const wchar_t* filename) {
    return guarded<TagLib_File*>(nullptr, [&]() -> TagLib_File* {
        std::string path;
        if (!filename || !wideToUtf8(filename, path))
            return nullptr;
        return openPath(std::move(path));
    });
}

TagLib_File* taglib_file_new(const char* filename) {
    return guarded<TagLib_File*>(
        nullptr, [&]() -> TagLib_File* { return filename ? openPath(filename) : nullptr; });
}

TagLib_File* taglib_file_new_type(const char* filename, TagLib_File_Type type) {
    TagLib_File* file = taglib_file_new(filename);
    const VesselFile* f = vessel(file);
    if (!f)
        return nullptr;
    const bool matches = (type == TagLib_File_MPEG && f->format == Format::Mpeg) ||
                         (type == TagLib_File_OggVorbis && f->format == Format::OggVorbis) ||
                         (type == TagLib_File_FLAC && f->format == Format::Flac) ||
                         (type == TagLib_File_WAV && f->format == Format::Wav);
    if (!matches) {
        taglib_file_free(file);
        return nullptr;
    }
    return file;
}

void taglib_file_free(TagLib_File* file) {
    guardedVoid([&] { delete vessel(file); });
}

int taglib_file_is_valid(const TagLib_File* file) {
    return guarded(0, [&] {
        const VesselFile* f = vessel(file);
        return f && f->isAudio() ? 1 : 0;
    });
}

TagLib_Tag* taglib_file_tag(const TagLib_File* file) {
    return guarded<TagLib_Tag*>(nullptr, [&]() -> TagLib_Tag* {
        VesselFile* f = vessel(file);
        if (!f || f->tags().empty())
            return nullptr;
        return reinterpret_cast<TagLib_Tag*>(&f->tagHandle);
    });
}

const TagLib_AudioProperties* taglib_file_audioproperties(const TagLib_File* file) {
    return guarded<const TagLib_AudioProperties*>(nullptr, [&]() -> const TagLib_AudioProperties* {
        VesselFile* f = vessel(file);
        if (!f)
            return nullptr;
        return reinterpret_cast<const TagLib_AudioProperties*>(&f->propertiesHandle);
    });
}

int taglib_file_save_ex(TagLib_File* file, int what) {
    return guarded(0, [&] { return file && saveFile(*vessel(file), what) ? 1 : 0; });
}

int taglib_file_save(TagLib_File* file) {
    return taglib_file_save_ex(file, TAGVESSEL_SAVE_MAIN | TAGVESSEL_SAVE_STRIP_OTHERS);
}

char* taglib_tag_title(const TagLib_Tag* tag) {
    return readText(tag, [](TagLib::Tag* t) { return t->title(); });
}
char* taglib_tag_artist(const TagLib_Tag* tag) {
    return readText(tag, [](TagLib::Tag* t) { return t->artist(); });
}
char* taglib_tag_album(const TagLib_Tag* tag) {
    return readText(tag, [](TagLib::Tag* t) { return t->album(); });
}
char* taglib_tag_comment(const TagLib_Tag* tag) {
    return readText(tag, [](TagLib::Tag* t) { return t->comment(); });
}
char* taglib_tag_genre(const TagLib_Tag* tag) {
    return readText(tag, [](TagLib::Tag* t) { return t->genre(); });
}
unsigned int taglib_tag_year(const TagLib_Tag* tag) {
    return readNumber(tag, [](TagLib::Tag* t) { return t->year(); });
}
unsigned int taglib_tag_track(const TagLib_Tag* tag) {
    return readNumber(tag, [](TagLib::Tag* t) { return t->track(); });
}

void taglib_tag_set_title(TagLib_Tag* tag, const char* title) {
    writeAll(tag, [&](TagLib::Tag* t) { t->setTitle(fromC(title)); });
}
void taglib_tag_set_artist(TagLib_Tag* tag, const char* artist) {
    writeAll(tag, [&](TagLib::Tag* t) { t->setArtist(fromC(artist)); });
}
void taglib_tag_set_album(TagLib_Tag* tag, const char* album) {
    writeAll(tag, [&](TagLib::Tag* t) { t->setAlbum(fromC(album)); });
}
void taglib_tag_set_comment(TagLib_Tag* tag, const char* comment) {
    writeAll(tag, [&](TagLib::Tag* t) { t->setComment(fromC(comment)); });
}
void taglib_tag_set_genre(TagLib_Tag* tag, const char* genre) {
    writeAll(tag, [&](TagLib::Tag* t) { t->setGenre(fromC(genre)); });
}
void taglib_tag_set_year(TagLib_Tag* tag, unsigned int year) {
    writeAll(tag, [&](TagLib::Tag* t) { t->setYear(year); });
}
void taglib_tag_set_track(TagLib_Tag* tag, unsigned int track) {
    writeAll(tag, [&](TagLib::Tag* t) { t->setTrack(track); });
}

char* taglib_tag_get_byname(TagLib_File* file, const char* name) {
    return guarded<char*>(nullptr,
                          [&] { return keepString(readProperty(vessel(file), upperKey(name))); });
}

void taglib_tag_set_byname(TagLib_File* file, const char* name, const char* value) {
    guardedVoid([&] { writeProperty(vessel(file), upperKey(name), fromC(value)); });
}

char* taglib_tag_get_bpm(TagLib_File* file) {
    return taglib_tag_get_byname(file, "BPM");
}
char* taglib_tag_get_key(TagLib_File* file) {
    return taglib_tag_get_byname(file, "INITIALKEY");
}

void taglib_tag_set_bpm(TagLib_File* file, const char* bpm) {
    taglib_tag_set_byname(file, "BPM", bpm);
}
void taglib_tag_set_key(TagLib_File* file, const char* key) {
    taglib_tag_set_byname(file, "INITIALKEY", key);
}

int taglib_tag_get_rating(TagLib_File* file) {
    return guarded(0, [&] {
        VesselFile* f = vessel(file);
        if (!f)
            return 0;
        for (TagLib::Tag* t : f->tags()) {
            if (auto* id3v2 = dynamic_cast<TagLib::ID3v2::Tag*>(t)) {
                const TagLib::ID3v2::FrameList& frames = id3v2->frameListMap()["POPM"];
                if (!frames.isEmpty()) {
                    if (auto* popm =
                            dynamic_cast<TagLib::ID3v2::PopularimeterFrame*>(frames.front()))
                        return popm->rating();
                }
            }
        }
        return readProperty(f, "RATING").toInt();
    });
}

int taglib_tag_get_version(TagLib_File* file) {
    return guarded(0, [&] {
        VesselFile* f = vessel(file);
        if (!f || !f->isAudio())
            return 0;
        TagLib::ID3v2::Tag* id3v2 = nullptr;
        if (auto* mpeg = f->as<TagLib::MPEG::File>())
            id3v2 = mpeg->hasID3v2Tag() ? mpeg->ID3v2Tag() : nullptr;
        else if (auto* wav = f->as<TagLib::RIFF::WAV::File>())
            id3v2 = wav->hasID3v2Tag() ? wav->ID3v2Tag() : nullptr;
        return id3v2 ? static_cast<int>(id3v2->header()->majorVersion()) : 0;
    });
}

void taglib_tag_remove(TagLib_File* file) {
    guardedVoid([&] {
        if (VesselFile* f = vessel(file))
            removeTags(*f);
    });
}

int taglib_tag_strip(TagLib_File* file) {
    VesselFile* f = vessel(file);
    if (!f)
        return 0;
    f->stripOthers = true;
    return 1;
}

int taglib_tag_copy(TagLib_File* source, TagLib_File* target) {
    return guarded(0, [&] {
        VesselFile* from = vessel(source);
        VesselFile* to = vessel(target);
        if (!from || !to || !from->file() || !to->file() || from->tags().empty())
            return 0;
        const TagLib::PropertyMap properties = tagProperties(from->tags().front());
        for (TagLib::Tag* t : to->tags()) {
            setTagProperties(t, properties);
            TagLib::Tag::duplicate(from->tags().front(), t, true);
        }
        to->changed();
        return 1;
    });
}

int taglib_tag_get_cover_count(TagLib_File* file) {
    return guarded(0, [&] {
        VesselFile* f = vessel(file);
        return f ? static_cast<int>(pictureData(*f).size()) : 0;
    });
}
const TagLib_Cover* taglib_tag_get_cover(TagLib_File*, int) {
    return nullptr;
}
unsigned int taglib_tag_get_cover_data(TagLib_File* file, int index, void* buffer,
                                       unsigned int size) {
    return guarded(0u, [&] {
        VesselFile* f = vessel(file);
        if (!f || index < 0)
            return 0u;
        const std::vector<TagLib::ByteVector> pictures = pictureData(*f);
        if (static_cast<size_t>(index) >= pictures.size())
            return 0u;
        const TagLib::ByteVector& data = pictures[static_cast<size_t>(index)];
        if (buffer && size >= data.size())
            std::memcpy(buffer, data.data(), data.size());
        return data.size();
    });
}
int taglib_tag_set_cover(TagLib_File* file, const char* mimeType, const void* data,
                         unsigned int size, int type) {
    return guarded(0, [&] {
        VesselFile* f = vessel(file);
        if (!f || !data || size == 0 || type < 0 || type >= CoverTypeCount)
            return 0;
        const TagLib::ByteVector bytes(static_cast<const char*>(data), size);
        return setPicture(*f, TagLib::String(mimeType ? mimeType : "", TagLib::String::UTF8), bytes,
                          type)
                   ? 1
                   : 0;
    });
}
int taglib_tag_delete_cover(TagLib_File*, int) {
    return 0;
}
int taglib_tag_delete_allcovers(TagLib_File*) {
    return 0;
}
int taglib_tag_get_cover_types_count(void) {
    return CoverTypeCount;
}

const char* taglib_tag_get_cover_type_name(int index) {
    return index >= 0 && index < CoverTypeCount ? CoverTypeNames[index] : nullptr;
}

int taglib_tag_get_cover_type_index(const char* name) {
    if (!name)
        return -1;
    for (int i = 0; i < CoverTypeCount; ++i) {
        if (strcasecmp(name, CoverTypeNames[i]) == 0)
            return i;
    }
    return -1;
}

static const TagLib::AudioProperties* audioProperties(const TagLib_AudioProperties* properties) {
    if (!properties)
        return nullptr;
    const VesselFile* f = reinterpret_cast<const PropertiesHandle*>(properties)->owner;
    return f->isAudio() ? f->file()->audioProperties() : nullptr;
}

int taglib_audioproperties_length(const TagLib_AudioProperties* properties) {
    return guarded(0, [&] {
        const auto* p = audioProperties(properties);
        return p ? p->lengthInSeconds() : 0;
    });
}
int taglib_audioproperties_bitrate(const TagLib_AudioProperties* properties) {
    return guarded(0, [&] {
        const auto* p = audioProperties(properties);
        return p ? p->bitrate() : 0;
    });
}
int taglib_audioproperties_samplerate(const TagLib_AudioProperties* properties) {
    return guarded(0, [&] {
        const auto* p = audioProperties(properties);
        return p ? p->sampleRate() : 0;
    });
}
int taglib_audioproperties_channels(const TagLib_AudioProperties* properties) {
    return guarded(0, [&] {
        const auto* p = audioProperties(properties);
        return p ? p->channels() : 0;
    });
}

void taglib_id3v2_set_default_text_encoding(TagLib_ID3v2_Encoding encoding) {
    TagLib::String::Type type = TagLib::String::Latin1;
    switch (encoding) {
    case TagLib_ID3v2_Latin1:
        type = TagLib::String::Latin1;
        break;
    case TagLib_ID3v2_UTF16:
        type = TagLib::String::UTF16;
        break;
    case TagLib_ID3v2_UTF16BE:
        type = TagLib::String::UTF16BE;
        break;
    case TagLib_ID3v2_UTF8:
        type = TagLib::String::UTF8;
        break;
    }
    guardedVoid([&] { TagLib::ID3v2::FrameFactory::instance()->setDefaultTextEncoding(type); });
}

} // extern "C"
