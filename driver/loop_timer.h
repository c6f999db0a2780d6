// Small helpers for the driver's timers on a connection's main loop.
#pragma once

#include <pipewire/pipewire.h>

namespace korvane::driver {

inline pw_loop* mainLoopOf(pw_core* core) { return pw_context_get_main_loop(pw_core_get_context(core)); }

// Fires `timer` once after `nanoseconds` (at least 1, so that 0 means "as soon as the loop runs"),
// or every `period` nanoseconds when one is given. Main loop.
inline void armTimer(pw_loop* loop, spa_source* timer, long nanoseconds, long period = 0) {
    timespec value{nanoseconds / 1'000'000'000, nanoseconds % 1'000'000'000};
    if (value.tv_sec == 0 && value.tv_nsec == 0) value.tv_nsec = 1;
    timespec interval{period / 1'000'000'000, period % 1'000'000'000};
    pw_loop_update_timer(loop, timer, &value, period > 0 ? &interval : nullptr, false);
}

// Stops `timer` from firing. Main loop.
inline void disarmTimer(pw_loop* loop, spa_source* timer) { pw_loop_update_timer(loop, timer, nullptr, nullptr, false); }

}  // namespace korvane::driver
