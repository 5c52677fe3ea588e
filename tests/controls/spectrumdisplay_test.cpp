#include "controls/fft.h"
#include "controls/spectrumdisplay.h"

#include <QApplication>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

using canvas24::pixel;
using canvas24::Rgb;

namespace {

constexpr int H = 38;

// Interleaved stereo 16-bit frames, both channels the same.
std::vector<std::int16_t> stereo(const std::vector<std::int16_t>& mono) {
    std::vector<std::int16_t> out;
    for (const std::int16_t s : mono) {
        out.push_back(s);
        out.push_back(s);
    }
    return out;
}

void feed16(TSpectrumDisplay& d, const std::vector<std::int16_t>& samples, int channels = 2) {
    d.drawFrame(samples.data(), static_cast<int>(samples.size() * 2), 15, 44100, channels, 16,
                false);
}

void feedFloat(TSpectrumDisplay& d, float value, int frames) {
    const std::vector<float> samples(2 * frames, value);
    d.drawFrame(samples.data(), static_cast<int>(samples.size() * 4), 15, 44100, 2, 32, true);
}

void silence(TSpectrumDisplay& d) {
    feed16(d, std::vector<std::int16_t>(1024, 0));
}

Rgb fore(const TSpectrumDisplay& d) {
    return Rgb::from(d.forecolor());
}
Rgb back(const TSpectrumDisplay& d) {
    return Rgb::from(d.backcolor());
}

} // namespace

TEST(Fft, MatchesDirectDftOnRandomInput) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    std::array<std::complex<float>, 256> points;
    for (auto& p : points)
        p = {value(random), value(random)};
    const auto input = points;
    forwardFft256(points);
    for (int k = 0; k < 128; ++k) {
        std::complex<double> sum = 0;
        for (int n = 0; n < 256; ++n)
            sum += std::complex<double>(input[n]) *
                   std::polar(1.0, -2.0 * std::numbers::pi * k * n / 256);
        EXPECT_NEAR(std::abs(points[k]), std::abs(sum), 1e-3 * (1.0 + std::abs(sum))) << k;
        EXPECT_NEAR(points[k].real(), sum.real(), 0.05) << k;
    }
}

TEST(SpectrumDisplay, SilenceKeepsBarsDownAndLoudBarsFallThreePixelsAFrame) {
    TSpectrumDisplay d;
    EXPECT_EQ(d.visualmode(), vmFFT2);
    for (int i = 0; i < 5; ++i)
        silence(d);
    for (const int bar : d.bandOut())
        EXPECT_EQ(bar, 0);
    for (int y = 0; y < H; ++y)
        EXPECT_EQ(pixel(d.basicImage(), 2, y), back(d));

    // The level bars share the fall rule and can be given an exact height: 31 scaled is
    // 31 * 127 / 128 = 30 pixels.
    d.SwitchVisual(vmVU);
    feed16(d, stereo(std::vector<std::int16_t>(600, 31 * 256)));
    std::vector<int> heights{d.bandOut()[0]};
    for (int i = 0; i < 10; ++i) {
        silence(d);
        heights.push_back(d.bandOut()[0]);
    }
    EXPECT_EQ(heights, (std::vector<int>{30, 27, 24, 21, 18, 15, 12, 9, 6, 3, 0}));

    // A spectrum bar is capped at the height and goes from 2 straight to 0.
    d.SwitchVisual(vmFFT2);
    feed16(d, stereo(std::vector<std::int16_t>(600, 32000)));
    EXPECT_EQ(d.bandOut()[0], 38);
    for (int i = 0; i < 12; ++i)
        silence(d);
    EXPECT_EQ(d.bandOut()[0], 2);
    silence(d);
    EXPECT_EQ(d.bandOut()[0], 0);
}

