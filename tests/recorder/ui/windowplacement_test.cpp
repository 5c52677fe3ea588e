#include "recorder/ui/windowplacement.h"

#include <gtest/gtest.h>

namespace {

const QSize kWindow(416, 241);

} // namespace

TEST(InitialWindowPosition, SavedCoordinateBeyondTheWorkAreaIsPulledBack) {
    const QRect area(0, 0, 1920, 1080);
    const WindowPlacement p = initialWindowPosition(5000, 300, kWindow, area, {area});
    EXPECT_EQ(p.posx, (1920 - 416) / 2);
    EXPECT_EQ(p.posy, 300);
    EXPECT_EQ(p.position, QPoint(752, 300));

    // Both at once, against the height as well as the width.
    const WindowPlacement both = initialWindowPosition(5000, 5000, kWindow, area, {area});
    EXPECT_EQ(both.posx, 752);
    EXPECT_EQ(both.posy, (1080 - 241) / 2);
    EXPECT_EQ(both.position, QPoint(752, 419));

    // Exactly the width is not beyond it; the window is then only moved into view.
    const WindowPlacement edge = initialWindowPosition(1920, 100, kWindow, area, {area});
    EXPECT_EQ(edge.posx, 1920);
    EXPECT_EQ(edge.position, QPoint(1920 - 416, 100));

    // A work area narrower than the window: the half is negative and rounds toward zero.
    const QRect narrow(0, 0, 301, 600);
    const WindowPlacement small = initialWindowPosition(400, 10, kWindow, narrow, {narrow});
    EXPECT_EQ(small.posx, -57);               // (301 - 416) / 2 = -57.5
    EXPECT_EQ(small.position, QPoint(0, 10)); // wider than the monitor: its left edge
}

TEST(InitialWindowPosition, MinusOneCentresOnTheWorkArea) {
    const QRect area(0, 0, 800, 600);
    const WindowPlacement p = initialWindowPosition(-1, -1, kWindow, area, {area});
    EXPECT_EQ(p.position, QPoint((800 - 416) / 2, (600 - 241) / 2));
    EXPECT_EQ(p.posx, -1);
    EXPECT_EQ(p.posy, -1);

    // Panels on the left and on top move the work area off the origin.
    const QRect offset(64, 32, 800, 600);
    const WindowPlacement o = initialWindowPosition(-1, -1, kWindow, offset, {offset});
    EXPECT_EQ(o.position, QPoint(64 + 192, 32 + 179));

    // Only both at -1 centre; a single -1 is a position like any other.
    const WindowPlacement one = initialWindowPosition(-1, 200, kWindow, area, {area});
    EXPECT_EQ(one.posx, -1);
    EXPECT_EQ(one.position, QPoint(0, 200));
}

TEST(InitialWindowPosition, WorkAreaNotAtTheOrigin) {
    // A 100-pixel panel on the left and a 40-pixel one on top of a 1920 x 1080 monitor.
    const QRect area(100, 40, 1820, 1040);
    const WindowPlacement inside = initialWindowPosition(500, 300, kWindow, area, {area});
    EXPECT_EQ(inside.position, QPoint(500, 300));

    // A saved position under the panel is moved just clear of it.
    const WindowPlacement under = initialWindowPosition(20, 10, kWindow, area, {area});
    EXPECT_EQ(under.posx, 20);
    EXPECT_EQ(under.posy, 10);
    EXPECT_EQ(under.position, QPoint(100, 40));

    // The rule compares with the work area's width, not its right edge.
    const WindowPlacement far = initialWindowPosition(1900, 1060, kWindow, area, {area});
    EXPECT_EQ(far.posx, (1820 - 416) / 2);
    EXPECT_EQ(far.posy, (1040 - 241) / 2);
    EXPECT_EQ(far.position, QPoint(702, 399));
}

TEST(InitialWindowPosition, PositionOffEveryMonitorIsPulledFullyInside) {
    const QRect area(0, 0, 1920, 1080);
    // Above and to the left of everything.
    EXPECT_EQ(initialWindowPosition(-3000, -2000, kWindow, area, {area}).position, QPoint(0, 0));
    // Half over the right edge (not beyond the width, so only the visibility step moves it).
    EXPECT_EQ(initialWindowPosition(1800, 1000, kWindow, area, {area}).position,
              QPoint(1920 - 416, 1080 - 241));
    // No monitor list: the work area stands in for it.
    EXPECT_EQ(initialWindowPosition(-50, -50, kWindow, area, {}).position, QPoint(0, 0));
}

