#pragma once

// All routines here are pure apart from reading the clock; any thread may call them.

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <cstdint>

struct TrackInfo;

/// Expands the tokens of a naming expression (YY MM DD YS MN DW HH NN SS NUM EVENT,
/// upper case only, replaced in that order) from one instant, the counter value and the
/// event name, then cleans the result with fixfilename. The locale gives the month and day
/// names.
///
/// With a `track`, the tokens ARTIST, TITLE, ALBUM and TRACK name the playing track: the
/// artist or "Unknown Artist", the title or "Unknown Title", the album or nothing, and the
/// track number in at least two digits ("07"), nothing for 0. They are found first, in the
/// expression as written (so in "ALBUMM" the album wins over the month), and their values go
/// in after every other token without being expanded themselves: a title "MM/DD" gives
/// "MM_DD". A value is cut to whole characters within 50 bytes of UTF-8 (100 for the title),
/// so that a file name of them stays within the system's 255 bytes. Without a track they
/// are plain text, as they always were.
QString makeautoname(const QString& expression, const QString& eventname, int32_t number,
                     const QDateTime& now, const QLocale& locale = QLocale(),
                     const TrackInfo* track = nullptr);

/// The same, reading the system clock once and using the system locale.
QString makeautoname(const QString& expression, const QString& eventname, int32_t number);

/// Whether a track's file holds only part of the track: the track was already playing when
/// the recording started, or the recording stopped (not a track change) more than
/// `toleranceUs`, or a tenth of a short track, before the track's end. An unknown length (0)
/// never counts as stopped early: a stream without an end cannot be cut short.
bool isPartialTrack(bool startedBeforeRecording, bool stoppedByRecording, int64_t recordedUs,
                    int64_t trackLengthUs, int64_t toleranceUs = 2'000'000);

/// `path` with " (partial)" before the extension of its file name ("a/b.c.mp3" gives
/// "a/b.c (partial).mp3"); at the end when the file name has no dot.
QString partialTrackName(const QString& path);

/// Replaces every control character (code points 0..31) and each of " * / : < > ? \ | by
/// an underscore. The length does not change.
QString fixfilename(const QString& name);

/// False when the expression holds one of \ / : * ? " < > | (tested in that order).
bool checkexpression(const QString& expression);
