#include "canvas24.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace canvas24 {

namespace {

inline std::uint8_t* at(QImage& image, int x, int y) {
    return image.scanLine(y) + 3 * x;
}

inline void put(std::uint8_t* p, Rgb c) {
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
}

void fillRow(QImage& image, int y, int x1, int x2, Rgb colour) {
    std::uint8_t* p = at(image, x1, y);
    for (int x = x1; x < x2; ++x, p += 3)
        put(p, colour);
}

struct Box {
    int left, top, right, bottom; // right and bottom excluded
    bool empty() const { return left >= right || top >= bottom; }
};

Box normalised(int x1, int y1, int x2, int y2) {
    Box b{std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)};
    return b;
}

Box clipped(const QImage& image, Box b) {
    return {std::max(b.left, 0), std::max(b.top, 0), std::min(b.right, image.width()),
            std::min(b.bottom, image.height())};
}

bool onPen(PenStyle pen, int x, int y) {
    // A dotted pen lights every other pixel, in a pattern fixed to the image so that the
    // dots of neighbouring shapes line up.
    return pen != PenStyle::Dotted || ((x + y) & 1) == 0;
}

bool onBrush(BrushStyle brush, int x, int y) {
    switch (brush) {
    case BrushStyle::Solid:
        return true;
    case BrushStyle::HorizontalHatch:
        return (y & 1) == 0;
    case BrushStyle::DiagonalCrossHatch:
        return ((x + y) & 3) == 0 || ((x - y) & 3) == 0;
    }
    return true;
}

} // namespace

QImage makeImage(int width, int height, Rgb colour) {
    QImage image(std::max(width, 0), std::max(height, 0), QImage::Format_RGB888);
    fill(image, colour);
    return image;
}

Rgb pixel(const QImage& image, int x, int y) {
    if (x < 0 || y < 0 || x >= image.width() || y >= image.height())
        return {};
    const std::uint8_t* p = image.constScanLine(y) + 3 * x;
    return {p[0], p[1], p[2]};
}

void setPixel(QImage& image, int x, int y, Rgb colour) {
    if (x < 0 || y < 0 || x >= image.width() || y >= image.height())
        return;
    put(at(image, x, y), colour);
}

void fill(QImage& image, Rgb colour) {
    fillRect(image, 0, 0, image.width(), image.height(), colour);
}

void fillRect(QImage& image, int x1, int y1, int x2, int y2, Rgb colour) {
    const Box b = clipped(image, normalised(x1, y1, x2, y2));
    if (b.empty())
        return;
    for (int y = b.top; y < b.bottom; ++y)
        fillRow(image, y, b.left, b.right, colour);
}

void rectangle(QImage& image, int x1, int y1, int x2, int y2, Rgb colour, PenStyle pen,
               BrushStyle brush) {
    const Box whole = normalised(x1, y1, x2, y2);
    const Box b = clipped(image, whole);
    if (b.empty())
        return;
    for (int y = b.top; y < b.bottom; ++y) {
        const bool edgeRow = y == whole.top || y == whole.bottom - 1;
        if (!edgeRow && pen != PenStyle::Dotted && brush == BrushStyle::Solid) {
            fillRow(image, y, b.left, b.right, colour);
            continue;
        }
        std::uint8_t* p = at(image, b.left, y);
        for (int x = b.left; x < b.right; ++x, p += 3) {
            const bool edge = edgeRow || x == whole.left || x == whole.right - 1;
            if (edge ? onPen(pen, x, y) : onBrush(brush, x, y))
                put(p, colour);
        }
    }
}

void line(QImage& image, int x0, int y0, int x1, int y1, Rgb colour, PenStyle pen) {
    const int dx = std::abs(x1 - x0);
    const int dy = -std::abs(y1 - y0);
    const int sx = x0 < x1 ? 1 : -1;
    const int sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    int x = x0;
    int y = y0;
    bool lit = true;
    while (x != x1 || y != y1) {
        if (pen != PenStyle::Dotted || lit)
            setPixel(image, x, y, colour);
        lit = !lit;
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
}

void copyRect(QImage& target, int dx, int dy, const QImage& source, int sx, int sy, int width,
              int height) {
    // Trim the rectangle to the source first, then to the target.
    if (sx < 0) {
        dx -= sx;
        width += sx;
        sx = 0;
    }
    if (sy < 0) {
        dy -= sy;
        height += sy;
        sy = 0;
    }
    width = std::min(width, source.width() - sx);
    height = std::min(height, source.height() - sy);
    if (dx < 0) {
        sx -= dx;
        width += dx;
        dx = 0;
    }
    if (dy < 0) {
        sy -= dy;
        height += dy;
        dy = 0;
    }
    width = std::min(width, target.width() - dx);
    height = std::min(height, target.height() - dy);
    if (width <= 0 || height <= 0)
        return;
    if (&target == &source && dy > sy) {
        // Overlapping copy downwards within one image: go bottom-up.
        for (int row = height - 1; row >= 0; --row)
            std::memmove(at(target, dx, dy + row), source.constScanLine(sy + row) + 3 * sx,
                         3 * static_cast<size_t>(width));
        return;
    }
    for (int row = 0; row < height; ++row)
        std::memmove(at(target, dx, dy + row), source.constScanLine(sy + row) + 3 * sx,
                     3 * static_cast<size_t>(width));
}

void blend(QImage& target, const QImage& source, int alpha) {
    alpha = std::clamp(alpha, 0, 255);
    const int keep = 255 - alpha;
    const int width = std::min(target.width(), source.width());
    const int height = std::min(target.height(), source.height());
    const auto a = static_cast<std::uint16_t>(alpha);
    const auto k = static_cast<std::uint16_t>(keep);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* d = target.scanLine(y);
        const std::uint8_t* s = source.constScanLine(y);
        for (int i = 0; i < 3 * width; ++i) {
            // x / 255 without a division, exact for x below 65535 (x is at most 65152), so
            // the loop stays in 16-bit lanes and vectorises: the display blends every frame.
            const auto x = static_cast<std::uint16_t>(s[i] * a + d[i] * k + 127);
            d[i] = static_cast<std::uint8_t>((x + 1 + (x >> 8)) >> 8);
        }
    }
}

QRect takeChanges(const QImage& now, QImage& shown) {
    if (now.size() != shown.size() || now.format() != shown.format()) {
        shown = now.copy();
        return now.rect();
    }
    const int bytesPerLine = now.width() * 3;
    int top = -1;
    int bottom = -1;
    int left = bytesPerLine;
    int right = -1;
    for (int y = 0; y < now.height(); ++y) {
        const std::uint8_t* a = now.constScanLine(y);
        std::uint8_t* b = shown.scanLine(y);
        if (std::memcmp(a, b, static_cast<size_t>(bytesPerLine)) == 0)
            continue;
        int first = 0;
        while (a[first] == b[first])
            ++first;
        int last = bytesPerLine - 1;
        while (a[last] == b[last])
            --last;
        left = std::min(left, first);
        right = std::max(right, last);
        if (top < 0)
            top = y;
        bottom = y;
        std::memcpy(b, a, static_cast<size_t>(bytesPerLine));
    }
    if (top < 0)
        return {};
    return QRect(QPoint(left / 3, top), QPoint(right / 3, bottom));
}

} // namespace canvas24
