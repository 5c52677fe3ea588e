# The Debian package: `cpack -G DEB` in a build folder (scripts/package.sh does it all).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvanta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The package's changelog is written by hand; its newest entry must be this version, or the
# package would describe another release than it holds.
set(changelog ${PROJECT_SOURCE_DIR}/data/package/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
file(STRINGS ${changelog} changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^orvanta \\(([^)]*)\\)")
    message(FATAL_ERROR "data/package/changelog does not start with an entry "
        "\"orvanta (version) ...\"")
elseif(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "The newest entry of data/package/changelog is for version "
        "${CMAKE_MATCH_1}, the project's version is ${PROJECT_VERSION}: add an entry for it.")
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "records what the computer plays")
set(CPACK_PACKAGE_DESCRIPTION
    "Orvanta records the sound that the computer plays (the mix of the default
output) to MP3, Ogg Vorbis, WAV or FLAC files. It starts and stops by buttons,
global hot keys, a voice-operated switch or a scheduler, splits recordings by
time, names files from templates, shows a spectrum analyser and a level meter,
plays recordings back and keeps a recordings browser with tags. orvanta-rec
records from the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Orvanta developers <developers@orvanta.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs and the tag library are linked with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# The codec libraries are opened at run time, so dpkg-shlibdeps cannot see them: each is
# named here by the package that holds the file the build found.
get_property(runtime_libraries GLOBAL PROPERTY ORVANTA_RUNTIME_LIBRARIES)
set(runtime_packages)
foreach(library IN LISTS runtime_libraries)
    set(package)
    execute_process(COMMAND dpkg-query -S ${library}
        OUTPUT_VARIABLE owners ERROR_QUIET RESULT_VARIABLE rc)
    if(rc EQUAL 0 AND owners MATCHES "^([^:,]+)")
        set(package ${CMAKE_MATCH_1})
    endif()
    if(NOT package)
        message(WARNING "No package holds ${library}; the Debian package will not depend on it.")
    else()
        list(APPEND runtime_packages ${package})
    endif()
endforeach()
list(REMOVE_DUPLICATES runtime_packages)
list(JOIN runtime_packages ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
message(STATUS "Packages loaded at run time: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
# Help, e-mail and web addresses go through xdg-utils; a sound server is needed to record,
# and Qt's Wayland support to run as a Wayland client.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, pipewire-pulse | pulseaudio, qt6-wayland")

include(CPack)
