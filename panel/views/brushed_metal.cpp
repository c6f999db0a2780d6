#include "panel/views/brushed_metal.h"

#include "panel/views/colors.h"

#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>

#include <random>

namespace korvane::views {

namespace {

// One tile of grain, made once per process: streaks of slightly lighter and darker lines, each
// a few hundred pixels long, so the tiling does not show.
const QPixmap& grainTile() {
    static const QPixmap tile = [] {
        constexpr int kWidth = 512, kHeight = 256;
        QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        std::mt19937 random(20260);  // fixed: the same grain on every run
        std::uniform_real_distribution<double> shade(-1.0, 1.0);
        std::uniform_int_distribution<int> length(60, 420);
        QPainter p(&image);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth;) {
                const int run = length(random);
                const double s = shade(random);
                const QColor colour = s > 0 ? QColor::fromRgbF(1, 1, 1, 0.022 * s) : QColor::fromRgbF(0, 0, 0, -0.05 * s);
                p.fillRect(QRect(x, y, run, 1), colour);
                x += run;
            }
        }
        return QPixmap::fromImage(image);
    }();
    return tile;
}

}  // namespace

BrushedMetal::BrushedMetal(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

void BrushedMetal::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    const QRect dirty = event->rect();
    p.fillRect(dirty, colors::windowBase());
    p.drawTiledPixmap(dirty, grainTile(), dirty.topLeft());
    QLinearGradient sheen(0, 0, 0, height());
    sheen.setColorAt(0.0, QColor::fromRgbF(1, 1, 1, 0.045));
    sheen.setColorAt(0.35, QColor::fromRgbF(1, 1, 1, 0.0));
    sheen.setColorAt(1.0, QColor::fromRgbF(0, 0, 0, 0.18));
    p.fillRect(dirty, sheen);
}

}  // namespace korvane::views
