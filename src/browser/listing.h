#pragma once

#include "common/tdatetime.h"

#include <QString>

#include <cstdint>
#include <vector>

/// One listed recording, as the browser's list holds it.
struct TMCRS {
    QString audiofile; ///< bare file name, without folder
    QString title;
    QString artist;
    int32_t duration = 0; ///< playing time in whole seconds
    TDateTime modified = 0.0;
};

/// The list's five columns.
enum class BrowserColumn { Filename = 0, Title = 1, Artist = 2, Duration = 3, Modified = 4 };
constexpr int BrowserColumnCount = 5;

/// True when `extension` (already lower-cased, dot included) is one of the four recording
/// extensions. Any thread.
bool IsRecordingFile(const QString& extension);

/// The lower-cased extension of a file name, from its last "." on (dot included); empty
/// when the name has no dot. Any thread.
QString lowerExtension(const QString& fileName);

/// Row 1 against row 2 under `column`: negative, zero or positive. File names compare with
/// only "a" to "z" upper-cased, titles and artists code unit by code unit, durations as
/// numbers, modification times by calendar day only. Any thread.
int compareRows(int column, const TMCRS& row1, const TMCRS& row2);

/// Sorts stably by `column`: rows that compare equal keep their order in both directions.
/// Any thread.
void sortRows(std::vector<TMCRS>& rows, int column, bool descending);

/// The "Duration" cell: the time of day of `seconds`, "h:nn:ss" (24 hours and more wrap).
QString durationText(int32_t seconds);
