#include "panel/views/meter_bar.h"

#include "panel/views/accessibility.h"
#include "panel/views/colors.h"

#include <QAccessible>
#include <QPainter>

#include <cmath>

namespace korvane::views {

namespace {
constexpr double kGap = 2;
constexpr int kHeight = 10;
}  // namespace

MeterBar::MeterBar(QWidget* parent) : QWidget(parent) {
    installAccessibility();
    setFixedHeight(kHeight);
    setMinimumWidth(kSegments * 3 + (kSegments - 1) * int(kGap));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

bool MeterBar::isLit(int segment, double fraction) {
    return static_cast<double>(segment) / kSegments < fraction;
}

QColor MeterBar::segmentColor(int segment, bool lit) {
    if (!lit) return colors::unlitSegment();
    if (segment >= kFirstRed) return colors::clipRed();
    if (segment >= kFirstOrange) return colors::orange();
    return colors::meterGreen();
}

QRectF MeterBar::segmentRect(int segment) const {
    const double width = (this->width() - (kSegments - 1) * kGap) / kSegments;
    return {segment * (width + kGap), 0, width, double(height())};
}

void MeterBar::setReading(double fraction, const QString& valueText) {
    if (!std::isfinite(fraction)) fraction = 0;
    int lit = 0;
    while (lit < kSegments && isLit(lit, fraction)) ++lit;
    if (valueText != valueText_) {
        valueText_ = valueText;
        QAccessibleValueChangeEvent event(this, valueText);
        QAccessible::updateAccessibility(&event);
    }
    fraction_ = fraction;
    // Only a change in the lit segments changes the picture.
    if (lit == lit_) return;
    lit_ = lit;
    update();
}

void MeterBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < kSegments; ++i) p.fillRect(segmentRect(i), segmentColor(i, i < lit_));
}

}  // namespace korvane::views
