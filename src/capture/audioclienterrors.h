#pragma once

#include <QString>

#include <cstdint>

/// caption + line break + the description of an audio-client status; for the
/// invalid-argument status the description is followed directly by `extra`.
QString AudioClientErrorText(const QString& caption, int32_t code, const QString& extra);
