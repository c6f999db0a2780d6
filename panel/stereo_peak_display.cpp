#include "panel/stereo_peak_display.h"

#include <cmath>

namespace korvane::panel {

void StereoPeakDisplay::update(std::span<const double> values, double now) {
    if (values.size() != kChannels || !std::isfinite(now)) return;
    for (std::size_t i = 0; i < kChannels; ++i) {
        const double v = std::isfinite(values[i]) && values[i] > 0 ? values[i] : 0.0;
        if (v >= kClipLevel) clipped[i] = true;
        if (peaks[i] > v && deadlines[i] > now) continue;  // a larger peak is still held
        peaks[i] = v;
        deadlines[i] = now + kHoldSeconds;
    }
}

}  // namespace korvane::panel
