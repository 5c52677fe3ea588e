#include "skinpainter.h"

#include "controls/skin.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {

const QColor kBack = skin::backColour();
const QColor kFore = skin::foreColour();
const QColor kPanel(22, 30, 41);
const QColor kAccent(88, 176, 255);

QImage canvas(int w, int h, const QColor& fill = Qt::transparent) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    return image;
}

QImage opaque(const QImage& image) {
    return image.convertToFormat(QImage::Format_RGB888);
}

QImage background() {
    QImage image = canvas(416, 241, skin::transparentColour());
    QPainter p(&image);
    // The body's edge is drawn without smoothing, so that no pixel mixes the see-through
    // colour into the frame.
    QLinearGradient body(0, 0, 0, 241);
    body.setColorAt(0, QColor(44, 56, 72));
    body.setColorAt(1, QColor(20, 26, 36));
    p.setPen(QPen(QColor(70, 90, 115), 1));
    p.setBrush(body);
    p.drawRoundedRect(QRect(0, 0, 415, 240), 12, 12);
    p.setRenderHint(QPainter::Antialiasing);
    // Title strip and the recessed display panel.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 14));
    p.drawRoundedRect(QRectF(6, 6, 404, 22), 8, 8);
    p.setPen(QPen(QColor(10, 14, 20), 1));
    p.setBrush(kPanel);
    p.drawRoundedRect(QRectF(10.5, 34.5, 395, 78), 6, 6);
    p.setPen(kFore);
    QFont font(QStringLiteral("DejaVu Sans"), 9, QFont::Bold);
    p.setFont(font);
    p.drawText(QRectF(16, 6, 200, 22), Qt::AlignVCenter, QStringLiteral("ORVANTA"));
    p.setPen(QColor(kFore.red(), kFore.green(), kFore.blue(), 120));
    p.setFont(QFont(QStringLiteral("DejaVu Sans"), 7));
    p.drawText(QRectF(16, 96, 127, 14), Qt::AlignLeft, QStringLiteral("SPECTRUM"));
    p.drawText(QRectF(160, 96, 94, 14), Qt::AlignLeft, QStringLiteral("ELAPSED"));
    p.drawText(QRectF(300, 96, 60, 14), Qt::AlignLeft, QStringLiteral("LEVEL"));
    // Grooves under the position slider and beside the volume.
    p.setPen(QPen(QColor(255, 255, 255, 20), 1));
    p.drawLine(QPointF(12, 140.5), QPointF(404, 140.5));
    p.end();
    // The corners outside the rounded body keep the exact see-through colour.
    return opaque(image);
}

QImage spectrumBack() {
    QImage image = canvas(127, 38, kBack);
    QPainter p(&image);
    p.setPen(QColor(255, 255, 255, 18));
    for (int y = 4; y < 38; y += 6)
        p.drawLine(0, y, 126, y);
    p.end();
    return opaque(image);
}

QImage spectrumBar() {
    QImage image = canvas(4, 38);
    QPainter p(&image);
    QLinearGradient g(0, 0, 0, 38);
    g.setColorAt(0, QColor(255, 255, 255));
    g.setColorAt(0.35, kFore);
    g.setColorAt(1, kAccent.darker(140));
    p.fillRect(0, 0, 4, 38, g);
    p.setPen(QColor(0, 0, 0, 60));
    for (int y = 1; y < 38; y += 2)
        p.drawLine(0, y, 3, y);
    p.end();
    return opaque(image);
}

QImage digits() {
    constexpr int fw = 14;
    QImage image = canvas(10 * fw + fw * 2 / 5, 19, kPanel);
    QPainter p(&image);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont font(QStringLiteral("DejaVu Sans Mono"), 1, QFont::Bold);
    font.setPixelSize(18);
    p.setFont(font);
    p.setPen(kFore);
    for (int d = 0; d < 10; ++d)
        p.drawText(QRect(d * fw, 0, fw, 19), Qt::AlignCenter, QString::number(d));
    p.setPen(Qt::NoPen);
    p.setBrush(kAccent);
    p.drawRect(10 * fw + 2, 5, 2, 2);
    p.drawRect(10 * fw + 2, 12, 2, 2);
    p.end();
    return opaque(image);
}

