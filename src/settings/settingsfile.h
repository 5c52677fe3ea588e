#pragma once

#include "settings/config.h"

#include <QString>

/// How loadconfig treats a damaged settings file.
enum class ConfigLoadMode {
    /// The program itself: the damaged file is kept as "<name>.bak", the user is told, and
    /// the defaults are used.
    Normal,
    /// Other tools (the command-line recorder): nothing on disk is created, renamed, deleted
    /// or written and no message is shown; the caller gets the defaults and the reason.
    ReadOnly,
};

/// The settings folder: the application-data folder + "/Velmora/Orvanta/", always ending
/// with a separator. Does not create it. Any thread.
QString settingsFolder();

/// Fills `record` from the settings file `filename` (relative to the settings folder) and
/// sets `record.pathtosettings`. The record is reset to all-zero values first, so the fields
/// a file does not supply keep the loader's starting values. A value that reads but that the
/// program cannot work with (a split time below a second, a silence that is not a number from
/// 0.1 to 3600 seconds, a codec, bitrate, quality, level, threshold or display index outside
/// its range, a column width below 1 or above 8192) takes its default without a word; the
/// file's other values are kept. A missing file gives the defaults silently; a damaged one
/// gives the defaults, after the message "Error loading settings. Default settings will be
/// restored" in Normal mode. Returns an empty text when the file was read or was absent,
/// otherwise what was wrong with it. Window thread only.
QString loadconfig(const QString& filename, TConfig& record,
                   ConfigLoadMode mode = ConfigLoadMode::Normal);

/// Writes the settings file `filename` (relative to the settings folder), then the events
/// file and the naming-rules file beside it. Each file is replaced atomically, so a failure
/// leaves the previous file intact; the first failure is reported through the message
/// service, stops the remaining writes and gives false. Window thread only.
bool saveconfig(const QString& filename, const TConfig& record);
