#include "router/callback_watchdog.h"

#include <cmath>

namespace korvane::router {

bool CallbackWatchdog::isStalled(std::uint64_t cycles, double now) {
    if (!std::isfinite(now)) return false;
    if (lastProgress && cycles == previous && now >= *lastProgress) return now - *lastProgress >= kStallSeconds;
    previous = cycles;
    lastProgress = now;
    return false;
}

}  // namespace korvane::router