TEST(InitialWindowPosition, TwoMonitorsSideBySide) {
    const QRect primary(0, 0, 1920, 1080);
    const QRect right(1920, 0, 1280, 1024);
    const QRect left(-1280, 0, 1280, 1024);

    // Wholly on the monitor to the right of the primary: kept.
    const WindowPlacement onRight =
        initialWindowPosition(1920, 100, kWindow, primary, {primary, right});
    EXPECT_EQ(onRight.position, QPoint(1920, 100));
    EXPECT_EQ(onRight.posx, 1920);

    // Further right is beyond the primary's width, so the saved value comes back to it.
    const WindowPlacement beyond =
        initialWindowPosition(2200, 100, kWindow, primary, {primary, right});
    EXPECT_EQ(beyond.posx, 752);
    EXPECT_EQ(beyond.position, QPoint(752, 100));

    // On a monitor left of the primary, where coordinates are negative: kept.
    const WindowPlacement onLeft =
        initialWindowPosition(-900, 500, kWindow, primary, {primary, left});
    EXPECT_EQ(onLeft.position, QPoint(-900, 500));
    EXPECT_EQ(onLeft.posx, -900);

    // Across the seam: onto the monitor it overlaps most.
    EXPECT_EQ(initialWindowPosition(1700, 100, kWindow, primary, {primary, right}).position,
              QPoint(1920 - 416, 100));
    EXPECT_EQ(initialWindowPosition(-300, 100, kWindow, primary, {primary, left}).position,
              QPoint(-416, 100));

    // Below the shorter left monitor, on none: onto the nearest, which is not the primary.
    EXPECT_EQ(initialWindowPosition(-900, 1060, kWindow, primary, {primary, left}).position,
              QPoint(-900, 1024 - 241));
}

TEST(SnapToWorkArea, LeftEdgeWithinTheDistance) {
    const QRect area(0, 0, 1920, 1080);
    EXPECT_EQ(snapToWorkArea(QPoint(7, 300), kWindow, area), QPoint(0, 300));
    EXPECT_EQ(snapToWorkArea(QPoint(-7, 300), kWindow, area), QPoint(0, 300));
    EXPECT_EQ(snapToWorkArea(QPoint(10, 300), kWindow, area), QPoint(0, 300));
    EXPECT_EQ(snapToWorkArea(QPoint(11, 300), kWindow, area), QPoint(11, 300));
    EXPECT_EQ(snapToWorkArea(QPoint(-11, 300), kWindow, area), QPoint(-11, 300));
    // The distance is a parameter.
    EXPECT_EQ(snapToWorkArea(QPoint(11, 300), kWindow, area, 20), QPoint(0, 300));
}

TEST(SnapToWorkArea, RightAndBottomEdgesAreExactlyFlush) {
    const QRect area(0, 0, 1920, 1080);
    const int flushX = 1920 - 416;
    const int flushY = 1080 - 241;
    EXPECT_EQ(snapToWorkArea(QPoint(flushX - 7, 300), kWindow, area), QPoint(flushX, 300));
    EXPECT_EQ(snapToWorkArea(QPoint(flushX + 7, 300), kWindow, area), QPoint(flushX, 300));
    EXPECT_EQ(snapToWorkArea(QPoint(flushX - 11, 300), kWindow, area), QPoint(flushX - 11, 300));
    EXPECT_EQ(snapToWorkArea(QPoint(500, flushY - 5), kWindow, area), QPoint(500, flushY));
    EXPECT_EQ(snapToWorkArea(QPoint(500, flushY + 10), kWindow, area), QPoint(500, flushY));
    EXPECT_EQ(snapToWorkArea(QPoint(500, flushY - 11), kWindow, area), QPoint(500, flushY - 11));
    // Into a corner: both coordinates snap.
    EXPECT_EQ(snapToWorkArea(QPoint(flushX + 3, flushY - 3), kWindow, area),
              QPoint(flushX, flushY));
    // Away from every edge nothing moves.
    EXPECT_EQ(snapToWorkArea(QPoint(700, 400), kWindow, area), QPoint(700, 400));
}

TEST(SnapToWorkArea, AllFourEdgesOfAnOffsetWorkArea) {
    // Panels on the left (60) and at the top (30); the work area ends at 1920 x 1050.
    const QRect area(60, 30, 1860, 1020);
    const int flushX = 60 + 1860 - 416;
    const int flushY = 30 + 1020 - 241;
    EXPECT_EQ(snapToWorkArea(QPoint(65, 500), kWindow, area), QPoint(60, 500));
    EXPECT_EQ(snapToWorkArea(QPoint(5, 500), kWindow, area), QPoint(5, 500));
    EXPECT_EQ(snapToWorkArea(QPoint(flushX - 4, 500), kWindow, area), QPoint(flushX, 500));
    EXPECT_EQ(snapToWorkArea(QPoint(700, 25), kWindow, area), QPoint(700, 30));
    EXPECT_EQ(snapToWorkArea(QPoint(700, 5), kWindow, area), QPoint(700, 5));
    EXPECT_EQ(snapToWorkArea(QPoint(700, flushY + 9), kWindow, area), QPoint(700, flushY));
    EXPECT_EQ(snapToWorkArea(QPoint(flushX + 1, flushY + 1), kWindow, area),
              QPoint(flushX, flushY));
}

TEST(SnapToWorkArea, RightAndBottomWinOnAWorkAreaBarelyWiderThanTheWindow) {
    // Both edges are in reach; the later rule (right, then bottom) decides.
    const QRect area(0, 0, 426, 251);
    EXPECT_EQ(snapToWorkArea(QPoint(4, 4), kWindow, area), QPoint(10, 10));
}
