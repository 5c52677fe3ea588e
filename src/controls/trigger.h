#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

/// Three-state value of the indicator.
enum TCheckBoxState : int { cbUnchecked = 0, cbChecked = 1, cbGrayed = 2 };

/// A two-state indicator showing one of two pictures ("VOX", "Timer" on the main window);
/// its tooltip tells the state: the hint followed by ":ON" or ":OFF". Window thread only.
class TTrigger : public QWidget {
    Q_OBJECT

public:
    explicit TTrigger(QWidget* parent = nullptr);

    bool Checked() const { return fState == cbChecked; }
    void setChecked(bool checked);
    TCheckBoxState State() const { return fState; }
    void setState(TCheckBoxState state);
    QString Hint() const { return fhint; }
    void setHint(const QString& hint);
    const QImage& CheckedGlyph() const { return fCheckedBitmap; }
    /// Also makes the control the glyph's size.
    void setCheckedGlyph(const QImage& glyph);
    const QImage& UncheckedGlyph() const { return fUncheckedBitmap; }
    void setUncheckedGlyph(const QImage& glyph);

signals:
    void OnClick();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QString fhint;
    QImage fCheckedBitmap;
    QImage fUncheckedBitmap;
    TCheckBoxState fState = cbUnchecked;
};
