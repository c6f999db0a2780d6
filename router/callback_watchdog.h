// CallbackWatchdog: tells a route whose callback counter stopped moving for 5 seconds.
#pragma once

#include <cstdint>
#include <optional>

namespace korvane::router {

struct CallbackWatchdog {
    static constexpr double kStallSeconds = 5.0;

    std::uint64_t previous = 0;          // the cycle count last seen
    std::optional<double> lastProgress;  // uptime when it was last seen to change; none = not armed

    void reset() { *this = CallbackWatchdog(); }

    // True when `cycles` has not moved for at least 5 s of uptime. A non-finite `now` changes
    // nothing; a moved count, the first call, or a clock that went backwards re-arms at `now`.
    bool isStalled(std::uint64_t cycles, double now);
};

}  // namespace korvane::router
