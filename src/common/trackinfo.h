#pragma once

#include <QString>

#include <cstdint>

/// What a media player says it is playing: the metadata of one track, as the session bus's
/// media players publish it. Empty texts and zeros where the player gives nothing.
struct TrackInfo {
    QString player;       ///< the player's bus name, e.g. "org.mpris.MediaPlayer2.vlc"
    QString trackId;      ///< mpris:trackid (an object path); empty when the player gives none
    QString title;        ///< xesam:title
    QString artist;       ///< xesam:artist, several joined by ", "
    QString album;        ///< xesam:album
    int trackNumber = 0;  ///< xesam:trackNumber
    int year = 0;         ///< the year of xesam:contentCreated
    QString genre;        ///< xesam:genre, several joined by ", "
    int64_t lengthUs = 0; ///< mpris:length in microseconds; 0 when unknown
    QString artUrl;       ///< mpris:artUrl

    /// Whether a player said anything of a track at all.
    bool isKnown() const { return !trackId.isEmpty() || !title.isEmpty() || !artist.isEmpty(); }

    /// Whether `other` is another track than this one: another trackid, or, when the player
    /// gives none, another title or artist.
    bool isOtherTrack(const TrackInfo& other) const {
        if (!trackId.isEmpty() || !other.trackId.isEmpty())
            return trackId != other.trackId;
        return title != other.title || artist != other.artist;
    }
};
