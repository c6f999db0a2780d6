#include "panel/views/icons.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>
#include <numbers>

namespace korvane::views {

namespace {

// Glyphs are drawn into a 24 × 24 design box; the engine scales it to the requested size.
void drawGear(QPainter& p) {
    constexpr int kTeeth = 8;
    QPainterPath outline;
    for (int i = 0; i < kTeeth * 4; ++i) {
        const double angle = (i - 0.5) * std::numbers::pi / (kTeeth * 2);
        const double radius = (i % 4 < 2) ? 10.5 : 8.2;
        const QPointF point(12 + radius * std::cos(angle), 12 + radius * std::sin(angle));
        if (i == 0) outline.moveTo(point);
        else outline.lineTo(point);
    }
    outline.closeSubpath();
    outline.addEllipse(QPointF(12, 12), 3.6, 3.6);
    outline.setFillRule(Qt::OddEvenFill);
    p.drawPath(outline);
}

QPainterPath speakerBody() {
    QPainterPath body;
    body.moveTo(2.5, 9);
    body.lineTo(6.5, 9);
    body.lineTo(11.5, 4.5);
    body.lineTo(11.5, 19.5);
    body.lineTo(6.5, 15);
    body.lineTo(2.5, 15);
    body.closeSubpath();
    return body;
}

void strokeWith(QPainter& p, double width) {
    QPen pen(p.brush().color(), width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
}

void drawSpeakerWave(QPainter& p) {
    const QBrush fill = p.brush();
    p.drawPath(speakerBody());
    strokeWith(p, 1.8);
    p.drawArc(QRectF(9, 8, 8, 8), -50 * 16, 100 * 16);
    p.drawArc(QRectF(7.5, 4.5, 14, 15), -55 * 16, 110 * 16);
    p.setBrush(fill);
}

void drawSpeakerSlash(QPainter& p) {
    const QBrush fill = p.brush();
    p.drawPath(speakerBody());
    strokeWith(p, 1.9);
    p.drawLine(QPointF(15, 8.5), QPointF(21.5, 15.5));
    p.drawLine(QPointF(21.5, 8.5), QPointF(15, 15.5));
    p.setBrush(fill);
}

void drawWaveform(QPainter& p) {
    strokeWith(p, 2.0);
    const double heights[] = {4, 10, 16, 8, 13, 6, 3};
    for (int i = 0; i < 7; ++i) {
        const double x = 3 + i * 3;
        p.drawLine(QPointF(x, 12 - heights[i] / 2), QPointF(x, 12 + heights[i] / 2));
    }
}

void drawPlay(QPainter& p) {
    QPainterPath triangle;
    triangle.moveTo(6.5, 4);
    triangle.lineTo(20, 12);
    triangle.lineTo(6.5, 20);
    triangle.closeSubpath();
    p.drawPath(triangle);
}

void drawStop(QPainter& p) { p.drawRoundedRect(QRectF(5, 5, 14, 14), 2.5, 2.5); }

void drawCircleOutline(QPainter& p) {
    const QBrush fill = p.brush();
    strokeWith(p, 1.7);
    p.drawEllipse(QPointF(12, 12), 9.6, 9.6);
    p.setBrush(fill);
    p.setPen(Qt::NoPen);
}

void drawQuestionCircle(QPainter& p) {
    const QBrush fill = p.brush();
    drawCircleOutline(p);
    strokeWith(p, 2.0);
    QPainterPath hook;
    hook.moveTo(9.2, 9.6);
    hook.cubicTo(9.2, 6.2, 14.8, 6.2, 14.8, 9.4);
    hook.cubicTo(14.8, 11.6, 12, 11.8, 12, 14.2);
    p.drawPath(hook);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawEllipse(QPointF(12, 17.4), 1.3, 1.3);
}

void drawExclamation(QPainter& p) {
    p.drawRoundedRect(QRectF(10.8, 6, 2.4, 8.6), 1.2, 1.2);
    p.drawEllipse(QPointF(12, 17.6), 1.35, 1.35);
}

void drawExclamationCircle(QPainter& p) {
    drawCircleOutline(p);
    drawExclamation(p);
}

void drawExclamationCircleFill(QPainter& p) {
    QPainterPath path;
    path.addEllipse(QPointF(12, 12), 10.5, 10.5);
    QPainterPath mark;
    mark.addRoundedRect(QRectF(10.8, 5.8, 2.4, 8.8), 1.2, 1.2);
    mark.addEllipse(QPointF(12, 17.8), 1.4, 1.4);
    p.drawPath(path.subtracted(mark));
}

// Two diagonal arrows; `inward` points both heads at the centre.
void drawArrows(QPainter& p, bool inward) {
    const QBrush fill = p.brush();
    strokeWith(p, 1.9);
    const auto arrow = [&](QPointF tail, QPointF head) {
        p.drawLine(tail, head);
        const double dx = head.x() > tail.x() ? -1 : 1;
        const double dy = head.y() > tail.y() ? -1 : 1;
        p.drawLine(head, head + QPointF(dx * 5.5, 0));
        p.drawLine(head, head + QPointF(0, dy * 5.5));
    };
    if (inward) {
        arrow(QPointF(3.5, 3.5), QPointF(10, 10));
        arrow(QPointF(20.5, 20.5), QPointF(14, 14));
    } else {
        arrow(QPointF(10, 10), QPointF(3.5, 3.5));
        arrow(QPointF(14, 14), QPointF(20.5, 20.5));
    }
    p.setBrush(fill);
}

void drawSymbol(QPainter& p, Symbol symbol) {
    switch (symbol) {
        case Symbol::Gear: return drawGear(p);
        case Symbol::SpeakerWave: return drawSpeakerWave(p);
        case Symbol::SpeakerSlash: return drawSpeakerSlash(p);
        case Symbol::Waveform: return drawWaveform(p);
        case Symbol::Play: return drawPlay(p);
        case Symbol::Stop: return drawStop(p);
        case Symbol::QuestionCircle: return drawQuestionCircle(p);
        case Symbol::ExclamationCircle: return drawExclamationCircle(p);
        case Symbol::ExclamationCircleFill: return drawExclamationCircleFill(p);
        case Symbol::ArrowsInward: return drawArrows(p, true);
        case Symbol::ArrowsOutward: return drawArrows(p, false);
    }
}

class SymbolEngine final : public QIconEngine {
public:
    explicit SymbolEngine(Symbol symbol) : symbol_(symbol) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const double side = std::min(rect.width(), rect.height());
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->translate(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0);
        painter->scale(side / 24.0, side / 24.0);
        const double alpha = mode == QIcon::Disabled ? 0.32 : 0.92;
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor::fromRgbF(1, 1, 1, alpha));
        drawSymbol(*painter, symbol_);
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }

    QIconEngine* clone() const override { return new SymbolEngine(symbol_); }
    QString key() const override { return QStringLiteral("korvane-symbol"); }

private:
    Symbol symbol_;
};

}  // namespace

QIcon icon(Symbol symbol) { return QIcon(new SymbolEngine(symbol)); }

QPixmap tintedSymbol(Symbol symbol, QSize size, const QColor& color) {
    QPixmap pixmap = icon(symbol).pixmap(size);
    QPainter tint(&pixmap);
    tint.setCompositionMode(QPainter::CompositionMode_SourceIn);
    tint.fillRect(pixmap.rect(), color);
    return pixmap;
}

}  // namespace korvane::views
