#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <vector>

/// Where the main window goes at start-up, from the saved position.
struct WindowPlacement {
    QPoint position; ///< the window's top-left corner
    int posx = -1;   ///< the saved position as it is to be kept (pulled back when it was off)
    int posy = -1;
};

/// The start-up position: (-1, -1) centres the window on `workArea`; a saved
/// coordinate beyond the work area's width (height) becomes (work width - window width) / 2
/// (likewise for the height), rounded toward zero; then the window is moved as little as
/// needed to lie wholly on one of `screens` (the work areas of all monitors; the one it
/// overlaps most, else the nearest; a window larger than that monitor goes to its top-left
/// corner). `workArea` is the primary screen's work area, also used as the only monitor when
/// `screens` is empty. The returned posx/posy stay (-1, -1) when the window was centred.
/// Pure; any thread.
WindowPlacement initialWindowPosition(int posx, int posy, QSize window, QRect workArea,
                                      const std::vector<QRect>& screens);

/// Edge snapping while the window moves: a window whose new position lies within `distance`
/// pixels of an edge of `workArea` jumps to that edge (left, then right, then top, then
/// bottom). The right and bottom edges count as reached when the window is flush with them.
/// Pure; any thread.
QPoint snapToWorkArea(QPoint position, QSize window, QRect workArea, int distance = 10);
