#include "icevumeter.h"

#include "canvas24.h"

#include <QAccessible>
#include <QPainter>

#include <algorithm>

using namespace canvas24;

iceVUmeter::iceVUmeter(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    resize(32, 152);
}

void iceVUmeter::setblock(int value) {
    fblock = value;
    updatemeter();
}

void iceVUmeter::setvox(int value) {
    fvoxposition = value;
    updatemeter();
}

void iceVUmeter::updatemeter() {
    const int W = width();
    const int H = height();
    if (bm.size() != size())
        bm = makeImage(W, H, {});

    if (x() != oldx || y() != oldy || W != oldw || H != oldh) {
        bmp = makeImage(W, H, {});
        CopyParentImage(bmp);
        oldx = x();
        oldy = y();
        oldw = W;
        oldh = H;
    }
    copyRect(bm, 0, 0, bmp, 0, 0, W, H);

    fblock = H / 30;
    int n = 30;
    if (fblock <= 1) {
        fblock = 2;
        n = H / 2;
    }
    const int leftover = H - n * fblock;
    if (leftover > fblock)
        n += leftover / fblock;
    // A meter under 2 pixels high would have no blocks and divide by zero below.
    n = std::max(n, 1);
    m_blocks = n;

    const int u = 32768 / n + 1;
    const int left = fleft / u;
    const int right = fright / u;
    const int voxBlock = fvoxposition / u;
    lpeak = left > lpeak ? left : lpeak - 2;
    rpeak = right > rpeak ? right : rpeak - 2;

    const int d = W / 4;
    const int g = ((W - 3 * d) % 2 != 0) ? d - 1 : d;
    const int m = (W - g - 2 * d) / 2;
    const int leftX = m;
    const int rightX = m + d + g;
    const int rightEnd = W - m;

    if (isVisible()) {
        constexpr Rgb white{255, 255, 255};
        constexpr Rgb black{0, 0, 0};
        constexpr Rgb red{255, 0, 0};
        for (int i = 0; i < n; ++i) {
            Rgb l = i < lpeak ? white : black;
            Rgb r = i < rpeak ? white : black;
            if (fvoxactive && i == voxBlock)
                l = r = red;
            const int bottom = H - i * fblock;
            const int top = bottom - fblock / 2;
            fillRect(bm, leftX, top, leftX + d, bottom, l);
            fillRect(bm, rightX, top, rightEnd, bottom, r);
        }
    }
    // Only the blocks that changed: the moving edge of each bar.
    const QRect changed = takeChanges(bm, m_shown);
    if (!changed.isEmpty())
        update(changed);
    reportLevels();
}

int iceVUmeter::percent(int level) {
    return std::clamp((level * 100 + 16383) / 32767, 0, 100);
}

QString iceVUmeter::levelText() const {
    return QStringLiteral("Levels: left %1 %, right %2 %").arg(percent(fleft)).arg(percent(fright));
}

void iceVUmeter::reportLevels() {
    if (!QAccessible::isActive())
        return;
    // A change not told yet is told on a later update, which comes every 45 ms.
    if (m_reportedAt.isValid() && !m_reportedAt.hasExpired(ReportInterval))
        return;
    const QString text = levelText();
    if (text == m_reported)
        return;
    m_reported = text;
    m_reportedAt.start();
    QAccessibleEvent named(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&named);
    QAccessibleValueChangeEvent value(this, std::max(percent(fleft), percent(fright)));
    QAccessible::updateAccessibility(&value);
}

void iceVUmeter::CopyParentImage(QImage& target) {
    QWidget* parent = parentWidget();
    if (parent == nullptr)
        return;
    QPainter painter(&target);
    // The parent's own background and painting, without any of its children.
    parent->render(&painter, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
    // Then the siblings that come before the meter and overlap it, at their own places.
    for (QObject* object : parent->children()) {
        if (object == this)
            break;
        auto* sibling = qobject_cast<QWidget*>(object);
        if (sibling == nullptr || !sibling->isVisible() || sibling->isWindow() ||
            !sibling->geometry().intersects(geometry()))
            continue;
        sibling->render(&painter, sibling->pos() - pos(), QRegion(),
                        QWidget::DrawWindowBackground | QWidget::DrawChildren);
    }
}

void iceVUmeter::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.drawImage(0, 0, bm);
}
