#pragma once

#include <QString>

class TagBinding;
struct TrackInfo;

/// Writes what a media player said about a track into the tag of the file recorded from it:
/// title, artist, album, track number, year and genre (empty ones are left out of the tag),
/// and the cover as the front picture when `track.artUrl` is a file:// URL of a JPEG or PNG
/// picture of at most 5 MB. Any other cover (a web address, a missing or larger file, another
/// kind of picture) is passed over without a word: the tag matters, the picture is a bonus.
/// Returns false, with the reason in `error` when it is not null, when the library cannot
/// tag (not loaded or incomplete), the file cannot be opened as a sound file, or the save
/// fails. One thread at a time, as the library allows.
bool tagTrackFile(const TagBinding& binding, const QString& path, const TrackInfo& track,
                  QString* error);
