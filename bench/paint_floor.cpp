// What a frame every 15 ms costs a bare Qt widgets program on this display, as the floor
// under the main window's spectrum: a window of the main window's size whose one opaque
// child of the analyser's size gets a new 24-bit picture and an update() every 15 ms, and
// nothing else (no sound, no analysis). gui_bench.py runs it beside orvanta and ffmpeg.
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QTimer>
#include <QWidget>

namespace {

class Picture : public QWidget {
public:
    explicit Picture(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_NoSystemBackground);
        setGeometry(16, 42, m_image.width(), m_image.height());
    }

    // Moving bars over a dark ground: every pixel may change, as under a fading trail.
    void nextFrame() {
        m_image.fill(QColor(35, 87, 131));
        for (int bar = 0; bar < 25; ++bar) {
            const int height = (m_frame * (bar + 3) + bar * 7) % m_image.height();
            for (int y = m_image.height() - height; y < m_image.height(); ++y) {
                uchar* line = m_image.scanLine(y);
                for (int x = 5 * bar + 1; x < 5 * bar + 5; ++x)
                    line[3 * x] = line[3 * x + 1] = line[3 * x + 2] = 230;
            }
        }
        ++m_frame;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawImage(0, 0, m_image);
    }

private:
    QImage m_image{127, 38, QImage::Format_RGB888};
    int m_frame = 0;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Paint floor"));
    window.resize(416, 241);
    Picture picture(&window);
    QTimer frames;
    frames.setInterval(15);
    QObject::connect(&frames, &QTimer::timeout, &picture, &Picture::nextFrame);
    window.show();
    frames.start();
    return app.exec();
}
