// Clocks behind small interfaces, so that code measuring time can be driven by tests: a monotonic
// uptime clock, a wall clock, and a pause. ManualClock is the controllable implementation.
#pragma once

#include <atomic>
#include <functional>

namespace platform {

// Seconds since 2001-01-01 00:00:00 UTC, the reference date of the exchange files.
inline constexpr double kUnixTimeOfReferenceDate = 978307200.0;

// Any thread.
class UptimeClock {
public:
    virtual ~UptimeClock() = default;
    // Monotonic seconds since an arbitrary fixed point (boot on a real system).
    virtual double uptime() const = 0;
};

// Any thread.
class WallClock {
public:
    virtual ~WallClock() = default;
    // Seconds, with fraction, since 2001-01-01 00:00:00 UTC.
    virtual double secondsSinceReferenceDate() const = 0;
};

class SystemUptimeClock final : public UptimeClock {
public:
    double uptime() const override;
};

class SystemWallClock final : public WallClock {
public:
    double secondsSinceReferenceDate() const override;
};

// Blocks the calling thread for about `seconds`.
using Pause = std::function<void(double seconds)>;
void sleepFor(double seconds);

// A clock that moves only when told to: both an uptime and a wall clock. Any thread.
class ManualClock final : public UptimeClock, public WallClock {
public:
    explicit ManualClock(double uptime = 1000.0, double wall = 800'000'000.0) : uptime_(uptime), wall_(wall) {}
    double uptime() const override { return uptime_.load(std::memory_order_relaxed); }
    double secondsSinceReferenceDate() const override { return wall_.load(std::memory_order_relaxed); }

    void advance(double seconds);
    void setUptime(double seconds) { uptime_.store(seconds, std::memory_order_relaxed); }
    void setWall(double seconds) { wall_.store(seconds, std::memory_order_relaxed); }
    // A pause that advances this clock instead of sleeping.
    Pause pause() {
        return [this](double seconds) { advance(seconds); };
    }

private:
    std::atomic<double> uptime_;
    std::atomic<double> wall_;
};

}  // namespace platform
