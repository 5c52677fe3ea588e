#include "windowplacement.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace {

int64_t overlapArea(const QRect& a, const QRect& b) {
    const QRect both = a.intersected(b);
    if (both.isEmpty())
        return 0;
    return int64_t{both.width()} * both.height();
}

// Squared gap between two rectangles that do not overlap; 0 when they touch or overlap.
int64_t squaredGap(const QRect& a, const QRect& b) {
    const int64_t aRight = int64_t{a.left()} + a.width();
    const int64_t bRight = int64_t{b.left()} + b.width();
    const int64_t aBottom = int64_t{a.top()} + a.height();
    const int64_t bBottom = int64_t{b.top()} + b.height();
    const int64_t dx = std::max<int64_t>({0, b.left() - aRight, a.left() - bRight});
    const int64_t dy = std::max<int64_t>({0, b.top() - aBottom, a.top() - bBottom});
    return dx * dx + dy * dy;
}

// The monitor the window overlaps most; when it overlaps none, the nearest. Ties go to the
// earlier monitor in the list.
QRect chooseScreen(const QRect& window, const std::vector<QRect>& screens) {
    const QRect* best = nullptr;
    int64_t bestOverlap = 0;
    for (const QRect& screen : screens) {
        const int64_t overlap = overlapArea(window, screen);
        if (overlap > bestOverlap) {
            bestOverlap = overlap;
            best = &screen;
        }
    }
    if (best)
        return *best;
    int64_t bestGap = std::numeric_limits<int64_t>::max();
    for (const QRect& screen : screens) {
        const int64_t gap = squaredGap(window, screen);
        if (gap < bestGap) {
            bestGap = gap;
            best = &screen;
        }
    }
    return best ? *best : QRect();
}

// Moves one coordinate as little as needed to keep [pos, pos + length) inside
// [start, start + extent); a window longer than the monitor starts at its start.
int pullInside(int pos, int length, int start, int extent) {
    const int last = start + extent - length;
    if (last < start)
        return start;
    return std::clamp(pos, start, last);
}

} // namespace

WindowPlacement initialWindowPosition(int posx, int posy, QSize window, QRect workArea,
                                      const std::vector<QRect>& screens) {
    WindowPlacement result;
    result.posx = posx;
    result.posy = posy;
    if (posx == -1 && posy == -1) {
        result.position = QPoint(workArea.left() + (workArea.width() - window.width()) / 2,
                                 workArea.top() + (workArea.height() - window.height()) / 2);
    } else {
        // Integer division truncates toward zero, also when the window is the larger.
        if (result.posx > workArea.width())
            result.posx = (workArea.width() - window.width()) / 2;
        if (result.posy > workArea.height())
            result.posy = (workArea.height() - window.height()) / 2;
        result.position = QPoint(result.posx, result.posy);
    }

    // Without a monitor list the primary work area is the only place the window can go.
    const QRect screen = chooseScreen(QRect(result.position, window),
                                      screens.empty() ? std::vector<QRect>{workArea} : screens);
    if (screen.isValid()) {
        result.position.setX(
            pullInside(result.position.x(), window.width(), screen.left(), screen.width()));
        result.position.setY(
            pullInside(result.position.y(), window.height(), screen.top(), screen.height()));
    }
    return result;
}

QPoint snapToWorkArea(QPoint position, QSize window, QRect workArea, int distance) {
    // QRect::right() is left + width - 1; the window is flush when its own right edge meets
    // the work area's, that is at left + width - window width.
    const int rightmost = workArea.left() + workArea.width() - window.width();
    const int lowest = workArea.top() + workArea.height() - window.height();
    int x = position.x();
    int y = position.y();
    if (std::abs(workArea.left() - x) <= distance)
        x = workArea.left();
    if (std::abs(rightmost - x) <= distance)
        x = rightmost;
    if (std::abs(workArea.top() - y) <= distance)
        y = workArea.top();
    if (std::abs(lowest - y) <= distance)
        y = lowest;
    return {x, y};
}
