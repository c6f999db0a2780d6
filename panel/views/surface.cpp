#include "panel/views/surface.h"

#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>

namespace korvane::views {

Surface::Surface(QWidget* parent) : QWidget(parent) {
    // Layouts set on a surface keep no margins of their own; this is the padding.
    setContentsMargins(kPadding, kPadding - 2, kPadding, kPadding);
}

void Surface::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.setClipRect(event->rect());
    p.setRenderHint(QPainter::Antialiasing);
    constexpr double kRadius = 12;
    const QRectF plate = QRectF(rect()).adjusted(1, 1, -1, -2);

    // A shadow one pixel below, then the plate, then a hairline of light along its upper edge.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor::fromRgbF(0, 0, 0, 0.35));
    p.drawRoundedRect(plate.translated(0, 1.5), kRadius, kRadius);

    QLinearGradient fill(plate.topLeft(), plate.bottomLeft());
    fill.setColorAt(0.0, QColor::fromRgbF(0.175, 0.185, 0.205, 0.92));
    fill.setColorAt(1.0, QColor::fromRgbF(0.125, 0.133, 0.15, 0.92));
    p.setBrush(fill);
    QLinearGradient edge(plate.topLeft(), plate.bottomLeft());
    edge.setColorAt(0.0, QColor::fromRgbF(1, 1, 1, 0.16));
    edge.setColorAt(0.5, QColor::fromRgbF(1, 1, 1, 0.05));
    edge.setColorAt(1.0, QColor::fromRgbF(1, 1, 1, 0.03));
    p.setPen(QPen(QBrush(edge), 1));
    p.drawRoundedRect(plate, kRadius, kRadius);
}

}  // namespace korvane::views
