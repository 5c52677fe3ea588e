#include "trigger.h"

#include <QAccessible>
#include <QMouseEvent>
#include <QPainter>

TTrigger::TTrigger(QWidget* parent) : QWidget(parent) {
    resize(23, 17);
}

void TTrigger::setChecked(bool checked) {
    setState(checked ? cbChecked : cbUnchecked);
    setToolTip(fhint + (checked ? QStringLiteral(":ON") : QStringLiteral(":OFF")));
}

void TTrigger::setState(TCheckBoxState state) {
    if (state == fState)
        return;
    fState = state;
    update();
    if (QAccessible::isActive()) {
        QAccessible::State changed;
        changed.checked = true;
        changed.checkStateMixed = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    }
}

void TTrigger::setHint(const QString& hint) {
    fhint = hint;
    setToolTip(hint);
}

void TTrigger::setCheckedGlyph(const QImage& glyph) {
    fCheckedBitmap = glyph;
    if (!glyph.isNull())
        resize(glyph.size());
    update();
}

void TTrigger::setUncheckedGlyph(const QImage& glyph) {
    fUncheckedBitmap = glyph;
    update();
}

void TTrigger::paintEvent(QPaintEvent* /*event*/) {
    if (!fCheckedBitmap.isNull() && size() != fCheckedBitmap.size()) {
        // The glyph decides the size; the resize repaints with the right geometry.
        resize(fCheckedBitmap.size());
        return;
    }
    QPainter painter(this);
    if (fState == cbUnchecked)
        painter.drawImage(0, 0, fUncheckedBitmap);
    else if (fState == cbChecked)
        painter.drawImage(0, 0, fCheckedBitmap);
}

void TTrigger::mouseReleaseEvent(QMouseEvent* event) {
    QWidget::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit OnClick();
}
