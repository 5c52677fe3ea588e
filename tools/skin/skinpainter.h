#pragma once

#include <QImage>
#include <QMap>
#include <QString>

/// Draws every picture of the skin, by file name ("background.png", "start_up.png", ...).
QMap<QString, QImage> paintSkin();
