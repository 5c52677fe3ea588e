#pragma once

#include "settings/config.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

/// What the command line of orvanta-rec asks for. Options that were not given stay empty,
/// so that the defaults (built-in, or from the window program's settings file) show
/// through. All functions here are pure and may be called on any thread.
struct RecOptions {
    std::optional<int> codec;            ///< index into the codec table
    std::optional<int> bitrateKbps;      ///< MP3 bitrate wanted; mapped to an index later
    std::optional<int> oggQuality;       ///< 0..10
    std::optional<int> flacLevel;        ///< 0..8
    std::optional<QString> outputFolder; ///< as given, not yet made absolute
    std::optional<QString> nameTemplate; ///< a naming expression
    std::optional<double> durationSeconds;
    bool vox = false;
    std::optional<double> thresholdDb;    ///< -90..0
    std::optional<double> silenceSeconds; ///< seconds of silence that close a VOX file
    std::optional<int> minLengthSeconds;  ///< VOX files shorter than this are deleted
    std::optional<int> splitSeconds;      ///< a new part after this many seconds
    std::optional<QString> device;        ///< endpoint name or id
    std::optional<QString> application;   ///< record only this application (name, program, pid)
    bool splitOnTrack = false;            ///< a new file at each track change of a player
    std::optional<QString> trackPlayer;   ///< the player to follow, as given; none: as before
    bool listDevices = false;
    bool useSettings = false;
};

struct RecParseResult {
    enum class Action { Record, ListDevices, ListApps, Help, Version, Error };
    Action action = Action::Error;
    RecOptions options;
    /// The help text for Help, "orvanta-rec " and the version for Version, the message
    /// (naming the option and what it takes) for Error.
    QString text;
};

/// Parses the arguments after the program name.
RecParseResult parseRecOptions(const QStringList& arguments);

/// Reads "90", "1.5", "2:30" or "1:02:03" as seconds. Empty when the text is none of these.
std::optional<double> parseClockSeconds(const QString& text);

/// The bitrate index whose MP3 bitrate at `sampleRate` lies nearest to `kbps`; on a tie
/// the higher bitrate.
int32_t nearestMp3BitrateIndex(int kbps, int32_t sampleRate);

/// The 16-bit level of a threshold in decibels below full scale, 1..32768.
int32_t levelOfDecibels(double db);

/// Puts every option that was given into `record`, over whatever defaults it holds. The
/// bitrate needs the sample rate of the endpoint; `sampleRate` 0 leaves it alone.
/// The output folder is set by the caller, which has to create it.
void applyRecOptions(const RecOptions& options, TConfig& record, int32_t sampleRate);

/// The one-line live status shown on a terminal: elapsed time, file size and a text level
/// meter, e.g. "REC 00:01:05  1.21 MB  [########------------]  -18 dB".
QString recStatusLine(const QString& state, int64_t elapsedSeconds, int64_t bytes, int32_t level);
