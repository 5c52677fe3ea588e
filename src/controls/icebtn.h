#pragma once

#include "focusmark.h"

#include <QImage>
#include <QTimer>
#include <QWidget>

/// A push button made of three pictures: normal (`Pic`), highlighted (`PicUp`) and pressed
/// (`PicDown`). Hovering cross-fades the highlight in and out in steps of 16/255 every
/// 20 ms. A button whose `enable` is false still fades but never clicks; unlike a disabled
/// QWidget it keeps receiving the pointer. Tab reaches an enabled button; Space, Enter and
/// Return press it as a click does. Window thread only.
class TiceBtn : public QWidget {
    Q_OBJECT

public:
    explicit TiceBtn(QWidget* parent = nullptr);

    const QImage& Pic() const { return FPic; }
    /// Also gives the control the picture's size and shows it.
    void setPic(const QImage& picture);
    const QImage& PicDown() const { return FPicDown; }
    void setPicDown(const QImage& picture);
    const QImage& PicUp() const { return FPicUp; }
    void setPicUp(const QImage& picture);
    bool Supported() const { return FSupported; }
    void setSupported(bool supported) { FSupported = supported; }
    bool isEnable() const { return enable; }
    /// A button that no longer clicks gives its keyboard focus on, when control returns to
    /// the event loop.
    void setEnable(bool value);
    int ModalResult() const { return FModalResult; }
    void setModalResult(int result) { FModalResult = result; }

    /// Clicks as the pointer does, when `enable` is set: for the keyboard and screen readers.
    void click();
    /// The pointer or a key holds the button down.
    bool isDown() const { return FDown || m_keyDown != 0; }
    /// The keyboard's focus mark shows.
    bool focusMarkShown() const { return m_focusMark.shown(*this); }

    /// One tick of the cross-fade timer.
    void FadeStep();
    int fadeAlpha() const { return transp; }
    bool fading() const { return timer.isActive(); }
    /// What the control shows now.
    const QImage& shown() const { return m_shown; }

signals:
    void OnClick();
    void OnMouseEnter();
    void OnMouseLeave();
    void OnMouseDown();
    void OnMouseUp();

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void showPicture(const QImage& picture);
    void setKeyDown(int key);
    void reportState(bool disabled, bool pressed);
    void Click();

    bool FEntered = false;
    QTimer timer;
    bool FDown = false;
    QImage FPic;
    QImage FPicDown;
    QImage FPicUp;
    QImage VideoBuffer;
    bool FSupported = true;
    int transp = 0;
    int step = 0;
    bool enable = true;
    int FModalResult = 0;
    bool m_pressed = false;
    QImage m_shown;
    int m_keyDown = 0; ///< the key that holds the button down, or 0
    FocusMark m_focusMark;
};
