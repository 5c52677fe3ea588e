#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

/// The clock display: draws its text from a strip of glyph pictures holding "0" to "9",
/// each `FontWidth` pixels wide, and a colon two fifths as wide. Window thread only.
class Tbmptimedisplay : public QWidget {
    Q_OBJECT

public:
    explicit Tbmptimedisplay(QWidget* parent = nullptr);

    const QImage& FontBitmap() const { return fBitmap; }
    void setFontBitmap(const QImage& strip);
    QString Text() const { return ftext; }
    void setText(const QString& text);
    int FontWidth() const { return fwidth; }
    /// Also makes the control as wide as "00:00:00".
    void setFontWidth(int width);
    int FontHeight() const { return fheight; }
    /// Also makes the control that high.
    void setFontHeight(int height);

    /// Composes the text from the glyph strip and fits the control's width to it.
    void updatebuffer();
    const QImage& picture() const { return fBackground; }

signals:
    void OnClick();
    void OnDblClick();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QImage fBackground;
    QImage fBitmap;
    int fwidth = 15;
    int fheight = 25;
    QString ftext;
};
