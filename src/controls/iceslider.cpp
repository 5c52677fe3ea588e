#include "iceslider.h"

#include <QAccessible>
#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

// Rounds half to even, as the layout's pixel positions were computed that way.
int roundEven(double v) {
    return static_cast<int>(std::nearbyint(v));
}

} // namespace

TIceSlider::TIceSlider(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(191, 11);
    recompute();
    setFocusPolicy(Qt::TabFocus);
    // A thumb given right after creation (with the rest of the layout) must take effect even
    // if it was set before the control had its final size.
    QTimer::singleShot(10, this, [this] { setImageThumb(FImageThumb); });
}

void TIceSlider::recompute() {
    const double room = FHorizontal ? width() - FThumb1.width() : height() - FThumb1.height();
    FDifference = room / FMaximum;
}

QPoint TIceSlider::thumbOrigin() const {
    if (FHorizontal) {
        const int x = roundEven(FPosition * FDifference);
        const int y = FThumb1.height() > height() ? 0 : (height() - FThumb1.height()) / 2;
        return {x, y};
    }
    const int x = FThumb1.width() > width() ? 0 : (width() - FThumb1.width()) / 2;
    const int y = FImageRuler.height() - roundEven(FPosition * FDifference) - FThumb1.height();
    return {x, y};
}

void TIceSlider::reportValue() {
    if (!QAccessible::isActive())
        return;
    QAccessibleValueChangeEvent event(this, FPosition);
    QAccessible::updateAccessibility(&event);
}

void TIceSlider::setImageRuler(const QImage& ruler) {
    FImageRuler = ruler;
    if (!ruler.isNull() && m_autoSize)
        resize(ruler.size());
    update();
    recompute();
}

void TIceSlider::setImageThumb(const QImage& thumb) {
    FImageThumb = thumb;
    FThumb1 = thumb.copy();
    update();
    recompute();
}

void TIceSlider::setHorizontal(bool horizontal) {
    FHorizontal = horizontal;
    recompute();
    update();
}

void TIceSlider::setMaximum(int maximum) {
    FMaximum = std::max(maximum, 1);
    if (FPosition > FMaximum) {
        FPosition = FMaximum;
        reportValue();
    }
    recompute();
    update();
}

void TIceSlider::setPosition(int position) {
    if (position == FPosition)
        return;
    FPosition = std::clamp(position, 0, FMaximum);
    reportValue();
    if (FTracking)
        return;
    recompute();
    update();
}

void TIceSlider::setAutoSize(bool autoSize) {
    m_autoSize = autoSize;
    if (autoSize && !FImageRuler.isNull())
        resize(FImageRuler.size());
}

void TIceSlider::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (m_autoSize && !FImageRuler.isNull() && size() != FImageRuler.size())
        resize(FImageRuler.size());
    recompute();
}

void TIceSlider::moveByUser(int position) {
    position = std::clamp(position, 0, FMaximum);
    if (FTracking || position == FPosition)
        return;
    emit OnBeginChange();
    FPosition = position;
    reportValue();
    update();
    emit OnChanged();
    emit OnStopChanged();
}

void TIceSlider::keyPressEvent(QKeyEvent* event) {
    const int page = std::max(FMaximum / 10, 1);
    switch (event->key()) {
    case Qt::Key_Right:
    case Qt::Key_Up:
        moveByUser(FPosition + 1);
        break;
    case Qt::Key_Left:
    case Qt::Key_Down:
        moveByUser(FPosition - 1);
        break;
    case Qt::Key_PageUp:
        moveByUser(FPosition + page);
        break;
    case Qt::Key_PageDown:
        moveByUser(FPosition - page);
        break;
    case Qt::Key_Home:
        moveByUser(0);
        break;
    case Qt::Key_End:
        moveByUser(FMaximum);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    m_focusMark.keyUsed(*this);
}

void TIceSlider::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    m_focusMark.focusIn(event->reason());
    update();
}

void TIceSlider::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}

void TIceSlider::paintEvent(QPaintEvent* /*event*/) {
    FClicked = false;
    QPainter painter(this);
    painter.drawImage(rect(), FImageRuler);
    const QPoint origin = thumbOrigin();
    FFrom = FHorizontal ? origin.y() : origin.x();
    painter.drawImage(origin, FThumb1);
    m_focusMark.paint(painter, *this);
}

QPoint TIceSlider::confine(QPoint global, const QRect& screenRect) {
    if (screenRect.isEmpty())
        return global;
    return {std::clamp(global.x(), screenRect.left(), screenRect.right()),
            std::clamp(global.y(), screenRect.top(), screenRect.bottom())};
}

void TIceSlider::mousePressEvent(QMouseEvent* event) {
    FTracking = true;
    // Qt grabs the mouse for the pressed widget by itself; the confinement is ours.
    m_confinement = QRect(mapToGlobal(QPoint(0, 0)), size());
    QWidget::mousePressEvent(event);
    emit OnBeginChange();
}

void TIceSlider::mouseMoveEvent(QMouseEvent* event) {
    QWidget::mouseMoveEvent(event);
    if (!FTracking || !(event->buttons() & Qt::LeftButton))
        return;
    const QPoint global = event->globalPosition().toPoint();
    const QPoint kept = confine(global, m_confinement);
    if (kept != global)
        QCursor::setPos(kept);
    const QPoint local = event->position().toPoint();
    // A position computed from a zero or negative step (thumb as wide as the control) is
    // kept within range rather than converted from infinity.
    const auto toPosition = [this](double steps) {
        return static_cast<int>(std::clamp(steps, 0.0, static_cast<double>(FMaximum)));
    };
    if (FHorizontal) {
        if ((local.y() >= 0 && local.y() <= FThumb1.height()) || FChanging) {
            const int x = local.x() - FThumb1.width() / 2;
            if (x > 0) {
                FChanging = true;
                FPosition = toPosition(std::nearbyint(x / FDifference));
                reportValue();
                emit OnChanged();
                update();
            }
        }
    } else if ((local.x() >= 0 && local.x() <= FThumb1.width()) || FChanging) {
        const int h = FImageRuler.height() - FThumb1.height() / 2 - local.y();
        if (h > 0) {
            FPosition = toPosition(std::trunc(h / FDifference));
            reportValue();
            emit OnChanged();
            repaint();
        }
    }
    update();
}

void TIceSlider::mouseReleaseEvent(QMouseEvent* event) {
    FTracking = false;
    FChanging = false;
    m_confinement = QRect();
    QWidget::mouseReleaseEvent(event);
    emit OnStopChanged();
}
