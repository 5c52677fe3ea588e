#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>

/// A push button made of three pictures: normal (`Pic`), highlighted (`PicUp`) and pressed
/// (`PicDown`). Hovering cross-fades the highlight in and out in steps of 16/255 every
/// 20 ms. A button whose `enable` is false still fades but never clicks; unlike a disabled
/// QWidget it keeps receiving the pointer. Window thread only.
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
    void setEnable(bool value) { enable = value; }
    int ModalResult() const { return FModalResult; }
    void setModalResult(int result) { FModalResult = result; }

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

private:
    void showPicture(const QImage& picture);
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
};
