#pragma once

#include "common/tdatetime.h"

#include <QString>

#include <array>
#include <cstdint>

/// The record of every user setting, plus a few values that live only while the program
/// runs. One process-wide instance, `config`, read and written directly on the window
/// thread; there is no accessor layer.
struct TConfig {
    bool stayontop = false;
    QString path;           ///< the program's own folder, with a trailing separator
    int32_t codec = 0;      ///< index into the codec table: 0 MP3, 1 Ogg Vorbis, 2 WAV, 3 FLAC
    int32_t vbrmode = 0;    ///< always 0 (constant bitrate)
    int32_t bitrate = 0;    ///< MP3 bitrate index, 0 = highest
    int32_t oggquality = 0; ///< Vorbis quality step 0..10
    int32_t flaclevel = 0;  ///< FLAC compression level 0..8
    QString archive;        ///< output folder of recordings
    bool autoname = false;
    QString namingexpression;
    int32_t namingnumber = 0;
    int32_t nextnumber = 0; ///< not stored; offset added to namingnumber for the next NUM
    bool scheduler = false;
    int32_t numevents = 0;
    bool vox = false;
    int32_t trashold = 0; ///< VOX threshold on the 16-bit sample scale, 1..32768
    float silence = 0.0f; ///< seconds of silence that close a VOX file
    bool voxautodelete = false;
    int32_t voxautodeletetime = 0;
    TDateTime voxautodeletestart = 0.0; ///< not stored
    bool voxdeleteit = false;           ///< not stored
    bool minstartup = false;
    int32_t mixervolume = 0;
    int32_t playvolume = 0;
    bool pauserecord = false;
    int32_t displaytype = 0;
    bool splitteron = false;
    int32_t timelimit = 0; ///< seconds
    bool hotkeys = false;  ///< true means the global hot keys are switched off
    int32_t posx = 0;
    int32_t posy = 0;
    std::array<int32_t, 6> schedulercolumns{};
    QString pathtosettings; ///< not stored
    bool askconfirmation = false;
    bool autostop = false;
    int32_t autostoptime = 0;
    bool checkupdates = false;
    /// Start a new file when a media player announces a new track.
    bool splitontrack = false;
    /// The player whose track changes split: its D-Bus name ("org.mpris.MediaPlayer2.vlc"),
    /// or as given on the command line its short name; empty means any player.
    QString trackplayer;
    /// The application whose sound alone is recorded, as it names itself, and its program's
    /// file name; both empty: everything the computer plays.
    QString recordfrom;
    QString recordfrombinary;

    bool operator==(const TConfig&) const = default;
};

/// Built-in defaults that the loader also takes for a stored value the program cannot work
/// with (see loadconfig).
namespace configdefaults {
inline constexpr int32_t codec = 0;
inline constexpr int32_t bitrate = 5;
inline constexpr int32_t oggquality = 4;
inline constexpr int32_t flaclevel = 4;
inline constexpr int32_t trashold = 1635;
inline constexpr float silence = 2.0f;
inline constexpr int32_t displaytype = 1;
inline constexpr int32_t timelimit = 600;
inline constexpr std::array<int32_t, 6> schedulercolumns{170, 70, 70, 86, 80, 75};
} // namespace configdefaults

/// Whether `name` can be stored as `trackplayer`: empty, or at most 255 characters without
/// control characters and without blanks at either end. Any thread.
bool validtrackplayer(const QString& name);
/// Whether `name` can be stored as `recordfrom` or `recordfrombinary`: the same rules.
inline bool validrecordfrom(const QString& name) {
    return validtrackplayer(name);
}
/// What capture looks the application of the settings up by: its name, or else its program.
inline QString recordedapplication(const TConfig& record) {
    return record.recordfrom.isEmpty() ? record.recordfrombinary : record.recordfrom;
}

/// The process-wide settings instance. Window thread only.
extern TConfig config;

/// The fallback output folder for `path`, with a trailing separator: `programFolder` when
/// the program may write there (a build tree, say), otherwise the user's music folder,
/// created if missing (the home folder if there is no music folder). Window thread only.
QString defaultPath(const QString& programFolder);

/// Puts the built-in defaults into the record. Fields it does not set (voxautodeletetime,
/// voxautodeletestart, voxdeleteit, pathtosettings) keep their values.
void defaultconfig(TConfig& record);

/// The decibel value shown for a 16-bit level: 20 log10(level / 32768), rounded to the
/// nearest integer, halves to even. 1 gives -90, 1635 gives -26, 32768 gives 0. Levels
/// below 1 have no logarithm and give the value of level 1. Any thread.
int32_t leveltodb(int32_t level);
