// StereoPeakDisplay: the held peak of each of the virtual device's four level channels (input
// left/right before the gain, DAW send left/right after it), with clip flags kept until reset.
// A plain value.
#pragma once

#include <array>
#include <span>

namespace korvane::panel {

struct StereoPeakDisplay {
    static constexpr std::size_t kChannels = 4;
    static constexpr double kHoldSeconds = 2.0;
    static constexpr double kClipLevel = 1.0;  // linear, 0 dBFS

    std::array<double, kChannels> peaks{};      // linear
    std::array<bool, kChannels> clipped{};      // reached kClipLevel since the last reset
    std::array<double, kChannels> deadlines{};  // uptime seconds until which a peak is held

    // Effects: with exactly four levels and a finite `now` (uptime seconds), marks levels ≥ 1.0 as
    // clipped and, per channel, replaces the held peak by the level unless a larger peak is still
    // held; a replaced peak is held for two seconds. A non-finite or negative level counts as 0.
    // Anything else changes nothing.
    void update(std::span<const double> values, double now);
    void reset() { *this = StereoPeakDisplay{}; }

    friend bool operator==(const StereoPeakDisplay&, const StereoPeakDisplay&) = default;
};

}  // namespace korvane::panel
