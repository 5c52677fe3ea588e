#include "spectrumdisplay.h"

#include "fft.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>

using namespace canvas24;

namespace {

// Working buffers shared by all analysers. They live for the whole program, so that a
// frame allocates nothing; everything runs on the window thread, so sharing them is safe.
constexpr int kMaxFrames = 100001;
std::array<std::int32_t, kMaxFrames> g_frames;
std::array<std::complex<float>, 256> g_transform;

// Band boundaries over the spectrum bins: band i covers entry i up to entry i + 1.
constexpr std::array<std::uint16_t, 26> kBands = {0,  2,  4,  7,  12, 18,  21,  23, 25,
                                                  27, 31, 33, 35, 37, 39,  41,  45, 50,
                                                  55, 60, 66, 76, 90, 100, 110, 127};
constexpr int kBandCount = 25;
constexpr int kBinColumns = 126;
constexpr int kModeCount = 11;

bool validBits(int bits) {
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// One sample brought to the common scale of a signed 8-bit value (16-bit audio gives -128
// to 127). Division rounds toward zero, as integer division does.
inline std::int32_t scaledSample(const std::uint8_t* p, int bits, bool isFloat) {
    switch (bits) {
    case 8:
        return static_cast<std::int8_t>(p[0]);
    case 16: {
        std::int16_t v;
        std::memcpy(&v, p, sizeof v);
        return v / 256;
    }
    case 24: {
        std::int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
        if (v & 0x800000)
            v -= 0x1000000;
        return v / 32768;
    }
    default: {
        if (isFloat) {
            float f;
            std::memcpy(&f, p, sizeof f);
            // Out-of-range floats (or NaN) in a broken stream must not overflow the
            // conversion; 128 times full scale is far beyond anything that is drawn.
            const float scaled = std::nearbyint(f * 256.0f);
            if (!(scaled == scaled))
                return 0;
            return static_cast<std::int32_t>(std::clamp(scaled, -32768.0f, 32767.0f));
        }
        std::int32_t v;
        std::memcpy(&v, p, sizeof v);
        return v / 16777216;
    }
    }
}

inline std::int16_t saturate16(double v) {
    return static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0));
}

} // namespace

TSpectrumDisplay::TSpectrumDisplay(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    resize(intwidth, intheight);
    m_backcolor = QColor(96, 167, 247);
    m_forecolor = QColor(0, 0, 128);
    VIS32 = Rgb::from(m_backcolor);
    VISD = Rgb::from(m_forecolor);
    BasicBMP = makeImage(intwidth, intheight, VIS32);
    BackBMP = makeImage(intwidth, intheight, VIS32);
    FadeBMP = makeImage(intwidth, intheight, VIS32);
    ClearVisual();
    SwitchVisual(vmFFT2);
}

void TSpectrumDisplay::setbackcolor(const QColor& colour) {
    m_backcolor = colour;
    VIS32 = Rgb::from(colour);
    ResetVisual();
}

void TSpectrumDisplay::setforecolor(const QColor& colour) {
    m_forecolor = colour;
    VISD = Rgb::from(colour);
    ResetVisual();
}

void TSpectrumDisplay::setbackground(const QImage& picture) {
    fbackground = picture.convertToFormat(QImage::Format_RGB888);
}

void TSpectrumDisplay::setslider(const QImage& picture) {
    fslider = picture.convertToFormat(QImage::Format_RGB888);
}

void TSpectrumDisplay::setvisualmode(int mode) {
    fVisualMode = static_cast<TVisualMode>(std::clamp(mode, 0, kModeCount - 1));
}

void TSpectrumDisplay::ClearVisual() {
    fill(BasicBMP, VIS32);
    fill(FadeBMP, VIS32);
    fill(BackBMP, VIS32);
}

void TSpectrumDisplay::ResetPeaks() {
    std::fill_n(Peaks.begin(), kBandCount, 0);
    std::fill_n(PeaksWait.begin(), kBandCount, 0);
}

void TSpectrumDisplay::ResetVisual() {
    ClearVisual();
    BandOut.fill(0);
    m_dspBuffer.fill(0);
    ResetPeaks();
    update();
}

void TSpectrumDisplay::SwitchVisual(int visual) {
    setvisualmode(visual);
    fill(BackBMP, VIS32);
    ResetVisual();
    ResetPeaks();
}

