#pragma once

// All routines here are pure apart from reading the clock; any thread may call them.

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <cstdint>

/// Expands the tokens of a naming expression (YY MM DD YS MN DW HH NN SS NUM EVENT,
/// upper case only, replaced in that order) from one instant, the counter value and the
/// event name, then cleans the result with fixfilename. The locale gives the month and day
/// names.
QString makeautoname(const QString& expression, const QString& eventname, int32_t number,
                     const QDateTime& now, const QLocale& locale = QLocale());

/// The same, reading the system clock once and using the system locale.
QString makeautoname(const QString& expression, const QString& eventname, int32_t number);

/// Replaces every control character (code points 0..31) and each of " * / : < > ? \ | by
/// an underscore. The length does not change.
QString fixfilename(const QString& name);

/// False when the expression holds one of \ / : * ? " < > | (tested in that order).
bool checkexpression(const QString& expression);
