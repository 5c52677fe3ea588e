#pragma once

#include <QString>

#include <cstdint>

/// The tag of one recording as the browser shows and edits it.
struct audiotag {
    QString title;
    QString artist;
    QString album;
    QString track; ///< decimal text
    QString year;  ///< decimal text
    QString genre;
    QString comment;
    QString copyright;    ///< the tag field named "COPYRIGHT"
    int32_t duration = 0; ///< playing time in whole seconds
    QString bpm;
    QString key;
};

/// Empties the eight text fields from `title` to `copyright` and sets `duration` to 0;
/// `bpm` and `key` are left as they are.
void cleartag(audiotag& tag);
