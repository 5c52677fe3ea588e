#pragma once

// The browser's file commands on the file system. Every path goes out through
// fileNameBytes() (common/filename.h), so that a recording whose name is not UTF-8 is
// renamed, copied and trashed under its own bytes; Qt's file classes would write such a name
// with "?" in place of those bytes. Any thread; each call stands alone.

#include <QString>

/// Whether `path` names something that exists (a dangling symbolic link does not).
bool fileExists(const QString& path);

/// Moves `from` to `to` unless `to` exists: rename(2) alone would replace it silently. On
/// failure `*error` says why ("a file with that name already exists" or the system's reason).
bool renameNoReplace(const QString& from, const QString& to, QString* error);

enum class CopyResult { Copied, SameFile, Failed };

/// Copies `source` to `target` with the source's modification time (the browser lists and
/// sorts by it). The copy is written beside `target` and renamed over it only when complete,
/// so a failed copy leaves `target` as it was; an existing target keeps its permissions.
/// SameFile, with nothing done, when both name one file (a copy would first empty it). On
/// failure `*error` says why.
CopyResult copyFileKeepingDate(const QString& source, const QString& target, QString* error);

/// Moves `path` into the user's trash in the freedesktop.org trash layout,
/// where file managers find and restore it: the home trash ($XDG_DATA_HOME/Trash) for a
/// file on its file system, else the trash at the top of the file's own file system
/// ($topdir/.Trash/$uid or $topdir/.Trash-$uid). The info file records the original path
/// percent-encoded from its bytes. On failure `*error` says why and the file stays.
bool moveToTrash(const QString& path, QString* error);
