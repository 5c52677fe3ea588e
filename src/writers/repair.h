#pragma once

#include <QString>

/// What repairRecording did.
enum class RepairOutcome {
    Unchanged, ///< the file was already whole (or is not a recording format we know)
    Repaired,  ///< sizes, counts or a torn end were put right; the file decodes to its end
    Missing,   ///< no such file, or it is empty: nothing to do
    Failed,    ///< the file could not be read or written; `detail` says why
};

/// Makes a recording whose writer never finished (crash, kill, power cut) whole again, in
/// place, without losing any complete audio: WAV sizes are set from the file's length (a
/// torn last frame is left out of the data size), a torn FLAC frame or Ogg page at the end
/// is cut off and FLAC's total-samples field is completed where it can be counted, damaged
/// FLAC frames with whole ones after them become frames of silence of the same length (the
/// frames after them keep their place and time; the MD5 is cleared), MP3 is cut back to its
/// last whole frame. The format is recognised from the file's first bytes,
/// not its name. Writes nothing when nothing is wrong. Any thread; one file at a time.
/// `detail` receives, whatever the outcome, a short lower-case phrase that speaks of the file
/// as "it" (for example "it could not be read: Permission denied"), to be shown after the
/// file's name; for Failed it says why.
RepairOutcome repairRecording(const QString& path, QString* detail = nullptr);