void TSpectrumDisplay::event(const void* buffer, int bsize, int interval, int Frequency,
                             int Channels, int Bits, bool isFloat) {
    if (!isVisible())
        return;
    drawFrame(buffer, bsize, interval, Frequency, Channels, Bits, isFloat);
    update();
}

void TSpectrumDisplay::drawFrame(const void* buffer, int bsize, int interval, int Frequency,
                                 int Channels, int Bits, bool isFloat, int steps) {
    m_dspBuffer.fill(0);

    // One tick's worth of audio. A tick of 0 ms or longer than a second would divide by
    // zero; both are treated as the nearest sensible tick.
    const std::int64_t bytesPerSecond = static_cast<std::int64_t>(std::max(Channels, 0)) *
                                        std::max(Frequency, 0) * (std::max(Bits, 0) / 8);
    const int ticksPerSecond = std::max(1000 / std::max(interval, 1), 1);
    const int length = static_cast<int>(
        std::clamp<std::int64_t>(bytesPerSecond / ticksPerSecond, 0, std::max(bsize, 0)));
    ProcessVisual(buffer, length, Channels, Frequency, Bits, isFloat);

    for (int step = 0; step < std::max(steps, 1); ++step) {
        fill(BasicBMP, VIS32);
        const TrailOffset offset = drawMode();
        copyRect(FadeBMP, 0, 0, BasicBMP, 0, 0, intwidth, intheight);
        if (fVisualMode == vmNone) {
            copyRect(BackBMP, 0, 0, BasicBMP, 0, 0, intwidth, intheight);
            return;
        }
        if (fUseFade) {
            blend(FadeBMP, BackBMP, 200);
            // The history moves by the offset; the pixels it uncovers keep their old content.
            copyRect(BackBMP, offset.dx, offset.dy, FadeBMP, 0, 0, intwidth, intheight);
        }
    }
}

void TSpectrumDisplay::ProcessVisual(const void* Buffer, int Length, int Channels,
                                     int /*Frequency*/, int Bits, bool isFloat) {
    if (fVisualMode == vmNone)
        return;
    if (fVisualMode == vmVU || fVisualMode == vmVU2) {
        // The level bars divide the height by this count, and there are only as many bar
        // slots as `BandOut` has entries, so it is kept to 1..128.
        fVUChannels = static_cast<std::uint8_t>(std::clamp(Channels, 1, 128));
    }
    if (Buffer == nullptr || Length <= 0 || Channels <= 0 || !validBits(Bits))
        return;
    const int frames = readFrames(Buffer, Length, Channels, Bits, isFloat);
    switch (fVisualMode) {
    case vmWave:
    case vmWave2:
        analyseWave(frames);
        break;
    case vmVU:
    case vmVU2:
        analyseLevels(frames, Channels);
        break;
    default:
        analyseSpectrum(frames);
        break;
    }
}

// Reduces the block to one value per frame in the shared frame buffer, by the rule of the
// current analysis, and returns the frame count (bounded by the buffer). The level analysis
// reads the block itself, so this only counts its frames.
int TSpectrumDisplay::readFrames(const void* buffer, int length, int channels, int bits,
                                 bool isFloat) {
    const int bytes = bits / 8;
    const int frames = std::min(length / bytes / channels, kMaxFrames);
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    const bool wave = fVisualMode == vmWave || fVisualMode == vmWave2;
    const bool levels = fVisualMode == vmVU || fVisualMode == vmVU2;
    if (levels) {
        for (int c = 0; c < std::min(channels, 128); ++c) {
            std::int32_t largest = 0;
            const std::uint8_t* s = p + c * bytes;
            for (int f = 0; f < frames; ++f, s += bytes * channels)
                largest = std::max(largest, std::abs(scaledSample(s, bits, isFloat)));
            g_frames[c] = largest;
        }
        return frames;
    }
    for (int f = 0; f < frames; ++f) {
        std::int32_t value = 0;
        if (wave) {
            for (int c = 0; c < channels; ++c, p += bytes)
                value += scaledSample(p, bits, isFloat);
            value = value / channels + 128;
        } else {
            for (int c = 0; c < channels; ++c, p += bytes) {
                const std::int32_t s = scaledSample(p, bits, isFloat);
                if ((s > 0 && s > value) || (s <= 0 && s < value))
                    value = s;
            }
        }
        g_frames[f] = value;
    }
    return frames;
}

