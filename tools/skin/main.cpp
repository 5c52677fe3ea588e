// Draws the skin's pictures, and shows all controls assembled on them, fed by a generated
// signal, in a window or rendered offscreen to a file.
#include "skinpainter.h"

#include "controls/bmptimedisplay.h"
#include "controls/icebtn.h"
#include "controls/iceslider.h"
#include "controls/icevumeter.h"
#include "controls/skin.h"
#include "controls/spectrumdisplay.h"
#include "controls/trigger.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

// A board with the skin's background and every control on it, as the main window lays them
// out. It draws from pictures given to it, so it works with freshly drawn ones too.
class Board : public QWidget {
public:
    explicit Board(const QMap<QString, QImage>& pictures) : m_pictures(pictures) {
        setFixedSize(416, 241);
        m_background = pictures.value(QStringLiteral("background.png"));

        m_spectrum = new TSpectrumDisplay(this);
        m_spectrum->setGeometry(16, 42, 127, 38);
        m_spectrum->setbackcolor(skin::backColour());
        m_spectrum->setforecolor(skin::foreColour());
        m_spectrum->setbackground(pic("spectrum_back.png"));
        m_spectrum->setslider(pic("spectrum_bar.png"));
        m_spectrum->SwitchVisual(vmFFT);

        m_clock = new Tbmptimedisplay(this);
        m_clock->move(160, 50);
        m_clock->setFontWidth(14);
        m_clock->setFontHeight(19);
        m_clock->setFontBitmap(pic("digits.png"));
        m_clock->setText(QStringLiteral("00:00:00"));

        m_vox = new TTrigger(this);
        m_vox->move(160, 76);
        m_vox->setHint(QStringLiteral("VOX"));
        m_vox->setUncheckedGlyph(pic("vox_off.png"));
        m_vox->setCheckedGlyph(pic("vox_on.png"));
        m_vox->setChecked(true);
        m_timer = new TTrigger(this);
        m_timer->move(198, 76);
        m_timer->setHint(QStringLiteral("Timer"));
        m_timer->setUncheckedGlyph(pic("timer_off.png"));
        m_timer->setCheckedGlyph(pic("timer_on.png"));
        m_timer->setChecked(false);

        m_meter = new iceVUmeter(this);
        m_meter->setGeometry(300, 40, 28, 61);

        m_volume = new TIceSlider(this);
        m_volume->setHorizontal(false);
        m_volume->move(364, 38);
        m_volume->setImageRuler(pic("slider_ruler_v.png"));
        m_volume->setImageThumb(pic("slider_thumb_v.png"));
        m_volume->setPosition(90);

        m_position = new TIceSlider(this);
        m_position->move(33, 122);
        m_position->setImageRuler(pic("slider_ruler_h.png"));
        m_position->setImageThumb(pic("slider_thumb_h.png"));

        int x = 16;
        for (const char* raw : skin::kButtons) {
            const QString name = QString::fromLatin1(raw);
            auto* button = new TiceBtn(this);
            button->setPic(pic(name + ".png"));
            button->setPicUp(pic(name + "_up.png"));
            button->setPicDown(pic(name + "_down.png"));
            if (name == QLatin1String("minimise") || name == QLatin1String("exit")) {
                button->move(name == QLatin1String("exit") ? 390 : 370, 9);
                continue;
            }
            button->move(x, button->height() > 24 ? 160 : 164);
            x += button->width() + (button->height() > 24 ? 6 : 8);
            if (name == QLatin1String("play"))
                x += 24;
            if (name == QLatin1String("stop"))
                button->setEnable(false);
        }
        m_block.resize(668 * 2);
    }

    // One tick of the 15 ms display timer, with two drifting tones and some noise.
    void tick() {
        ++m_tick;
        const double f1 = 600 + 500 * std::sin(m_tick * 0.05);
        const double f2 = 4000 + 2500 * std::sin(m_tick * 0.021);
        const double loud = 0.5 + 0.45 * std::sin(m_tick * 0.13);
        std::int16_t peakL = 0, peakR = 0;
        for (size_t i = 0; i < m_block.size() / 2; ++i) {
            const double t = (m_sample++) / 44100.0;
            const double v = loud * (0.5 * std::sin(2 * std::numbers::pi * f1 * t) +
                                     0.25 * std::sin(2 * std::numbers::pi * f2 * t));
            const auto l = static_cast<std::int16_t>(v * 32000);
            const auto r = static_cast<std::int16_t>(v * 26000);
            m_block[2 * i] = l;
            m_block[2 * i + 1] = r;
            peakL = std::max<std::int16_t>(peakL, static_cast<std::int16_t>(std::abs(l)));
            peakR = std::max<std::int16_t>(peakR, static_cast<std::int16_t>(std::abs(r)));
        }
        m_spectrum->event(m_block.data(), static_cast<int>(m_block.size() * 2), 15, 44100, 2, 16,
                          false);
        if (m_tick % 3 == 0) {
            m_meter->setleftpos(peakL);
            m_meter->setrightpos(peakR);
            m_meter->setvoxactive(true);
            m_meter->setvox(3000);
        }
        const int seconds = 3725 + m_tick * 15 / 1000;
        m_clock->setText(QStringLiteral("%1:%2:%3")
                             .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
                             .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                             .arg(seconds % 60, 2, 10, QLatin1Char('0')));
        m_position->setPosition(37 + m_tick / 200);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.drawImage(0, 0, m_background);
    }

private:
    QImage pic(const QString& name) const { return m_pictures.value(name); }

    QMap<QString, QImage> m_pictures;
    QImage m_background;
    TSpectrumDisplay* m_spectrum;
    Tbmptimedisplay* m_clock;
    TTrigger* m_vox;
    TTrigger* m_timer;
    iceVUmeter* m_meter;
    TIceSlider* m_volume;
    TIceSlider* m_position;
    std::vector<std::int16_t> m_block;
    int m_tick = 0;
    long m_sample = 0;
};

// The committed pictures when they are found, else freshly drawn ones.
QMap<QString, QImage> pictures() {
    QMap<QString, QImage> drawn = paintSkin();
    for (auto it = drawn.begin(); it != drawn.end(); ++it) {
        const QImage loaded = skin::load(it.key());
        if (!loaded.isNull())
            it.value() = loaded;
    }
    return drawn;
}

int usage() {
    std::fputs("usage: orvanta-skin draw <folder> | screenshot <file.png> | demo\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2)
        return usage();
    const QString command = args.at(1);
    if (command == QLatin1String("draw") && args.size() == 3) {
        const QDir folder(args.at(2));
        if (!folder.exists() && !QDir().mkpath(folder.path()))
            return 1;
        const QMap<QString, QImage> drawn = paintSkin();
        for (auto it = drawn.begin(); it != drawn.end(); ++it)
            if (!it.value().save(folder.filePath(it.key()))) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(folder.filePath(it.key())));
                return 1;
            }
        return 0;
    }
    if (command == QLatin1String("screenshot") && args.size() == 3) {
        Board board(pictures());
        board.show();
        for (int i = 0; i < 60; ++i)
            board.tick();
        QApplication::processEvents();
        return board.grab().save(args.at(2)) ? 0 : 1;
    }
    if (command == QLatin1String("demo")) {
        Board board(pictures());
        board.show();
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, &board, [&board] { board.tick(); });
        timer.start(15);
        return app.exec();
    }
    return usage();
}
