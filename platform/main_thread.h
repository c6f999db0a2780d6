// Main-thread scheduling behind a small interface: tasks posted from any thread, tasks run after a
// delay, and repeating timers. The panel's Qt program backs it with its event loop; tests drive
// ManualMainThread with a manual clock and never sleep.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace platform {

// A task or timer scheduled on the main thread. Main thread only.
class ScheduledTask {
public:
    virtual ~ScheduledTask() = default;
    // After cancel() returns, the task (or the timer's next tick) never runs. Idempotent.
    virtual void cancel() = 0;
};

class MainThread {
public:
    virtual ~MainThread() = default;
    // Runs `task` on the main thread soon, after the caller's current task. Any thread.
    virtual void post(std::function<void()> task) = 0;
    // Runs `task` once, on the main thread, `delay` from now. Main thread only.
    virtual std::shared_ptr<ScheduledTask> postAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
    // Runs `tick` every `interval` on the main thread until cancelled. A late tick is not repeated
    // to catch up. Main thread only.
    virtual std::shared_ptr<ScheduledTask> scheduleRepeating(std::chrono::milliseconds interval,
                                                             std::function<void()> tick) = 0;
};

}  // namespace platform
