#include "audiotag.h"

void cleartag(audiotag& tag) {
    tag.title.clear();
    tag.artist.clear();
    tag.album.clear();
    tag.track.clear();
    tag.year.clear();
    tag.genre.clear();
    tag.comment.clear();
    tag.copyright.clear();
    tag.duration = 0;
}
