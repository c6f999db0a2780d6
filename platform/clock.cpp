#include "platform/clock.h"

#include <chrono>
#include <cmath>
#include <thread>
#include <time.h>

namespace platform {

double SystemUptimeClock::uptime() const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

double SystemWallClock::secondsSinceReferenceDate() const {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count() - kUnixTimeOfReferenceDate;
}

void sleepFor(double seconds) {
    if (std::isfinite(seconds) && seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void ManualClock::advance(double seconds) {
    // Two clocks move together; a compare-exchange loop keeps concurrent advances additive.
    double up = uptime_.load(std::memory_order_relaxed);
    while (!uptime_.compare_exchange_weak(up, up + seconds, std::memory_order_relaxed)) {}
    double wall = wall_.load(std::memory_order_relaxed);
    while (!wall_.compare_exchange_weak(wall, wall + seconds, std::memory_order_relaxed)) {}
}

}  // namespace platform
