#pragma once

#include <QString>

/// The user's configuration folder (the place for application data), without a trailing
/// separator; empty when unknown.
QString getappdatafolder();

/// The user's music folder, without a trailing separator; empty when unknown.
QString getmusicfolder();

/// The name with its extension removed: the last "." and what follows, when that part
/// holds no path separator; otherwise the name unchanged.
QString stripext(const QString& name);
