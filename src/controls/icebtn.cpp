#include "icebtn.h"

#include "canvas24.h"

#include <QAccessible>
#include <QDialog>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

using namespace canvas24;

TiceBtn::TiceBtn(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(100, 100);
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, &TiceBtn::FadeStep);
    // Only the keyboard gives the focus: a click leaves it where it was.
    setFocusPolicy(Qt::TabFocus);
}

void TiceBtn::setEnable(bool value) {
    if (value == enable)
        return;
    enable = value;
    setFocusPolicy(value ? Qt::TabFocus : Qt::NoFocus);
    if (!value) {
        setKeyDown(0);
        // Later, once the caller has set its other buttons too: Start passes the focus to
        // the Stop that it enables, rather than hopping over buttons about to change.
        if (window()->focusWidget() == this)
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (!enable && window()->focusWidget() == this)
                        m_focusMark.passOn(*this);
                },
                Qt::QueuedConnection);
    }
    reportState(true, false);
}

void TiceBtn::reportState(bool disabled, bool pressed) {
    if (!QAccessible::isActive())
        return;
    QAccessible::State changed;
    changed.disabled = disabled;
    changed.pressed = pressed;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

void TiceBtn::click() {
    if (enable)
        Click();
}

void TiceBtn::setPic(const QImage& picture) {
    FPic = picture.convertToFormat(QImage::Format_RGB888);
    resize(FPic.size());
    showPicture(FPic);
}

void TiceBtn::setPicDown(const QImage& picture) {
    FPicDown = picture.convertToFormat(QImage::Format_RGB888);
}

void TiceBtn::setPicUp(const QImage& picture) {
    FPicUp = picture.convertToFormat(QImage::Format_RGB888);
}

void TiceBtn::showPicture(const QImage& picture) {
    m_shown = picture;
    update();
}

void TiceBtn::FadeStep() {
    if (VideoBuffer.size() != FPicUp.size())
        VideoBuffer = makeImage(FPicUp.width(), FPicUp.height(), {});
    transp += step;
    if (transp < 0 || transp > 254) {
        transp = transp < 0 ? 0 : 254;
        timer.stop();
        return;
    }
    copyRect(VideoBuffer, 0, 0, FPic, 0, 0, FPic.width(), FPic.height());
    blend(VideoBuffer, FPicUp, transp);
    // A detached copy, so that the next tick's drawing does not change what is shown.
    showPicture(VideoBuffer.copy());
}

void TiceBtn::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    if (FSupported) {
        FEntered = true;
        if (FDown) {
            showPicture(FPicDown);
        } else {
            step = 16;
            timer.start();
        }
    }
    emit OnMouseEnter();
}

void TiceBtn::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    if (FSupported) {
        FEntered = false;
        step = -16;
        timer.start();
    }
    emit OnMouseLeave();
}

void TiceBtn::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    if (!enable)
        return; // Ignored completely: no press picture, and so no click on release.
    m_pressed = true;
    if (FSupported) {
        FDown = true;
        if (rect().contains(event->position().toPoint())) {
            timer.stop();
            showPicture(FPicDown);
        }
    }
    emit OnMouseDown();
}

void TiceBtn::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    const bool over = rect().contains(event->position().toPoint());
    const bool click = m_pressed && over;
    m_pressed = false;
    if (FSupported) {
        FDown = false;
        if (over)
            showPicture(FPicUp);
    }
    emit OnMouseUp();
    if (click)
        Click();
}

namespace {

bool isPressKey(const QKeyEvent& event) {
    const int key = event.key();
    return (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) &&
           !(event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
}

} // namespace

void TiceBtn::setKeyDown(int key) {
    if (key == m_keyDown)
        return;
    m_keyDown = key;
    if (FSupported && !FDown) {
        if (key != 0) {
            timer.stop();
            showPicture(FPicDown);
        } else {
            showPicture(FEntered ? FPicUp : FPic);
        }
    }
    reportState(false, true);
}

void TiceBtn::keyPressEvent(QKeyEvent* event) {
    if (!isPressKey(*event)) {
        QWidget::keyPressEvent(event);
        return;
    }
    m_focusMark.keyUsed(*this);
    // Held down, the key repeats: the button stays pressed and clicks once, on release.
    if (enable && !event->isAutoRepeat() && m_keyDown == 0)
        setKeyDown(event->key());
}

void TiceBtn::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() != m_keyDown || event->isAutoRepeat()) {
        QWidget::keyReleaseEvent(event);
        return;
    }
    setKeyDown(0);
    click();
}

void TiceBtn::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    m_focusMark.focusIn(event->reason());
    update();
}

void TiceBtn::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    // A key released elsewhere must not leave the button down.
    setKeyDown(0);
    update();
}

void TiceBtn::Click() {
    if (FModalResult != 0)
        if (auto* dialog = qobject_cast<QDialog*>(window()))
            dialog->done(FModalResult);
    emit OnClick();
}

void TiceBtn::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.drawImage(0, 0, m_shown);
    m_focusMark.paint(painter, *this);
}