QImage indicator(const QString& text, bool on) {
    QImage image = canvas(34, 13, kPanel);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(on ? kAccent : QColor(70, 85, 105), 1));
    p.setBrush(on ? QColor(kAccent.red(), kAccent.green(), kAccent.blue(), 70) : Qt::transparent);
    p.drawRoundedRect(QRectF(0.5, 0.5, 33, 12), 6, 6);
    QFont font(QStringLiteral("DejaVu Sans"), 1, QFont::Bold);
    font.setPixelSize(8);
    p.setFont(font);
    p.setPen(on ? QColor(Qt::white) : QColor(90, 105, 125));
    p.drawText(QRect(0, 0, 34, 13), Qt::AlignCenter, text);
    p.end();
    return opaque(image);
}

QImage ruler(int w, int h, bool horizontal) {
    QImage image = canvas(w, h, QColor(28, 36, 48));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(8, 12, 18), 1));
    p.setBrush(QColor(12, 17, 25));
    if (horizontal)
        p.drawRoundedRect(QRectF(2.5, h / 2.0 - 2, w - 5, 4), 2, 2);
    else
        p.drawRoundedRect(QRectF(w / 2.0 - 2, 2.5, 4, h - 5), 2, 2);
    p.end();
    return opaque(image);
}

QImage thumb(int w, int h) {
    QImage image = canvas(w, h, QColor(28, 36, 48));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, h);
    g.setColorAt(0, QColor(250, 252, 255));
    g.setColorAt(1, kFore.darker(125));
    p.setPen(QPen(QColor(10, 14, 20), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 3, 3);
    p.setPen(QPen(kAccent, 1));
    if (w < h)
        p.drawLine(QPointF(w / 2.0, 3), QPointF(w / 2.0, h - 3));
    else
        p.drawLine(QPointF(4, h / 2.0), QPointF(w - 4, h / 2.0));
    p.end();
    return opaque(image);
}

// The symbol of each button, drawn in a box of the given size.
void symbol(QPainter& p, const QString& name, const QRectF& r, const QColor& colour) {
    const QPointF c = r.center();
    const qreal s = std::min(r.width(), r.height()) * 0.3;
    p.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(colour);
    if (name == QLatin1String("start")) {
        p.setBrush(QColor(235, 70, 70));
        p.setPen(Qt::NoPen);
        p.drawEllipse(c, s, s);
    } else if (name == QLatin1String("stop")) {
        p.drawRect(QRectF(c.x() - s * 0.85, c.y() - s * 0.85, s * 1.7, s * 1.7));
    } else if (name == QLatin1String("pause")) {
        p.drawRect(QRectF(c.x() - s * 0.9, c.y() - s, s * 0.6, s * 2));
        p.drawRect(QRectF(c.x() + s * 0.3, c.y() - s, s * 0.6, s * 2));
    } else if (name == QLatin1String("play")) {
        QPolygonF tri{
            {c.x() - s * 0.7, c.y() - s}, {c.x() + s, c.y()}, {c.x() - s * 0.7, c.y() + s}};
        p.drawPolygon(tri);
    } else if (name == QLatin1String("folder")) {
        p.setBrush(Qt::NoBrush);
        QPainterPath path;
        path.moveTo(c.x() - s * 1.2, c.y() + s);
        path.lineTo(c.x() - s * 1.2, c.y() - s);
        path.lineTo(c.x() - s * 0.3, c.y() - s);
        path.lineTo(c.x(), c.y() - s * 0.6);
        path.lineTo(c.x() + s * 1.2, c.y() - s * 0.6);
        path.lineTo(c.x() + s * 1.2, c.y() + s);
        path.closeSubpath();
        p.drawPath(path);
    } else if (name == QLatin1String("scheduler")) {
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(c, s * 1.1, s * 1.1);
        p.drawLine(c, c + QPointF(0, -s * 0.7));
        p.drawLine(c, c + QPointF(s * 0.5, s * 0.2));
    } else if (name == QLatin1String("settings")) {
        p.setBrush(Qt::NoBrush);
        for (int i = 0; i < 3; ++i) {
            const qreal y = c.y() + (i - 1) * s * 0.8;
            p.drawLine(QPointF(c.x() - s * 1.1, y), QPointF(c.x() + s * 1.1, y));
            p.setBrush(colour);
            p.drawEllipse(QPointF(c.x() + (i - 1) * s * 0.6, y), 1.6, 1.6);
            p.setBrush(Qt::NoBrush);
        }
    } else if (name == QLatin1String("help")) {
        QFont font(QStringLiteral("DejaVu Sans"), 1, QFont::Bold);
        font.setPixelSize(static_cast<int>(s * 2.6));
        p.setFont(font);
        p.drawText(r, Qt::AlignCenter, QStringLiteral("?"));
    } else if (name == QLatin1String("minimise")) {
        p.drawLine(QPointF(c.x() - s, c.y() + s * 0.6), QPointF(c.x() + s, c.y() + s * 0.6));
    } else if (name == QLatin1String("exit")) {
        p.drawLine(c + QPointF(-s, -s), c + QPointF(s, s));
        p.drawLine(c + QPointF(-s, s), c + QPointF(s, -s));
    }
}

