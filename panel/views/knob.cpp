#include "panel/views/knob.h"

#include "panel/views/accessibility.h"
#include "panel/views/colors.h"

#include <QConicalGradient>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRadialGradient>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvane::views {

namespace {

double clampLevel(double level) { return std::clamp(level, 0.0, 1.0); }

// Qt's angles run counter-clockwise from three o'clock; the knob's run clockwise from twelve.
double qtDegrees(double knobDegrees) { return 90.0 - knobDegrees; }

}  // namespace

Knob::Knob(QWidget* parent) : QWidget(parent) {
    installAccessibility();
    setFixedSize(kSide, kSide);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::SizeVerCursor);
    setAccessibleName(QStringLiteral("Listening volume"));
}

void Knob::setLevel(double level) {
    if (!std::isfinite(level) || level == level_) return;
    level_ = level;
    update();
}

void Knob::setMuted(bool muted) {
    if (muted == muted_) return;
    muted_ = muted;
    update();
}

void Knob::step(double delta) { requestLevel(clampLevel(level_) + delta); }

void Knob::requestLevel(double level) {
    if (!std::isfinite(level)) return;
    emit levelRequested(clampLevel(level));
}

QString Knob::valueText() const {
    return QStringLiteral("%1 percent").arg(std::lround(clampLevel(level_) * 100));
}

double Knob::angleForLevel(double level) { return -135.0 + 270.0 * clampLevel(level); }

void Knob::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect()).adjusted(8, 8, -8, -8);
    paintRing(p, bounds);
    paintCap(p, bounds.adjusted(20, 20, -20, -20));
}

void Knob::paintRing(QPainter& p, const QRectF& ring) const {
    constexpr double kWidth = 8;
    const QRectF path = ring.adjusted(kWidth / 2, kWidth / 2, -kWidth / 2, -kWidth / 2);
    const double start = qtDegrees(-135);

    QPen track(colors::rgb(1, 1, 1, 0.09), kWidth, Qt::SolidLine, Qt::RoundCap);
    p.setPen(track);
    p.drawArc(path, int(start * 16), int(-270 * 16));

    const double level = clampLevel(level_);
    if (level > 0) {
        // Along the scale the shade runs from the first colour at −135° to the second at +135°;
        // the conical gradient turns counter-clockwise from its start, hence the reversed stops.
        QConicalGradient shade(path.center(), start);
        shade.setColorAt(0.0, colors::knobArcEnd());
        shade.setColorAt(0.25, colors::knobArcEnd());
        shade.setColorAt(1.0, colors::knobArcStart());
        QPen lit(QBrush(shade), kWidth, Qt::SolidLine, Qt::RoundCap);
        p.setOpacity(muted_ ? 0.4 : 1.0);
        p.setPen(lit);
        p.drawArc(path, int(start * 16), int(-270 * level * 16));
        p.setOpacity(1.0);
    }

    // Scale ticks at every tenth, just outside the ring.
    p.setPen(QPen(colors::rgb(1, 1, 1, 0.22), 1.2, Qt::SolidLine, Qt::RoundCap));
    const QPointF centre = ring.center();
    const double outer = ring.width() / 2 + 6;
    for (int i = 0; i <= 10; ++i) {
        const double radians = angleForLevel(i / 10.0) * std::numbers::pi / 180;
        const QPointF direction(std::sin(radians), -std::cos(radians));
        p.drawLine(centre + direction * (outer - 3), centre + direction * outer);
    }
}

void Knob::paintCap(QPainter& p, const QRectF& cap) const {
    QRadialGradient body(cap.center() - QPointF(0, cap.height() * 0.25), cap.width() * 0.75);
    body.setColorAt(0, colors::rgb(0.30, 0.31, 0.34));
    body.setColorAt(1, colors::rgb(0.12, 0.125, 0.14));
    p.setPen(QPen(colors::rgb(0, 0, 0, 0.6), 1));
    p.setBrush(body);
    p.drawEllipse(cap);
    p.setPen(QPen(colors::rgb(1, 1, 1, 0.10), 1));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(cap.adjusted(2, 2, -2, -2));

    const double radians = angleForLevel(level_) * std::numbers::pi / 180;
    const QPointF direction(std::sin(radians), -std::cos(radians));
    const double radius = cap.width() / 2;
    p.setPen(QPen(muted_ ? colors::secondaryText() : colors::rgb(1, 1, 1, 0.95), 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(cap.center() + direction * radius * 0.35, cap.center() + direction * radius * 0.82);

    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
        p.drawEllipse(cap.adjusted(-3, -3, 3, 3));
    }
}

void Knob::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    pressed_ = true;
    pressY_ = event->position().y();
    dragStart_.reset();
    event->accept();
}

void Knob::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_) return QWidget::mouseMoveEvent(event);
    // The start level is taken at the first change, so a click without movement changes nothing.
    if (!dragStart_) dragStart_ = clampLevel(level_);
    const double translation = event->position().y() - pressY_;  // downwards positive
    requestLevel(*dragStart_ - translation / kDragPixelsForFullRange);
    event->accept();
}

void Knob::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
    pressed_ = false;
    dragStart_.reset();
    event->accept();
}

void Knob::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Up:
        case Qt::Key_Right: step(kStep); break;
        case Qt::Key_Down:
        case Qt::Key_Left: step(-kStep); break;
        case Qt::Key_PageUp: step(kPageStep); break;
        case Qt::Key_PageDown: step(-kPageStep); break;
        case Qt::Key_Home: requestLevel(0); break;
        case Qt::Key_End: requestLevel(1); break;
        default: return QWidget::keyPressEvent(event);
    }
    event->accept();
}

void Knob::wheelEvent(QWheelEvent* event) {
    // A mouse wheel sends 120 per notch; a touchpad sends small deltas that add up to notches.
    wheelRemainder_ += event->angleDelta().y();
    const int notches = wheelRemainder_ / 120;
    wheelRemainder_ -= notches * 120;
    if (notches != 0) step(notches * kStep);
    event->accept();
}

}  // namespace korvane::views