void TSpectrumDisplay::analyseSpectrum(int frames) {
    // Points past the end of a short block read as silence.
    for (int f = frames; f < 256; ++f)
        g_frames[f] = 0;
    const int step = std::max(frames / 256, 1);
    for (int i = 0; i < 256; ++i) {
        std::int64_t sum = 0;
        for (int k = 0; k < step; ++k)
            sum += g_frames[i * step + k];
        g_transform[i] = {static_cast<float>(sum / step) / 25.0f, 0.0f};
    }
    // Pre-emphasis, each point against the value of its predecessor before this step.
    for (int i = 255; i >= 1; --i)
        g_transform[i] = {g_transform[i].real() - 0.85f * g_transform[i - 1].real(), 0.0f};
    forwardFft256(g_transform);
    for (int k = 0; k < 128; ++k) {
        const float re = g_transform[k].real();
        const float im = g_transform[k].imag();
        m_dspBuffer[k] = saturate16(std::nearbyint(std::sqrt(re * re + im * im)));
    }
}

void TSpectrumDisplay::analyseWave(int frames) {
    // A block shorter than the picture is padded with the silence level, the centre line.
    for (int f = frames; f < 127; ++f)
        g_frames[f] = 128;
    const int step = std::max(frames / 127, 1);
    for (int i = 0; i < 127; ++i) {
        std::int64_t sum = 0;
        for (int k = 0; k < step; ++k)
            sum += g_frames[i * step + k];
        m_dspBuffer[i] = saturate16(static_cast<double>(sum / step));
    }
}

void TSpectrumDisplay::analyseLevels(int /*frames*/, int channels) {
    for (int c = 0; c < std::min(channels, 128); ++c)
        m_dspBuffer[c] = saturate16(g_frames[c]);
}

void TSpectrumDisplay::updateBar(int index, int value) {
    std::int32_t& bar = BandOut[index];
    if (value > bar)
        bar = value;
    else if (bar >= fSpectrumFallof)
        bar -= fSpectrumFallof;
    else
        bar = 0;
}

int TSpectrumDisplay::bandValue(int band) const {
    int largest = 0;
    for (int b = kBands[band]; b < kBands[band + 1]; ++b)
        largest = std::max<int>(largest, m_dspBuffer[b]);
    return largest;
}

void TSpectrumDisplay::updatePeak(int index, int value) {
    std::int32_t& peak = Peaks[index];
    std::int32_t& wait = PeaksWait[index];
    if (value >= peak) {
        peak = value;
        wait = 0;
    }
    switch (fVisualMode) {
    case vmFFT:
        if (wait > 2 * fPeaksDelay)
            peak -= 2;
        break;
    case vmFFT3:
        if (wait > 2 * fPeaksDelay)
            peak -= fPeaksFallof;
        break;
    default:
        if (wait > fPeaksDelay)
            peak -= fPeaksFallof;
        break;
    }
    if (peak > 0)
        drawPeak(index);
    ++wait;
}

void TSpectrumDisplay::drawPeak(int j) {
    const int H = intheight;
    const int p = Peaks[j];
    switch (fVisualMode) {
    case vmFFT: {
        const int even = p + (p & 1);
        fillRect(BasicBMP, 5 * j + 1, H - even, 5 * j + 5, H - even + 1, VISD);
        break;
    }
    case vmFFT2:
    case vmFFT7:
        fillRect(BasicBMP, 5 * j + 1, H - p, 5 * j + 5, H - p + 1, VISD);
        break;
    case vmFFT3:
    case vmFFT4:
        fillRect(BasicBMP, j, H - p, j + 2, H - p + 1, VISD);
        break;
    case vmVU:
    case vmVU2: {
        const int t = H / fVUChannels;
        fillRect(BasicBMP, p - 2, j * t + 1, p, (j + 1) * t, VISD);
        break;
    }
    default:
        break;
    }
}

