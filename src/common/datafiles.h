#pragma once

#include <QString>
#include <QStringList>

/// Finds a file that ships with the program (skin pictures, help document, libraries).
/// Looks, in order, in $ORVANTA_DATA_DIR (for tests), next to the executable (build tree),
/// then in ../share/orvanta and ../lib/orvanta relative to the executable (installed).
/// Returns the absolute path of the first that exists, or an empty text. Any thread.
/// With ORVANTA_DATA_TRACE=1 every lookup and its result are written to standard error.
QString findDataFile(const QString& relativePath);

/// The first of several places a file may have (each relative as above), tried in order.
QString findDataFile(const QStringList& relativePaths);

/// The folders findDataFile() looks in, in its order.
QStringList dataFileFolders();

/// The folder of the running executable, without a trailing separator.
QString executableFolder();
