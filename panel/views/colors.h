// The panel's colours: those that carry meaning (level, clipping, state) exactly as the product
// defines them, and the few neutral tones the surfaces are built from.
#pragma once

#include <QColor>

namespace korvane::views::colors {

inline QColor rgb(double r, double g, double b, double alpha = 1.0) { return QColor::fromRgbF(r, g, b, alpha); }

inline QColor clipRed() { return rgb(0.96, 0.30, 0.34); }
inline QColor meterGreen() { return rgb(0.13, 0.68, 0.39); }
// The platform's standard orange, as its dark appearance draws it.
inline QColor orange() { return rgb(1.0, 0.62, 0.04); }
// The platform's standard green, as its dark appearance draws it.
inline QColor systemGreen() { return rgb(0.19, 0.82, 0.35); }
inline QColor unlitSegment() { return rgb(1, 1, 1, 0.10); }
inline QColor unlitLamp() { return rgb(1, 1, 1, 0.14); }
inline QColor secondaryText() { return rgb(1, 1, 1, 0.68); }
inline QColor primaryText() { return rgb(1, 1, 1, 0.92); }
inline QColor windowBase() { return rgb(0.105, 0.115, 0.13); }

// The knob's lit arc runs from the first shade at its minimum to the second at its maximum.
inline QColor knobArcStart() { return rgb(1.0, 0.49, 0.51); }
inline QColor knobArcEnd() { return rgb(0.57, 0.13, 0.17); }

}  // namespace korvane::views::colors
