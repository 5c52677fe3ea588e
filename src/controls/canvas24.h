#pragma once

#include <QColor>
#include <QImage>
#include <QRect>

#include <cstdint>

/// The few drawing operations the controls need, on 24-bit images (QImage::Format_RGB888),
/// written directly on the pixels. They allocate nothing, so the analyser can draw every
/// frame without touching the heap, and their results are exact to the pixel. Rectangles
/// exclude their right and bottom edges and lines their last point, as the pictures of the
/// controls were laid out that way. Everything is clipped to the image. Window thread only.
namespace canvas24 {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;

    static Rgb from(const QColor& c) {
        return {static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
                static_cast<std::uint8_t>(c.blue())};
    }
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

enum class PenStyle { Solid, Dotted, InsideFrame };
enum class BrushStyle { Solid, HorizontalHatch, DiagonalCrossHatch };

/// A new image of the given size in the 24-bit format, filled with `fill`.
QImage makeImage(int width, int height, Rgb fill);

Rgb pixel(const QImage& image, int x, int y);
void setPixel(QImage& image, int x, int y, Rgb colour);

/// Fills the whole image.
void fill(QImage& image, Rgb colour);

/// Fills x from x1 to x2 - 1 and y from y1 to y2 - 1 (corners in either order).
void fillRect(QImage& image, int x1, int y1, int x2, int y2, Rgb colour);

/// Outline with the pen and interior with the brush, both in `colour`; hatches leave the
/// pixels between their lines untouched.
void rectangle(QImage& image, int x1, int y1, int x2, int y2, Rgb colour, PenStyle pen,
               BrushStyle brush);

/// A one-pixel line from (x0, y0) towards (x1, y1), the end point excluded.
void line(QImage& image, int x0, int y0, int x1, int y1, Rgb colour, PenStyle pen);

/// Copies the `width` by `height` pixels at (sx, sy) of `source` to (dx, dy) of `target`.
/// Both images must be 24-bit; the parts outside either image are skipped.
void copyRect(QImage& target, int dx, int dy, const QImage& source, int sx, int sy, int width,
              int height);

/// Draws all of `source` onto `target` at (dx, dy).
inline void drawImage(QImage& target, int dx, int dy, const QImage& source) {
    copyRect(target, dx, dy, source, 0, 0, source.width(), source.height());
}

/// Every pixel of `target` becomes alpha/255 of `source` plus (255 - alpha)/255 of itself,
/// over the area both images cover.
void blend(QImage& target, const QImage& source, int alpha);

/// The smallest rectangle holding every pixel in which `now` differs from `shown`, which
/// then becomes a copy of `now`; the whole of `now` when the sizes differ. A control that
/// repaints only that rectangle leaves the rest of the window alone, and one whose picture
/// did not change is not repainted at all.
QRect takeChanges(const QImage& now, QImage& shown);

} // namespace canvas24