enum class Look { Normal, Highlighted, Pressed };

QImage button(const QString& name, QSize size, Look look) {
    QImage image = canvas(size.width(), size.height(), QColor(30, 39, 52));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, size.height());
    const QColor top = look == Look::Pressed ? QColor(24, 32, 44) : QColor(62, 78, 98);
    const QColor bottom = look == Look::Pressed ? QColor(40, 52, 68) : QColor(36, 46, 60);
    g.setColorAt(0, look == Look::Highlighted ? top.lighter(125) : top);
    g.setColorAt(1, look == Look::Highlighted ? bottom.lighter(120) : bottom);
    p.setPen(QPen(look == Look::Highlighted ? kAccent : QColor(12, 16, 22), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0.5, 0.5, size.width() - 1, size.height() - 1), 5, 5);
    const QColor ink = look == Look::Highlighted ? QColor(Qt::white) : kFore;
    QRectF box(0, 0, size.width(), size.height());
    if (look == Look::Pressed)
        box.translate(0, 1);
    symbol(p, name, box, ink);
    p.end();
    return opaque(image);
}

QSize buttonSize(const QString& name) {
    static const QStringList transport{"start", "stop", "pause", "play"};
    static const QStringList tools{"folder", "scheduler", "settings", "help"};
    if (transport.contains(name))
        return {44, 30};
    if (tools.contains(name))
        return {30, 22};
    return {16, 16};
}

} // namespace

QMap<QString, QImage> paintSkin() {
    QMap<QString, QImage> pictures;
    pictures[QStringLiteral("background.png")] = background();
    pictures[QStringLiteral("spectrum_back.png")] = spectrumBack();
    pictures[QStringLiteral("spectrum_bar.png")] = spectrumBar();
    pictures[QStringLiteral("digits.png")] = digits();
    pictures[QStringLiteral("vox_on.png")] = indicator(QStringLiteral("VOX"), true);
    pictures[QStringLiteral("vox_off.png")] = indicator(QStringLiteral("VOX"), false);
    pictures[QStringLiteral("timer_on.png")] = indicator(QStringLiteral("TIMER"), true);
    pictures[QStringLiteral("timer_off.png")] = indicator(QStringLiteral("TIMER"), false);
    pictures[QStringLiteral("slider_ruler_h.png")] = ruler(350, 15, true);
    pictures[QStringLiteral("slider_thumb_h.png")] = thumb(11, 15);
    pictures[QStringLiteral("slider_ruler_v.png")] = ruler(29, 66, false);
    pictures[QStringLiteral("slider_thumb_v.png")] = thumb(21, 10);
    for (const char* raw : skin::kButtons) {
        const QString name = QString::fromLatin1(raw);
        const QSize size = buttonSize(name);
        pictures[name + QStringLiteral(".png")] = button(name, size, Look::Normal);
        pictures[name + QStringLiteral("_up.png")] = button(name, size, Look::Highlighted);
        pictures[name + QStringLiteral("_down.png")] = button(name, size, Look::Pressed);
    }
    return pictures;
}
