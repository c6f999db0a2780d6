#include "panel/views/lamp.h"

#include "panel/views/accessibility.h"

#include <QAccessible>
#include <QPainter>

namespace korvane::views {

Lamp::Lamp(int side, QWidget* parent) : QWidget(parent), color_(QColor::fromRgbF(1, 1, 1, 0.14)) {
    installAccessibility();
    setFixedSize(side, side);
}

void Lamp::setColor(const QColor& color) {
    if (color == color_) return;
    color_ = color;
    update();
}

void Lamp::setValueText(const QString& text) {
    if (text == valueText_) return;
    valueText_ = text;
    QAccessibleValueChangeEvent event(this, text);
    QAccessible::updateAccessibility(&event);
}

void Lamp::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(color_);
    p.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

}  // namespace korvane::views
