#include "bmptimedisplay.h"

#include "canvas24.h"

#include <QAccessible>
#include <QMouseEvent>
#include <QPainter>

using namespace canvas24;

Tbmptimedisplay::Tbmptimedisplay(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(50, 25);
}

void Tbmptimedisplay::setFontBitmap(const QImage& strip) {
    fBitmap = strip.convertToFormat(QImage::Format_RGB888);
    updatebuffer();
}

void Tbmptimedisplay::setText(const QString& text) {
    if (text == ftext)
        return;
    ftext = text;
    updatebuffer();
    // Screen readers read the clock by its text; once a second at most, as it changes.
    if (QAccessible::isActive()) {
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

void Tbmptimedisplay::setFontWidth(int width) {
    fwidth = width;
    resize(width * 4 / 5 + 6 * width, height());
    updatebuffer();
}

void Tbmptimedisplay::setFontHeight(int height) {
    fheight = height;
    resize(width(), height);
    updatebuffer();
}

void Tbmptimedisplay::updatebuffer() {
    if (fBackground.size() != size())
        fBackground = makeImage(width(), height(), {});
    int x = 0;
    for (const QChar ch : ftext) {
        const bool colon = ch == QLatin1Char(':');
        const int w = colon ? fwidth * 2 / 5 : fwidth;
        const int sourceX = (ch.unicode() - 48) * fwidth;
        // Characters without a glyph would read outside the strip; they show as black.
        fillRect(fBackground, x, 0, x + w, fheight, {});
        copyRect(fBackground, x, 0, fBitmap, sourceX, 0, w, fheight);
        x += w;
    }
    if (fBackground.width() != x) {
        QImage resized = makeImage(x, height(), {});
        copyRect(resized, 0, 0, fBackground, 0, 0, x, height());
        fBackground = resized;
        resize(x, height());
    }
    update();
}

void Tbmptimedisplay::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.drawImage(0, 0, fBackground);
}

void Tbmptimedisplay::mouseReleaseEvent(QMouseEvent* event) {
    QWidget::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit OnClick();
}

void Tbmptimedisplay::mouseDoubleClickEvent(QMouseEvent* event) {
    QWidget::mouseDoubleClickEvent(event);
    emit OnDblClick();
}
