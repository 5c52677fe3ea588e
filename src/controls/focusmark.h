#pragma once

#include <Qt>

class QPainter;
class QWidget;

/// The keyboard focus of a skin control: whether it came from the keyboard, so that the
/// focus mark shows only then (a mouse user never sees it), and the mark itself.
class FocusMark {
public:
    /// Call from focusInEvent.
    void focusIn(Qt::FocusReason reason);
    /// A key was handled by the control: from now on the user is seen to use the keyboard.
    void keyUsed(QWidget& control);
    /// Whether `control` shows the mark now.
    bool shown(const QWidget& control) const;
    /// A dotted 1-pixel frame in the skin's text colour along the control's edge.
    void paint(QPainter& painter, const QWidget& control) const;
    /// Gives the focus to the next control of the window that takes Tab, as a disabled
    /// standard widget does; the mark goes along when it was shown.
    void passOn(QWidget& control) const;

private:
    bool m_byKeyboard = false;
};
