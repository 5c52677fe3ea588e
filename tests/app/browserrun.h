#pragma once

#include <QProcessEnvironment>
#include <QString>

// The recordings browser of a window program seen from outside: tagged recordings of every
// format to list, and the rows the browser read from them (its trace on standard error).

/// Writes a 2 s recording of each format into `folder`, tagged with the title
/// "Title <extension>" and the artist "Artist". Empty when all went well, else what failed.
QString makeTaggedRecordings(const QString& folder);

/// Starts the window program `program` on the X server of the test, opens its browser with
/// Ctrl+Alt+F once the window is shown, waits until the browser has listed the output folder
/// and ends the program. Returns all it printed. No variable that points at data is passed.
QString browserListing(const QString& program, QProcessEnvironment env);

/// Checks the rows of makeTaggedRecordings() in the output of browserListing(): every
/// format with its title, artist and playing time, and no file of the program's own that
/// it did not find. Empty when all are there.
QString missingTaggedRows(const QString& output);