TEST(SpectrumDisplay, PeaksHoldAndFallByMode) {
    TSpectrumDisplay d;
    const auto run = [&](int mode, int bar, auto loud) {
        d.SwitchVisual(mode);
        loud();
        std::vector<int> peaks{d.peaks()[bar]};
        for (int i = 0; i < 23; ++i) {
            silence(d);
            peaks.push_back(d.peaks()[bar]);
        }
        return peaks;
    };
    const auto dc16 = [&] { feed16(d, stereo(std::vector<std::int16_t>(600, 32000))); };

    // Mode 2: 11 frames at 38 (counting the frame of the rise), then 1 pixel a frame.
    std::vector<int> mode2 = run(vmFFT2, 0, dc16);
    std::vector<int> expect2(11, 38);
    for (int p = 37; expect2.size() < mode2.size(); --p)
        expect2.push_back(p);
    EXPECT_EQ(mode2, expect2);
    // The marker of the held peak is in the top row, over the band's four columns.
    d.SwitchVisual(vmFFT2);
    dc16();
    silence(d);
    for (int x = 1; x <= 4; ++x) {
        EXPECT_EQ(pixel(d.basicImage(), x, 0), fore(d)) << x;
        EXPECT_EQ(pixel(d.basicImage(), x, 1), back(d)) << x;
        EXPECT_EQ(pixel(d.basicImage(), x, 3), fore(d)) << x; // the bar, now 35 high
    }
    EXPECT_EQ(pixel(d.basicImage(), 5, 0), back(d));

    // Mode 1: 21 frames, then 2 pixels a frame.
    std::vector<int> mode1 = run(vmFFT, 0, dc16);
    std::vector<int> expect1(21, 38);
    expect1.insert(expect1.end(), {36, 34, 32});
    EXPECT_EQ(mode1, expect1);

    // Mode 3: 21 frames, then 1 pixel a frame. A float DC of 4.0 gives every bin above 0
    // the value 0.85 * 1024 / 25 = 34.8, drawn as 35.
    std::vector<int> mode3 = run(vmFFT3, 5, [&] { feedFloat(d, 4.0f, 600); });
    std::vector<int> expect3(21, 35);
    expect3.insert(expect3.end(), {34, 33, 32});
    EXPECT_EQ(mode3, expect3);
}

TEST(SpectrumDisplay, TexturedBarsUseEvenHeights) {
    TSpectrumDisplay d;
    const Rgb red{255, 0, 0};
    const Rgb green{0, 160, 0};
    d.setbackground(canvas24::makeImage(127, 38, green));
    d.setslider(canvas24::makeImage(4, 38, red));
    d.SwitchVisual(vmFFT);
    // A float DC of 206/256 gives bins 2 and 3 (band 1) the value 0.85 * 206 / 25 = 7.004.
    feedFloat(d, 206.0f / 256.0f, 600);
    ASSERT_EQ(d.bandOut()[1], 7);
    const QImage& image = d.basicImage();
    for (int y = 0; y < H; ++y) {
        const Rgb expected = y >= 32 ? red : (y == 30 ? fore(d) : green);
        EXPECT_EQ(pixel(image, 6, y), expected) << y;
        EXPECT_EQ(pixel(image, 9, y), expected) << y;
    }
    EXPECT_EQ(pixel(image, 5, 35), green);
    EXPECT_EQ(pixel(image, 10, 35), green);

    // A value of 2 draws no bar; its peak marker (2 is already even) is at height 2.
    d.SwitchVisual(vmFFT);
    feedFloat(d, 59.0f / 256.0f, 600);
    ASSERT_EQ(d.bandOut()[1], 2);
    for (int y = 0; y < H; ++y)
        EXPECT_EQ(pixel(image, 7, y), y == 36 ? fore(d) : green) << y;
}

TEST(SpectrumDisplay, ClicksStepThroughTheModes) {
    TSpectrumDisplay d;
    int clicks = 0;
    QObject::connect(&d, &TSpectrumDisplay::OnClick, [&] { ++clicks; });
    for (int i = 0; i < 10; ++i) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&d, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&d, &release);
    }
    EXPECT_EQ(clicks, 10);
    EXPECT_EQ(d.visualmode(), vmFFT);

    // Modes from an edited settings file are clamped, and every mode draws without fault.
    d.SwitchVisual(42);
    EXPECT_EQ(d.visualmode(), vmVU2);
    d.setvisualmode(-3);
    EXPECT_EQ(d.visualmode(), vmNone);
    std::mt19937 random(3);
    std::vector<std::int16_t> noise(1336);
    for (auto& s : noise)
        s = static_cast<std::int16_t>(random());
    for (int mode = 0; mode <= 10; ++mode) {
        d.SwitchVisual(mode);
        for (int i = 0; i < 3; ++i)
            feed16(d, noise);
    }
}

