#pragma once

#include "browser/audiotag.h"

#include <QString>

#include <cstdint>

class TagBinding;

/// A tag-field text read as a 32-bit integer the way the save flow wants it: the whole text,
/// with leading blanks and a sign allowed, and "$", "x" or "0x" introducing hexadecimal
/// digits. Sets `ok` to false (and returns 0) when the text is not such a number.
int32_t tagTextToInt(const QString& text, bool* ok);

/// The number passed to the library for a "Track:" or "Year:" text: the integer, or 0 when
/// the text is not a number or the number is 0 or less.
uint32_t tagFieldNumber(const QString& text);

/// What a save did, for the browser window's refresh.
enum class SaveTagResult { Saved, Refused, NotOpened, Unavailable };
/// What a remove did.
enum class RemoveTagResult { Removed, Missing, Refused, Unavailable };

/// The non-visual tag routines of the browser window, over a loaded tag library. They show
/// nothing (reportSave() and reportRemove() tell the user on the window thread). One thread
/// at a time, one file at a time; no file stays open between calls.
class TagAccess {
public:
    explicit TagAccess(const TagBinding& binding) : m_binding(binding) {}

    /// Reads the tag and playing time of `path`. A file that cannot be opened or is not
    /// valid gives an empty record with duration 0. Without the library (or an entry point
    /// of the read flow) the record is empty but for the playing time, read by libsndfile.
    audiotag GetTag(const QString& path) const;

    /// Writes the eight text fields of `fields` into the tag of `path` (the "Save Tag"
    /// flow up to closing the file).
    SaveTagResult saveTag(const QString& path, const audiotag& fields) const;

    /// Removes the tag of `path` (the "Remove Tag" flow up to closing the file). Refused when
    /// the library could not write the file without its tag; a file it cannot open is passed
    /// over, as by a save.
    RemoveTagResult removeTag(const QString& path) const;

private:
    const TagBinding& m_binding;
};

/// Tells the user about a save: a refused write shows "Can not save tag to the file: " and
/// the path; a file that could not be opened is passed over silently; without the library a
/// message says that tags cannot be edited. Window thread.
void reportSave(SaveTagResult result, const QString& path, const TagBinding& binding);

/// Tells the user about a remove: a missing file shows "Can not remove tag from the file: "
/// and the path; a refused write shows the save's message; without the library a message
/// says that tags cannot be edited. Window thread.
void reportRemove(RemoveTagResult result, const QString& path, const TagBinding& binding);
