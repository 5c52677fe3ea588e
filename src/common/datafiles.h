#pragma once

#include <QString>

/// Finds a file that ships with the program (skin pictures, help document, libraries).
/// Looks, in order, in $ORVANTA_DATA_DIR (for tests), next to the executable (build tree),
/// then in ../share/orvanta and ../lib/orvanta relative to the executable (installed).
/// Returns the absolute path of the first that exists, or an empty text. Any thread.
QString findDataFile(const QString& relativePath);

/// The folder of the running executable, without a trailing separator.
QString executableFolder();
