#include "controls/bmptimedisplay.h"
#include "controls/canvas24.h"
#include "controls/icebtn.h"
#include "controls/iceslider.h"
#include "controls/icevumeter.h"
#include "controls/trigger.h"

#include <QApplication>
#include <QEnterEvent>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include <vector>

using canvas24::makeImage;
using canvas24::pixel;
using canvas24::Rgb;

namespace {

void mouse(QWidget& w, QEvent::Type type, QPointF at, Qt::MouseButtons held) {
    QMouseEvent e(type, at, w.mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

void press(QWidget& w, QPointF at) {
    mouse(w, QEvent::MouseButtonPress, at, Qt::LeftButton);
}
void move(QWidget& w, QPointF at) {
    QMouseEvent e(QEvent::MouseMove, at, w.mapToGlobal(at), Qt::NoButton, Qt::LeftButton,
                  Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}
void release(QWidget& w, QPointF at) {
    mouse(w, QEvent::MouseButtonRelease, at, Qt::NoButton);
}

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

constexpr Rgb white{255, 255, 255};
constexpr Rgb black{0, 0, 0};
constexpr Rgb red{255, 0, 0};

} // namespace

TEST(LevelMeter, MainWindowMeterLayoutLevelsAndVoxMarker) {
    QWidget parent;
    parent.resize(60, 80);
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(10, 20, 30));
    parent.setPalette(palette);
    parent.setAutoFillBackground(true);
    iceVUmeter meter(&parent);
    meter.setGeometry(10, 10, 28, 61);
    parent.show();

    meter.setleftpos(32767);
    meter.setrightpos(0);
    meter.setvoxactive(true);
    meter.setvox(3000);
    EXPECT_EQ(meter.blockCount(), 30);
    EXPECT_EQ(meter.block(), 2);
    EXPECT_EQ(meter.leftPeak(), 29); // 32767 / 1093
    const QImage& bm = meter.picture();
    for (int i = 0; i < 30; ++i) {
        const int row = 61 - 2 * i - 1;
        const Rgb left = i == 2 ? red : (i < 29 ? white : black);
        const Rgb right = i == 2 ? red : black;
        for (int x = 4; x <= 10; ++x)
            EXPECT_EQ(pixel(bm, x, row), left) << i << " " << x;
        for (int x = 17; x <= 23; ++x)
            EXPECT_EQ(pixel(bm, x, row), right) << i << " " << x;
        // Between the blocks and beside the columns the snapshot of the parent shows.
        EXPECT_EQ(pixel(bm, 3, row), (Rgb{10, 20, 30}));
        EXPECT_EQ(pixel(bm, 11, row), (Rgb{10, 20, 30}));
        EXPECT_EQ(pixel(bm, 24, row), (Rgb{10, 20, 30}));
        EXPECT_EQ(pixel(bm, 5, row - 1), (Rgb{10, 20, 30}));
    }

    // An equal level does not hold the display: it alternates with 2 blocks less.
    std::vector<int> shown;
    for (int i = 0; i < 4; ++i) {
        meter.setvox(3000);
        shown.push_back(meter.leftPeak());
    }
    EXPECT_EQ(shown, (std::vector<int>{27, 29, 27, 29}));
    meter.setleftpos(0);
    shown.clear();
    for (int i = 0; i < 3; ++i) {
        meter.setvox(3000);
        shown.push_back(meter.leftPeak());
    }
    EXPECT_EQ(shown, (std::vector<int>{27, 25, 23}));

    // The taller meter has 5-pixel blocks of 2 rows.
    meter.setGeometry(10, 0, 32, 152);
    meter.setvox(0);
    EXPECT_EQ(meter.block(), 5);
    EXPECT_EQ(meter.blockCount(), 30);
    // A meter too small for one block still draws.
    meter.setGeometry(0, 0, 4, 1);
    meter.setvox(0);
    EXPECT_EQ(meter.blockCount(), 1);
}

TEST(ClockAndIndicator, GlyphStripCompositionAndHints) {
    constexpr int fw = 14;
    QImage strip = makeImage(10 * fw + fw * 2 / 5, 19, {});
    for (int g = 0; g <= 10; ++g)
        canvas24::fillRect(strip, g * fw, 0, g * fw + fw, 19,
                           {static_cast<std::uint8_t>(20 * g), 100, 50});
    Tbmptimedisplay clock;
    clock.setFontWidth(fw);
    clock.setFontHeight(19);
    clock.setFontBitmap(strip);
    clock.setText(QStringLiteral("00:00:00"));
    EXPECT_EQ(clock.width(), 94);
    clock.setText(QStringLiteral("1:05:30"));
    EXPECT_EQ(clock.width(), 80);
    EXPECT_EQ(clock.height(), 19);
    const QImage& picture = clock.picture();
    EXPECT_EQ(pixel(picture, 0, 5), (Rgb{20, 100, 50}));    // "1"
    EXPECT_EQ(pixel(picture, 14, 5), (Rgb{200, 100, 50}));  // ":" 5 pixels wide
    EXPECT_EQ(pixel(picture, 19, 5), (Rgb{0, 100, 50}));    // "0"
    EXPECT_EQ(pixel(picture, 33, 18), (Rgb{100, 100, 50})); // "5"
    EXPECT_EQ(pixel(picture, 79, 0), (Rgb{0, 100, 50}));    // the last "0"
    // A character without a glyph is black rather than read from outside the strip.
    clock.setText(QStringLiteral("1 2"));
    EXPECT_EQ(clock.width(), 3 * fw);
    EXPECT_EQ(pixel(clock.picture(), fw + 3, 3), black);

    TTrigger vox;
    EXPECT_EQ(vox.size(), QSize(23, 17));
    vox.setHint(QStringLiteral("VOX"));
    vox.setCheckedGlyph(makeImage(30, 12, white));
    EXPECT_EQ(vox.size(), QSize(30, 12));
    vox.setChecked(true);
    EXPECT_EQ(vox.toolTip(), QStringLiteral("VOX:ON"));
    EXPECT_EQ(vox.State(), cbChecked);
    vox.setChecked(false);
    EXPECT_EQ(vox.toolTip(), QStringLiteral("VOX:OFF"));
    EXPECT_FALSE(vox.Checked());
}

TEST(Slider, PixelMathsClampingTrackingAndDrag) {
    QWidget parent;
    parent.resize(300, 100);
    TIceSlider slider(&parent);
    slider.setImageThumb(makeImage(11, 11, white));
    parent.show();
    EXPECT_EQ(slider.size(), QSize(191, 11));
    EXPECT_DOUBLE_EQ(slider.difference(), 1.8);
    slider.setPosition(50);
    EXPECT_EQ(slider.thumbOrigin(), QPoint(90, 0));
    slider.setPosition(150);
    EXPECT_EQ(slider.Position(), 100);
    slider.setPosition(-5);
    EXPECT_EQ(slider.Position(), 0);

    int begins = 0, changes = 0, stops = 0;
    QObject::connect(&slider, &TIceSlider::OnBeginChange, [&] { ++begins; });
    QObject::connect(&slider, &TIceSlider::OnChanged, [&] { ++changes; });
    QObject::connect(&slider, &TIceSlider::OnStopChanged, [&] { ++stops; });
    press(slider, {50, 5});
    EXPECT_TRUE(slider.tracking());
    EXPECT_EQ(begins, 1);
    // While the user drags, setting the position only stores it: nothing is redrawn.
    QApplication::processEvents();
    PaintCounter counter;
    slider.installEventFilter(&counter);
    slider.setPosition(70);
    QApplication::processEvents();
    EXPECT_EQ(slider.Position(), 70);
    EXPECT_EQ(counter.paints, 0);
    slider.removeEventFilter(&counter);

    // Dragging: the pointer's x less half the thumb, in steps of 1.8 pixels.
    move(slider, {95, 5});
    EXPECT_EQ(slider.Position(), 50);
    EXPECT_EQ(changes, 1);
    // Once moving, the pointer may leave the thumb's rows.
    move(slider, {6, 40});
    EXPECT_EQ(slider.Position(), 1);
    // Within half a thumb of the left edge nothing changes: the drag ends at 1.
    move(slider, {2, 5});
    EXPECT_EQ(slider.Position(), 1);
    EXPECT_EQ(changes, 2);
    move(slider, {500, 5});
    EXPECT_EQ(slider.Position(), 100);
    release(slider, {500, 5});
    EXPECT_FALSE(slider.tracking());
    EXPECT_EQ(stops, 1);
    // Without a drag in progress, a move far below the thumb does nothing.
    press(slider, {50, 5});
    move(slider, {60, 40});
    EXPECT_EQ(slider.Position(), 100);
    release(slider, {60, 40});

    EXPECT_EQ(TIceSlider::confine({500, -3}, QRect(10, 20, 191, 11)), QPoint(200, 20));
    EXPECT_EQ(TIceSlider::confine({50, 25}, QRect(10, 20, 191, 11)), QPoint(50, 25));

    // The vertical volume slider: position 0 at the bottom; the size follows the ruler.
    TIceSlider volume(&parent);
    volume.setHorizontal(false);
    volume.setImageRuler(makeImage(29, 66, black));
    volume.setImageThumb(makeImage(29, 10, white));
    EXPECT_EQ(volume.size(), QSize(29, 66));
    EXPECT_DOUBLE_EQ(volume.difference(), 0.56);
    volume.setPosition(90);
    EXPECT_EQ(volume.thumbOrigin(), QPoint(0, 66 - 50 - 10));
    volume.setMaximum(0);
    EXPECT_EQ(volume.Maximum(), 1);
    EXPECT_EQ(volume.Position(), 1);
    // A thumb as wide as the control leaves no room; a drag then goes to the maximum.
    slider.setImageThumb(makeImage(191, 11, white));
    press(slider, {100, 5});
    move(slider, {150, 5});
    EXPECT_EQ(slider.Position(), 100);
    release(slider, {150, 5});
}

TEST(Button, FadeClickAndDisabledRule) {
    QWidget parent;
    TiceBtn button(&parent);
    button.setPic(makeImage(20, 10, red));
    button.setPicUp(makeImage(20, 10, Rgb{0, 255, 0}));
    button.setPicDown(makeImage(20, 10, Rgb{0, 0, 255}));
    EXPECT_EQ(button.size(), QSize(20, 10));
    parent.show();
    int clicks = 0;
    QObject::connect(&button, &TiceBtn::OnClick, [&] { ++clicks; });

    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&button, &enter);
    EXPECT_TRUE(button.fading());
    std::vector<int> alphas;
    while (button.fading()) {
        button.FadeStep();
        alphas.push_back(button.fadeAlpha());
    }
    ASSERT_EQ(alphas.size(), 16u);
    EXPECT_EQ(alphas[0], 16);
    EXPECT_EQ(alphas[14], 240);
    EXPECT_EQ(alphas[15], 254); // clamped, and the timer stops without drawing
    const Rgb shown = pixel(button.shown(), 3, 3);
    EXPECT_EQ(shown, (Rgb{(255 * 15 + 127) / 255, (255 * 240 + 127) / 255, 0}));

    press(button, {5, 5});
    EXPECT_EQ(pixel(button.shown(), 3, 3), (Rgb{0, 0, 255}));
    release(button, {5, 5});
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(pixel(button.shown(), 3, 3), (Rgb{0, 255, 0}));
    // A release outside the button is no click.
    press(button, {5, 5});
    release(button, {50, 5});
    EXPECT_EQ(clicks, 1);

    // Disabled: no click, but hovering still fades.
    button.setEnable(false);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    EXPECT_TRUE(button.fading());
    button.FadeStep();
    EXPECT_EQ(button.fadeAlpha(), 254 - 16);
    press(button, {5, 5});
    release(button, {5, 5});
    EXPECT_EQ(clicks, 1);
}

TEST(Canvas, TakeChangesBoundsTheDifferingPixelsAndCatchesUp) {
    using namespace canvas24;
    QImage shown;
    QImage now = makeImage(20, 10, {1, 2, 3});
    EXPECT_EQ(takeChanges(now, shown), now.rect()) << "nothing shown yet";
    EXPECT_TRUE(takeChanges(now, shown).isEmpty());
    setPixel(now, 19, 9, {1, 2, 4}); // the last byte of the last line
    setPixel(now, 4, 3, {0, 2, 3});  // the first byte of a pixel
    EXPECT_EQ(takeChanges(now, shown), QRect(QPoint(4, 3), QPoint(19, 9)));
    EXPECT_TRUE(takeChanges(now, shown).isEmpty());
    EXPECT_EQ(shown, now);
}

TEST(Canvas, BlendRoundsEveryPairOfValuesLikeTheDivision) {
    // Every source and target byte at several weights, against the plain rounded division.
    QImage source = makeImage(256, 256, {});
    QImage target = makeImage(256, 256, {});
    for (int y = 0; y < 256; ++y) {
        for (int x = 0; x < 256; ++x) {
            const auto s = static_cast<std::uint8_t>(x);
            const auto d = static_cast<std::uint8_t>(y);
            canvas24::setPixel(source, x, y, Rgb{s, s, s});
            canvas24::setPixel(target, x, y, Rgb{d, d, 255});
        }
    }
    for (const int alpha : {0, 1, 128, 200, 254, 255, 300}) {
        QImage blended = target.copy();
        canvas24::blend(blended, source, alpha);
        const int a = std::clamp(alpha, 0, 255);
        for (int y = 0; y < 256; ++y) {
            for (int x = 0; x < 256; ++x) {
                const Rgb p = pixel(blended, x, y);
                ASSERT_EQ(p.r, (x * a + y * (255 - a) + 127) / 255)
                    << alpha << " " << x << " " << y;
                ASSERT_EQ(p.b, (x * a + 255 * (255 - a) + 127) / 255) << alpha << " " << x;
            }
        }
    }
}