TEST(SpectrumDisplay, SamplesAreScaledTowardZero) {
    TSpectrumDisplay d;
    d.SwitchVisual(vmWave);
    // The waveform value of a frame is the scaled sample plus 128.
    const auto waveOf16 = [&](std::int16_t s) {
        feed16(d, std::vector<std::int16_t>(127, s), 1);
        return d.dspBuffer()[0] - 128;
    };
    EXPECT_EQ(waveOf16(-255), 0);
    EXPECT_EQ(waveOf16(-256), -1);
    EXPECT_EQ(waveOf16(32767), 127);
    const std::vector<float> half(127, 0.5f);
    d.drawFrame(half.data(), 127 * 4, 15, 44100, 1, 32, true);
    EXPECT_EQ(d.dspBuffer()[0] - 128, 128);
    const std::vector<std::uint8_t> bytes(127, 0x80); // -128 as a signed byte
    d.drawFrame(bytes.data(), 127, 15, 44100, 1, 8, false);
    EXPECT_EQ(d.dspBuffer()[0] - 128, -128);
    const std::vector<std::uint8_t> s24 = {0x00, 0x80, 0xFF}; // -32768 -> -1
    std::vector<std::uint8_t> block;
    for (int i = 0; i < 127; ++i)
        block.insert(block.end(), s24.begin(), s24.end());
    d.drawFrame(block.data(), static_cast<int>(block.size()), 15, 44100, 1, 24, false);
    EXPECT_EQ(d.dspBuffer()[0] - 128, -1);

    // Broken input draws nothing and never faults: no channels, unknown widths, no data,
    // a zero tick, floats far out of range, more channels than bars.
    d.SwitchVisual(vmFFT2);
    const std::vector<std::int16_t> loud(2000, 20000);
    d.drawFrame(loud.data(), 4000, 15, 44100, 0, 16, false);
    d.drawFrame(loud.data(), 4000, 15, 44100, 2, 12, false);
    d.drawFrame(nullptr, 4000, 15, 44100, 2, 16, false);
    for (const auto v : d.dspBuffer())
        EXPECT_EQ(v, 0);
    d.drawFrame(loud.data(), 4000, 0, 44100, 2, 16, false);
    d.drawFrame(loud.data(), 4000, 5000, 44100, 2, 16, false);
    feedFloat(d, 1e30f, 600);
    feedFloat(d, std::nanf(""), 600);
    d.SwitchVisual(vmVU);
    d.drawFrame(loud.data(), 4000, 15, 44100, 200, 16, false);
    EXPECT_EQ(d.vuChannels(), 128);
}

TEST(SpectrumDisplay, SpectrumAveragesFramesByStep) {
    TSpectrumDisplay d;
    std::mt19937 random(11);
    std::uniform_int_distribution<int> value(-120, 120);
    std::vector<std::int16_t> frames512(512);
    for (auto& s : frames512)
        s = static_cast<std::int16_t>(value(random) * 256);
    std::vector<std::int16_t> pairs(256);
    for (int i = 0; i < 256; ++i)
        pairs[i] = static_cast<std::int16_t>((frames512[2 * i] / 256 + frames512[2 * i + 1] / 256) /
                                             2 * 256);
    feed16(d, stereo(frames512));
    const TDSPBuffer averaged = d.dspBuffer();
    feed16(d, stereo(pairs));
    EXPECT_EQ(d.dspBuffer(), averaged);
    EXPECT_GT(*std::max_element(averaged.begin(), averaged.end()), 0);

    // With 300 frames the step is 1 and frames 256 to 299 are not used.
    std::vector<std::int16_t> frames300(frames512.begin(), frames512.begin() + 300);
    feed16(d, stereo(frames300));
    const TDSPBuffer first = d.dspBuffer();
    std::fill(frames300.begin() + 256, frames300.end(), std::int16_t{30000});
    feed16(d, stereo(frames300));
    EXPECT_EQ(d.dspBuffer(), first);
    feed16(d, stereo(std::vector<std::int16_t>(frames512.begin(), frames512.begin() + 256)));
    EXPECT_EQ(d.dspBuffer(), first);
}

