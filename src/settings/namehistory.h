#pragma once

#include <QString>
#include <QStringList>

/// The naming expressions used so far, unsorted; duplicates may come from the file.
/// Window thread only.
extern QStringList namehistory;

/// Appends the expressions of the naming-rules file at `path` to `namehistory`. A missing
/// file, or a document whose root is not "Auto-names", changes nothing silently; a damaged
/// file shows "Can't Load Naming Rules" and keeps what was appended before the damage.
/// Window thread only.
void loadnames(const QString& path);

/// Writes `namehistory` to `path`, replacing the file atomically. A failure is reported
/// through the message service and gives false; the previous file stays. Window thread only.
bool savenames(const QString& path);
