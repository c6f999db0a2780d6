// Renders KORVANE's brand mark to a PNG at build time: a dark brushed-metal tile carrying a "K"
// drawn as a signal route, one source splitting into two destinations (the DAW and the ears).
// Shapes only, no text, so it needs no fonts and no display.
//
// Usage: korvane_brand_mark OUTPUT.png [SIZE]
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr double kUnits = 100;  // drawn on a 100 × 100 grid, scaled to the size asked for

QPainterPath tile() {
    QPainterPath path;
    path.addRoundedRect(QRectF(4, 4, 92, 92), 21, 21);
    return path;
}

void paintTile(QPainter& painter) {
    QLinearGradient body(0, 4, 0, 96);
    body.setColorAt(0, QColor(0x3a, 0x3f, 0x47));
    body.setColorAt(0.5, QColor(0x24, 0x28, 0x2e));
    body.setColorAt(1, QColor(0x15, 0x17, 0x1b));
    painter.fillPath(tile(), body);

    // Brushed metal: faint horizontal strokes of varying brightness, from a fixed seed so every
    // build draws the same mark.
    painter.save();
    painter.setClipPath(tile());
    QRandomGenerator random(20261208);
    for (double y = 4; y < 96; y += 0.35) {
        const int shade = 110 + int(random.bounded(60));
        painter.setPen(QPen(QColor(shade, shade, shade + 8, 10 + int(random.bounded(14))), 0.18));
        painter.drawLine(QPointF(4, y), QPointF(96, y));
    }
    QRadialGradient sheen(QPointF(30, 18), 70);
    sheen.setColorAt(0, QColor(255, 255, 255, 38));
    sheen.setColorAt(1, QColor(255, 255, 255, 0));
    painter.fillRect(QRectF(0, 0, 100, 100), sheen);
    painter.restore();

    painter.setPen(QPen(QColor(255, 255, 255, 46), 0.8));
    painter.drawPath(tile());
}

void paintRoute(QPainter& painter) {
    const QColor teal(0x3c, 0xd6, 0xc4);
    const QColor amber(0xff, 0xb4, 0x4c);
    const QPointF split(40, 50);

    // The stem: the source arriving as a short wave, then rising into the K's upright.
    QPainterPath stem;
    stem.moveTo(27, 24);
    stem.lineTo(27, 76);
    QPainterPath wave;
    wave.moveTo(12, 50);
    wave.cubicTo(15, 42, 18, 42, 20, 50);
    wave.cubicTo(22, 58, 25, 58, 27, 50);
    wave.lineTo(split);

    QPainterPath upper;  // to the DAW
    upper.moveTo(split);
    upper.cubicTo(52, 50, 58, 28, 74, 26);
    QPainterPath lower;  // to the ears
    lower.moveTo(split);
    lower.cubicTo(52, 50, 58, 72, 74, 74);

    auto stroke = [&painter](const QPainterPath& path, const QColor& colour, double width) {
        QColor glow = colour;
        glow.setAlpha(60);
        painter.setPen(QPen(glow, width + 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(path);
        painter.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPath(path);
    };
    stroke(wave, teal, 4.5);
    stroke(stem, QColor(0xe8, 0xea, 0xee), 7);
    stroke(upper, teal, 5.5);
    stroke(lower, amber, 5.5);

    auto node = [&painter](QPointF centre, const QColor& colour, double radius) {
        QRadialGradient fill(centre - QPointF(radius / 3, radius / 3), radius * 1.6);
        fill.setColorAt(0, colour.lighter(150));
        fill.setColorAt(1, colour.darker(130));
        painter.setPen(QPen(QColor(0, 0, 0, 90), 1));
        painter.setBrush(fill);
        painter.drawEllipse(centre, radius, radius);
    };
    node(split, QColor(0xe8, 0xea, 0xee), 5.5);
    node(QPointF(78, 25), teal, 6.5);
    node(QPointF(78, 75), amber, 6.5);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s OUTPUT.png [SIZE]\n", argv[0]);
        return 2;
    }
    const int size = argc == 3 ? std::atoi(argv[2]) : 512;
    if (size < 16 || size > 4096) {
        std::fprintf(stderr, "size must be 16 to 4096 pixels\n");
        return 2;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(size / kUnits, size / kUnits);
        paintTile(painter);
        paintRoute(painter);
    }
    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
