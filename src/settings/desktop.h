#pragma once

// Thin layers over the desktop's services. All of them run on the window thread; none keeps
// state between calls.

#include "common/tdatetime.h"

#include <QString>

#include <cstdint>

/// The user's configuration folder (the place for application data), without a trailing
/// separator; empty when unknown.
QString getappdatafolder();

/// The user's music folder, without a trailing separator; empty when unknown.
QString getmusicfolder();

/// The command line of the default web browser's desktop entry (its Exec value, with any
/// field codes such as %u left in). When none can be found, "xdg-open", which opens an
/// address with whatever the desktop uses. Runs xdg-settings or xdg-mime and waits for them.
QString getdefaultbrowser();

/// True when the autostart entry "tallisk.desktop" exists in the user's autostart folder
/// and starts a program. Creates nothing.
bool isautostart();

/// Writes (on) or removes (off) the autostart entry; it starts the running program. Removing
/// an absent entry is no error. A failure is reported through the message service and gives
/// false.
bool setautostart(bool on);

/// The Exec value of a desktop entry that starts `program` with no arguments: the path in
/// double quotes with the characters that the entry format reserves escaped.
QString desktopExecValue(const QString& program);

/// Opens the help document `file`, found through the program's data-file lookup, with the
/// desktop's default handler (xdg-open); a non-empty `topic` becomes the address's fragment.
/// Shows "Unable to open help file :" and the path when the file is missing or the handler
/// does not start.
void openhelp(const QString& file, const QString& topic);

/// Asks process `processid` to close (SIGTERM), waits up to `wait` milliseconds for it to
/// end, and terminates it (SIGKILL) if it has not. A process that does not exist, and ids
/// that do not name a single other process, are left alone.
void closeprocess(uint32_t processid, uint32_t wait);

/// Moves one file to the user's trash (freedesktop.org trash). True exactly when the file is
/// now in a trash folder; on any failure the file stays where it was.
bool DeleteToRecycleBin(const QString& path);

/// The name with its extension removed: the last "." and what follows, when that part
/// holds no path separator; otherwise the name unchanged. Any thread.
QString stripext(const QString& name);

/// The time of day of `t` as "hh:mm:ss" (00..23 hours, whole days dropped). The separator
/// is always ":", whatever the locale. Any thread.
QString timetext(TDateTime t);
