#include "codecbinding.h"

#include <QByteArray>

#include <cstdlib>
#include <memory>

#include <dlfcn.h>

#ifndef ORVANTA_SONAME_OGG
#define ORVANTA_SONAME_OGG "libogg.so.0"
#endif
#ifndef ORVANTA_SONAME_VORBIS
#define ORVANTA_SONAME_VORBIS "libvorbis.so.0"
#endif
#ifndef ORVANTA_SONAME_VORBISENC
#define ORVANTA_SONAME_VORBISENC "libvorbisenc.so.2"
#endif
#ifndef ORVANTA_SONAME_FLAC
#define ORVANTA_SONAME_FLAC "libFLAC.so.12"
#endif

namespace {

struct LibraryCloser {
    void operator()(void* handle) const {
        if (handle)
            ::dlclose(handle);
    }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

// One library to load: its soname and the variable that may name another file instead.
struct LibraryFile {
    const char* environmentVariable;
    const char* soname;
};

constexpr LibraryFile OggLibrary{"ORVANTA_LIBOGG", ORVANTA_SONAME_OGG};
constexpr LibraryFile VorbisLibrary{"ORVANTA_LIBVORBIS", ORVANTA_SONAME_VORBIS};
constexpr LibraryFile VorbisEncLibrary{"ORVANTA_LIBVORBISENC", ORVANTA_SONAME_VORBISENC};
constexpr LibraryFile FlacLibrary{"ORVANTA_LIBFLAC", ORVANTA_SONAME_FLAC};

// A loaded library, or the message that says why it is not.
class Library {
public:
    Library(const LibraryFile& library, const char* format) {
        const char* file = std::getenv(library.environmentVariable);
        if (!file || !*file)
            file = library.soname;
        m_file = QString::fromLocal8Bit(file);
        m_handle.reset(::dlopen(file, RTLD_NOW | RTLD_LOCAL));
        if (!m_handle) {
            const char* reason = ::dlerror();
            m_error = QStringLiteral("%1 output is not available: the library %2 could not be "
                                     "loaded (%3). Please install it or choose another output "
                                     "format in the settings.")
                          .arg(QString::fromLatin1(format), m_file,
                               reason ? QString::fromLocal8Bit(reason)
                                      : QStringLiteral("unknown reason"));
        }
    }

    // Resolves one entry point unless an earlier one of the same format already failed, so
    // that the message names the first thing missing.
    template <class Function>
    void resolve(const char* name, Function& function, const char* format, QString& error) {
        if (!error.isEmpty())
            return;
        if (!m_handle) {
            error = m_error;
            return;
        }
        void* address = ::dlsym(m_handle.get(), name);
        if (!address) {
            error = QStringLiteral("%1 output is not available: the library %2 has no function "
                                   "%3. Please install a matching version of it or choose "
                                   "another output format in the settings.")
                        .arg(QString::fromLatin1(format), m_file, QString::fromLatin1(name));
            return;
        }
        function = reinterpret_cast<Function>(address);
    }

private:
    QString m_file;
    QString m_error;
    LibraryHandle m_handle;
};

// Declared before the bindings so that the tables are cleared before their libraries close.
struct LoadedLibraries {
    Library ogg{OggLibrary, "Ogg Vorbis"};
    Library vorbis{VorbisLibrary, "Ogg Vorbis"};
    Library vorbisEnc{VorbisEncLibrary, "Ogg Vorbis"};
    Library flac{FlacLibrary, "FLAC"};
    OggVorbisBinding oggVorbis;
    FlacBinding flacBinding;
};

std::unique_ptr<LoadedLibraries> libraries;

template <class Api> void finish(CodecBinding<Api>& binding) {
    binding.loaded = binding.error.isEmpty();
    // Never hand out a half-resolved table.
    if (!binding.loaded)
        binding.api = Api{};
}

LoadedLibraries& loadedLibraries() {
    if (!libraries)
        loadCodecLibraries();
    return *libraries;
}

} // namespace

bool loadCodecLibraries() {
    auto loaded = std::make_unique<LoadedLibraries>();

    OggVorbisBinding& ov = loaded->oggVorbis;
    FlacBinding& fl = loaded->flacBinding;
#define ORVANTA_RESOLVE_OGG(name) loaded->ogg.resolve(#name, ov.api.name, "Ogg Vorbis", ov.error);
#define ORVANTA_RESOLVE_VORBIS(name)                                                               \
    loaded->vorbis.resolve(#name, ov.api.name, "Ogg Vorbis", ov.error);
#define ORVANTA_RESOLVE_VORBISENC(name)                                                            \
    loaded->vorbisEnc.resolve(#name, ov.api.name, "Ogg Vorbis", ov.error);
#define ORVANTA_RESOLVE_FLAC(name) loaded->flac.resolve(#name, fl.api.name, "FLAC", fl.error);
    ORVANTA_OGG_FUNCTIONS(ORVANTA_RESOLVE_OGG)
    ORVANTA_VORBIS_FUNCTIONS(ORVANTA_RESOLVE_VORBIS)
    ORVANTA_VORBISENC_FUNCTIONS(ORVANTA_RESOLVE_VORBISENC)
    ORVANTA_FLAC_FUNCTIONS(ORVANTA_RESOLVE_FLAC)
#undef ORVANTA_RESOLVE_OGG
#undef ORVANTA_RESOLVE_VORBIS
#undef ORVANTA_RESOLVE_VORBISENC
#undef ORVANTA_RESOLVE_FLAC
    finish(ov);
    finish(fl);

    // Replacing a previous load closes its libraries; only allowed while no writer exists.
    libraries = std::move(loaded);
    return libraries->oggVorbis.loaded && libraries->flacBinding.loaded;
}

void unloadCodecLibraries() {
    libraries.reset();
}

const OggVorbisBinding& oggVorbisBinding() {
    return loadedLibraries().oggVorbis;
}

const FlacBinding& flacBinding() {
    return loadedLibraries().flacBinding;
}
