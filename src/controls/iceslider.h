#pragma once

#include "focusmark.h"

#include <QImage>
#include <QRect>
#include <QWidget>

/// A slider made of a ruler picture and a thumb picture. Positions run from 0 to `Maximum`;
/// a vertical slider has 0 at the bottom. While the user drags, the pointer is kept inside
/// the control. With the focus, the arrow keys move it a step, Page Up and Page Down a tenth,
/// Home and End to the ends. Window thread only.
class TIceSlider : public QWidget {
    Q_OBJECT

public:
    explicit TIceSlider(QWidget* parent = nullptr);

    const QImage& ImageRuler() const { return FImageRuler; }
    void setImageRuler(const QImage& ruler);
    const QImage& ImageThumb() const { return FImageThumb; }
    void setImageThumb(const QImage& thumb);
    bool Horizontal() const { return FHorizontal; }
    void setHorizontal(bool horizontal);
    int Maximum() const { return FMaximum; }
    /// At least 1; a larger position is lowered to it.
    void setMaximum(int maximum);
    int Position() const { return FPosition; }
    /// Clamped to 0..Maximum; raises no notification; while the user drags it is only stored.
    void setPosition(int position);
    /// Moves the slider as a drag does (clamped, `OnBeginChange`, `OnChanged` and
    /// `OnStopChanged`): for the keyboard and screen readers. Nothing while a drag runs.
    void moveByUser(int position);
    bool focusMarkShown() const { return m_focusMark.shown(*this); }
    bool AutoSize() const { return m_autoSize; }
    void setAutoSize(bool autoSize);

    /// Pixels per position step.
    double difference() const { return FDifference; }
    bool tracking() const { return FTracking; }
    /// Where the thumb is drawn for the current position, in control coordinates.
    QPoint thumbOrigin() const;
    /// The point nearest to `global` inside `screenRect`: where the pointer is kept while
    /// the user drags.
    static QPoint confine(QPoint global, const QRect& screenRect);

signals:
    void OnBeginChange();
    void OnChanged();
    void OnStopChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void recompute();
    void reportValue();

    QImage FImageRuler;
    QImage FImageThumb;
    QImage FThumb1;
    bool FHorizontal = true;
    bool FClicked = false;
    bool FTracking = false;
    int FMaximum = 100;
    double FDifference = 0.0;
    int FPosition = 0;
    int FFrom = 0;
    bool FChanged = false;
    bool FChanging = false;
    bool m_autoSize = true;
    QRect m_confinement;
    FocusMark m_focusMark;
};
