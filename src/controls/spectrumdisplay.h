#pragma once

#include "canvas24.h"

#include <QColor>
#include <QImage>
#include <QWidget>

#include <array>
#include <cstdint>

/// Display modes of the analyser, in the order a click steps through them.
enum TVisualMode : int {
    vmNone = 0,
    vmFFT = 1,
    vmFFT2 = 2,
    vmFFT3 = 3,
    vmFFT4 = 4,
    vmFFT6 = 5,
    vmFFT7 = 6,
    vmWave = 7,
    vmWave2 = 8,
    vmVU = 9,
    vmVU2 = 10,
};

using TDSPBuffer = std::array<std::int16_t, 256>;
using TBandOut = std::array<std::int32_t, 128>;

/// The small analyser picture of the main window. Each call of `event` analyses one block of
/// interleaved PCM (spectrum, waveform or levels, by mode) and draws it into 127 by 38
/// pixel off-screen pictures with falling bars, held peaks and a fading trail; painting only
/// shows the finished picture. The control has no timer of its own: the main window's
/// display timer drives it, and a hidden control draws nothing. Window thread only.
class TSpectrumDisplay : public QWidget {
    Q_OBJECT

public:
    explicit TSpectrumDisplay(QWidget* parent = nullptr);

    QColor backcolor() const { return m_backcolor; }
    void setbackcolor(const QColor& colour);
    QColor forecolor() const { return m_forecolor; }
    void setforecolor(const QColor& colour);
    /// The backdrop of mode 1 and the bar texture of mode 1; copied in and converted to 24 bits.
    void setbackground(const QImage& picture);
    void setslider(const QImage& picture);
    TVisualMode visualmode() const { return fVisualMode; }
    /// Stores the mode only (no clearing); values outside 0..10, which only an edited settings
    /// file can hold, are clamped to the nearest mode.
    void setvisualmode(int mode);

    void ClearVisual();
    void ResetPeaks();
    void ResetVisual();
    /// Sets the mode (clamped as in `setvisualmode`) and clears pictures, bars and peaks.
    void SwitchVisual(int visual);

    using QWidget::event;
    /// Draws one frame from `bsize` bytes of interleaved PCM and asks for a repaint; does
    /// nothing while the control is hidden. `interval` is the caller's tick in milliseconds.
    void event(const void* buffer, int bsize, int interval, int Frequency, int Channels, int Bits,
               bool isFloat);
    /// The drawing part of `event`, without the visibility check and the repaint request.
    /// `steps` ticks of `interval` each pass over the same block: it is analysed once, and
    /// bars, peaks and trails move as they would in that many single frames.
    /// Allocates nothing.
    void drawFrame(const void* buffer, int bsize, int interval, int Frequency, int Channels,
                   int Bits, bool isFloat, int steps = 1);
    /// Asks for a repaint of the part of the picture that changed since it was last asked
    /// for: nothing when it did not change (silence once the trails have faded).
    void showChanges();
    /// Runs the mode's analysis over `Length` bytes into `dspBuffer`.
    void ProcessVisual(const void* Buffer, int Length, int Channels, int Frequency, int Bits,
                       bool isFloat);

    // Read access to the working state, for the window's tests and the screenshot.
    const TDSPBuffer& dspBuffer() const { return m_dspBuffer; }
    const TBandOut& bandOut() const { return BandOut; }
    const TBandOut& peaks() const { return Peaks; }
    int vuChannels() const { return fVUChannels; }
    const QImage& basicImage() const { return BasicBMP; }
    const QImage& backImage() const { return BackBMP; }
    const QImage& fadeImage() const { return FadeBMP; }

signals:
    /// The click notification: raised when the mouse button is released, after the press
    /// has already stepped the mode.
    void OnClick();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct TrailOffset {
        int dx = 0;
        int dy = 0;
    };

    void analyseSpectrum(int frames);
    void analyseWave(int frames);
    void analyseLevels(int frames, int channels);
    int readFrames(const void* buffer, int length, int channels, int bits, bool isFloat);
    void updateBar(int index, int value);
    void updatePeak(int index, int value);
    void drawPeak(int index);
    int bandValue(int band) const;
    TrailOffset drawMode();

    QColor m_backcolor;
    QColor m_forecolor;
    canvas24::Rgb VIS32;
    canvas24::Rgb VISD;
    TVisualMode fVisualMode = vmNone;
    TDSPBuffer m_dspBuffer{};
    std::uint8_t fVUChannels = 1;
    TBandOut BandOut{};
    TBandOut Peaks{};
    TBandOut PeaksWait{};
    int fPeaksDelay = 10;
    int fPeaksFallof = 1;
    int fSpectrumFallof = 3;
    QImage fbackground;
    QImage fslider;
    QImage BasicBMP;
    QImage BackBMP;
    QImage FadeBMP;
    QImage m_shown; ///< FadeBMP as last asked to be repainted
    bool fShowPeaks = true;
    bool fUseFade = true;
    int intwidth = 127;
    int intheight = 38;
    bool m_pressed = false;
};
