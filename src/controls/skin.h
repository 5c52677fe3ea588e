#pragma once

#include <QColor>
#include <QImage>
#include <QString>

/// The pictures of the main window's skin, shipped in the data folder "skin".
namespace skin {

/// Pixels of this colour in the main window's background picture are see-through.
inline constexpr QColor transparentColour() {
    return QColor(10, 248, 15);
}
/// The analyser's colours on the main window, which the whole skin follows.
inline constexpr QColor backColour() {
    return QColor(35, 87, 131);
}
inline constexpr QColor foreColour() {
    return QColor(220, 230, 240);
}

/// The names of the main window's buttons; each has "<name>.png", "<name>_up.png"
/// (highlighted) and "<name>_down.png" (pressed).
inline constexpr const char* kButtons[] = {"start",     "stop",     "pause", "play",     "folder",
                                           "scheduler", "settings", "help",  "minimise", "exit"};

/// Loads "skin/<fileName>" through the data-file lookup; a null image when it is missing.
/// Any thread.
QImage load(const QString& fileName);

} // namespace skin
