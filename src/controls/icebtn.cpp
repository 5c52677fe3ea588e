#include "icebtn.h"

#include "canvas24.h"

#include <QDialog>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QPainter>

using namespace canvas24;

TiceBtn::TiceBtn(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(100, 100);
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, &TiceBtn::FadeStep);
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

void TiceBtn::Click() {
    if (FModalResult != 0)
        if (auto* dialog = qobject_cast<QDialog*>(window()))
            dialog->done(FModalResult);
    emit OnClick();
}

void TiceBtn::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.drawImage(0, 0, m_shown);
}
