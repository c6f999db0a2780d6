// ManualMainThread: a MainThread for tests, driven by a ManualClock. Nothing runs by itself: the
// test runs posted tasks with runPending() and moves time with advance(), which runs every timer
// and delayed task at its due time, in order, with the clock set to that time. It never sleeps.
#pragma once

#include "platform/clock.h"
#include "platform/main_thread.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace platform {

class ManualMainThread final : public MainThread {
public:
    explicit ManualMainThread(ManualClock& clock) : clock_(clock) {}
    ~ManualMainThread() override;

    // Any thread.
    void post(std::function<void()> task) override;
    // The test's thread (the "main thread").
    std::shared_ptr<ScheduledTask> postAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    std::shared_ptr<ScheduledTask> scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> tick) override;

    // Runs posted tasks, also those they post, until none is left. Returns how many ran.
    std::size_t runPending();
    // Moves the clock `seconds` ahead, running what falls due on the way (posted tasks first, and
    // again after each timer). A due time equal to the end is reached.
    void advance(double seconds);
    // Timers and delayed tasks not yet cancelled or run.
    std::size_t scheduledCount() const;
    std::size_t postedCount() const;

private:
    struct Entry;
    std::shared_ptr<Entry> schedule(double delay, double interval, std::function<void()> task);
    std::shared_ptr<Entry> nextDue(double until);

    ManualClock& clock_;
    mutable std::mutex postedMutex_;
    std::deque<std::function<void()>> posted_;
    std::vector<std::shared_ptr<Entry>> scheduled_;
    std::uint64_t nextSequence_ = 0;
};

}  // namespace platform