TSpectrumDisplay::TrailOffset TSpectrumDisplay::drawMode() {
    const int H = intheight;
    const int W = intwidth;
    switch (fVisualMode) {
    case vmNone:
        return {};
    case vmFFT:
    case vmFFT2:
    case vmFFT7: {
        if (fVisualMode == vmFFT)
            drawImage(BasicBMP, 0, 0, fbackground);
        for (int i = 0; i < kBandCount; ++i)
            updateBar(i, std::min(bandValue(i), H));
        for (int i = 0; i < kBandCount; ++i) {
            const int h = BandOut[i];
            if (fVisualMode == vmFFT) {
                const int even = h & ~1;
                if (even > 2)
                    copyRect(BasicBMP, 5 * i + 1, H - even, fslider, 0, 0, 4, even);
            } else if (fVisualMode == vmFFT2) {
                if (h > 2)
                    fillRect(BasicBMP, 5 * i + 1, H - h, 5 * i + 5, H, VISD);
            } else {
                rectangle(BasicBMP, 5 * i + 1, H - h, 5 * i + 5, H, VISD, PenStyle::Dotted,
                          BrushStyle::HorizontalHatch);
            }
        }
        if (fShowPeaks)
            for (int i = 0; i < kBandCount; ++i)
                updatePeak(i, BandOut[i]);
        return {0, fVisualMode == vmFFT ? 0 : 1};
    }
    case vmFFT3:
    case vmFFT4:
    case vmFFT6: {
        for (int i = 0; i < kBinColumns; ++i)
            updateBar(i, std::min<int>(m_dspBuffer[i + 1], H));
        if (fVisualMode == vmFFT3) {
            for (int i = 0; i < kBinColumns; ++i)
                fillRect(BasicBMP, i, H - BandOut[i], i + 1, H, VISD);
        } else if (fVisualMode == vmFFT4) {
            int x = 0;
            int y = H - BandOut[0];
            for (int i = 0; i < kBinColumns; ++i) {
                line(BasicBMP, x, y, i, H - BandOut[i], VISD, PenStyle::Solid);
                x = i;
                y = H - BandOut[i];
            }
        } else {
            for (int i = 0; i < kBinColumns; ++i)
                line(BasicBMP, i, H, i, H - BandOut[i], VISD, PenStyle::InsideFrame);
            return {0, -3};
        }
        if (fShowPeaks)
            for (int i = 0; i < kBinColumns; ++i)
                updatePeak(i, BandOut[i]);
        return {0, 1};
    }
    case vmWave:
    case vmWave2: {
        const auto yOf = [&](int i) { return (m_dspBuffer[i] * H) / 128 - 18; };
        if (fVisualMode == vmWave) {
            int x = 0;
            int y = yOf(0);
            for (int i = 0; i < 127; ++i) {
                line(BasicBMP, x, y, i, yOf(i), VISD, PenStyle::Solid);
                x = i;
                y = yOf(i);
            }
        } else {
            const int m = H / 2 + 1;
            line(BasicBMP, 0, m, W, m, VISD, PenStyle::Solid);
            for (int i = 0; i < 127; ++i)
                line(BasicBMP, i, m, i, yOf(i), VISD, PenStyle::Solid);
        }
        return {0, 1};
    }
    case vmVU:
    case vmVU2: {
        const int t = H / fVUChannels;
        const bool hatched = fVisualMode == vmVU2;
        for (int c = 0; c < fVUChannels; ++c) {
            const int length = (m_dspBuffer[c] * W) / 128;
            updateBar(c, length);
            rectangle(BasicBMP, 0, c * t + 1, BandOut[c], (c + 1) * t, VISD,
                      hatched ? PenStyle::Dotted : PenStyle::Solid,
                      hatched ? BrushStyle::DiagonalCrossHatch : BrushStyle::Solid);
            if (fShowPeaks)
                updatePeak(c, length);
        }
        return {hatched ? 0 : -2, 0};
    }
    }
    return {};
}

void TSpectrumDisplay::showChanges() {
    const QRect changed = canvas24::takeChanges(FadeBMP, m_shown);
    if (changed.isEmpty())
        return;
    if (width() == intwidth && height() == intheight)
        update(changed);
    else
        update(); // scaled: the whole control
}

void TSpectrumDisplay::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    if (width() == intwidth && height() == intheight)
        painter.drawImage(0, 0, FadeBMP);
    else
        painter.drawImage(rect(), FadeBMP);
}

void TSpectrumDisplay::mousePressEvent(QMouseEvent* event) {
    SwitchVisual((fVisualMode + 1) % kModeCount);
    m_pressed = true;
    QWidget::mousePressEvent(event);
}

void TSpectrumDisplay::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = m_pressed;
    m_pressed = false;
    QWidget::mouseReleaseEvent(event);
    if (wasPressed && rect().contains(event->position().toPoint()))
        emit OnClick();
}