TEST(SpectrumDisplay, LevelBarsSplitTheHeightByChannel) {
    TSpectrumDisplay d;
    d.SwitchVisual(vmVU);
    const auto litRows = [&] {
        std::vector<int> rows;
        for (int y = 0; y < H; ++y)
            if (pixel(d.basicImage(), 0, y) == fore(d))
                rows.push_back(y);
        return rows;
    };
    const std::vector<std::int16_t> loudMono(600, 32767);
    feed16(d, loudMono, 1);
    std::vector<int> expected;
    for (int y = 1; y <= 37; ++y)
        expected.push_back(y);
    EXPECT_EQ(litRows(), expected);

    d.SwitchVisual(vmVU);
    feed16(d, stereo(loudMono), 2);
    expected.erase(std::find(expected.begin(), expected.end(), 19));
    EXPECT_EQ(litRows(), expected);
    // Full scale is 127 * 127 / 128 = 126 pixels; the peak block covers x 124 and 125.
    EXPECT_EQ(d.bandOut()[0], 126);
    EXPECT_EQ(pixel(d.basicImage(), 125, 5), fore(d));
    EXPECT_EQ(pixel(d.basicImage(), 126, 5), back(d));
}

TEST(SpectrumDisplay, TrailBlendsHistoryAndMovesByTheOffset) {
    TSpectrumDisplay d;
    d.setbackcolor(QColor(35, 87, 131));
    d.setforecolor(QColor(220, 230, 240));
    feed16(d, stereo(std::vector<std::int16_t>(600, 32000)));
    // Over a cleared history, a lit pixel shows 55/255 of the new picture.
    const Rgb lit = pixel(d.fadeImage(), 2, 10);
    EXPECT_EQ(lit.r, (200 * 35 + 55 * 220 + 127) / 255);
    EXPECT_EQ(lit.g, (200 * 87 + 55 * 230 + 127) / 255);
    EXPECT_EQ(lit.b, (200 * 131 + 55 * 240 + 127) / 255);
    // Mode 2's trail moves down one row; the top row keeps its old content.
    EXPECT_EQ(pixel(d.backImage(), 2, 11), lit);
    EXPECT_EQ(pixel(d.backImage(), 2, 0), back(d));
    EXPECT_EQ(pixel(d.backImage(), 2, 1), pixel(d.fadeImage(), 2, 0));

    // A hidden control ignores `event`; a shown one draws and paints.
    d.SwitchVisual(vmFFT2);
    const std::vector<std::int16_t> loud = stereo(std::vector<std::int16_t>(600, 32000));
    d.event(loud.data(), 2400, 15, 44100, 2, 16, false);
    EXPECT_EQ(d.bandOut()[0], 0);
    d.show();
    d.event(loud.data(), 2400, 15, 44100, 2, 16, false);
    EXPECT_EQ(d.bandOut()[0], 38);
    const QImage shot = d.grab().toImage();
    EXPECT_EQ(shot.pixelColor(2, 10), QColor(lit.r, lit.g, lit.b));
}

TEST(SpectrumDisplay, SeveralStepsInOneFrameMatchSingleFrames) {
    // The window draws two 15 ms steps per wake-up; every mode must end where two single
    // frames over the same block end: bars, peaks, trails and pictures alike.
    std::mt19937 random(11);
    std::vector<std::int16_t> loud(2400);
    for (auto& s : loud)
        s = static_cast<std::int16_t>(random());
    const std::vector<std::int16_t> quiet(2400, 40);
    for (int mode = 0; mode <= 10; ++mode) {
        TSpectrumDisplay single;
        TSpectrumDisplay stepped;
        single.SwitchVisual(mode);
        stepped.SwitchVisual(mode);
        for (int frame = 0; frame < 12; ++frame) {
            const auto& block = frame < 3 ? loud : quiet;
            const int bytes = static_cast<int>(block.size() * 2);
            single.drawFrame(block.data(), bytes, 15, 44100, 2, 16, false);
            single.drawFrame(block.data(), bytes, 15, 44100, 2, 16, false);
            stepped.drawFrame(block.data(), bytes, 15, 44100, 2, 16, false, 2);
        }
        EXPECT_EQ(stepped.bandOut(), single.bandOut()) << "mode " << mode;
        EXPECT_EQ(stepped.peaks(), single.peaks()) << "mode " << mode;
        EXPECT_EQ(stepped.fadeImage(), single.fadeImage()) << "mode " << mode;
        EXPECT_EQ(stepped.backImage(), single.backImage()) << "mode " << mode;
    }
}
