#pragma once

#include <QString>
#include <QStringList>

/// The naming expressions used so far, unsorted; duplicates may come from the file.
/// Window thread only.
extern QStringList namehistory;

/// Appends the expressions of the naming-rules file at `path` to `namehistory`. A missing
/// file, or a document whose root is not "Auto-names", changes nothing silently. A damaged
/// file shows "Can't Load Naming Rules"; of a partly damaged one every entry that reads is
/// appended. A file that is damaged or not a naming-rules file is first copied to
/// "<path>.bak", as the next save writes over it. Window thread only.
void loadnames(const QString& path);

/// Writes `namehistory` to `path`, replacing the file atomically. A failure is reported
/// through the message service and gives false; the previous file stays. Window thread only.
bool savenames(const QString& path);
