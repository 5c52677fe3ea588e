#pragma once

#include <QString>

/// Makes the skin's controls known to screen readers: a role, a name, a state, a value for
/// the sliders and the press action for the buttons, through Qt's accessibility. Call once,
/// after the application object exists; further calls do nothing.
void installControlsAccessibility();

/// The name a control is read by: its accessible name, else its tooltip without the key in
/// brackets at its end ("Start recording (Ctrl+Alt+R)" is read "Start recording").
QString controlName(const QString& accessibleName, const QString& toolTip);
/// The key at the end of a tooltip, "Ctrl+Alt+R"; empty when there is none.
QString controlShortcut(const QString& toolTip);
