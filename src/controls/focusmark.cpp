#include "focusmark.h"

#include "skin.h"

#include <QPainter>
#include <QPen>
#include <QWidget>

void FocusMark::focusIn(Qt::FocusReason reason) {
    switch (reason) {
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
        m_byKeyboard = true;
        break;
    case Qt::ActiveWindowFocusReason:
    case Qt::PopupFocusReason:
        // The focus comes back to where it was: so does the mark.
        break;
    default:
        m_byKeyboard = false;
        break;
    }
}

void FocusMark::keyUsed(QWidget& control) {
    if (!m_byKeyboard) {
        m_byKeyboard = true;
        control.update();
    }
}

bool FocusMark::shown(const QWidget& control) const {
    return m_byKeyboard && control.hasFocus();
}

void FocusMark::paint(QPainter& painter, const QWidget& control) const {
    if (!shown(control))
        return;
    painter.save();
    painter.setPen(QPen(skin::foreColour(), 1, Qt::DotLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(control.rect().adjusted(0, 0, -1, -1));
    painter.restore();
}

void FocusMark::passOn(QWidget& control) const {
    for (QWidget* next = control.nextInFocusChain(); next && next != &control;
         next = next->nextInFocusChain()) {
        if (next->window() == control.window() && (next->focusPolicy() & Qt::TabFocus) &&
            next->isEnabled() && next->isVisibleTo(control.window())) {
            next->setFocus(m_byKeyboard ? Qt::TabFocusReason : Qt::OtherFocusReason);
            return;
        }
    }
    control.clearFocus();
}
