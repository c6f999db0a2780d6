#include "platform/manual_main_thread.h"

#include <algorithm>

namespace platform {

namespace {
// Repeated intervals add up with rounding; a tick due within this of the end still runs.
constexpr double kDueTolerance = 1e-9;
}  // namespace

struct ManualMainThread::Entry final : ScheduledTask {
    double due = 0;
    double interval = 0;  // 0: runs once
    std::uint64_t sequence = 0;
    std::function<void()> task;
    bool cancelled = false;

    void cancel() override { cancelled = true; }
};

ManualMainThread::~ManualMainThread() {
    // Tasks may own objects whose destructors post or cancel; release them outside the lists.
    std::deque<std::function<void()>> posted;
    {
        std::lock_guard lock(postedMutex_);
        posted.swap(posted_);
    }
    auto scheduled = std::move(scheduled_);
    posted.clear();
    scheduled.clear();
}

void ManualMainThread::post(std::function<void()> task) {
    std::lock_guard lock(postedMutex_);
    posted_.push_back(std::move(task));
}

std::shared_ptr<ManualMainThread::Entry> ManualMainThread::schedule(double delay, double interval, std::function<void()> task) {
    auto entry = std::make_shared<Entry>();
    entry->due = clock_.uptime() + delay;
    entry->interval = interval;
    entry->sequence = nextSequence_++;
    entry->task = std::move(task);
    scheduled_.push_back(entry);
    return entry;
}

std::shared_ptr<ScheduledTask> ManualMainThread::postAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    return schedule(std::chrono::duration<double>(delay).count(), 0, std::move(task));
}

std::shared_ptr<ScheduledTask> ManualMainThread::scheduleRepeating(std::chrono::milliseconds interval,
                                                                   std::function<void()> tick) {
    const double seconds = std::chrono::duration<double>(interval).count();
    return schedule(seconds, seconds, std::move(tick));
}

std::size_t ManualMainThread::runPending() {
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(postedMutex_);
            if (posted_.empty()) return ran;
            task = std::move(posted_.front());
            posted_.pop_front();
        }
        task();
        ++ran;
    }
}

std::shared_ptr<ManualMainThread::Entry> ManualMainThread::nextDue(double until) {
    std::erase_if(scheduled_, [](const auto& entry) { return entry->cancelled; });
    std::shared_ptr<Entry> next;
    for (const auto& entry : scheduled_) {
        if (entry->due > until + kDueTolerance) continue;
        if (!next || entry->due < next->due || (entry->due == next->due && entry->sequence < next->sequence)) next = entry;
    }
    return next;
}

void ManualMainThread::advance(double seconds) {
    const double end = clock_.uptime() + seconds;
    runPending();
    while (const auto entry = nextDue(end)) {
        if (entry->due > clock_.uptime()) clock_.advance(entry->due - clock_.uptime());
        if (entry->interval > 0) {
            entry->due += entry->interval;
            entry->sequence = nextSequence_++;
        } else {
            entry->cancelled = true;  // ran; dropped from the list
        }
        // The entry stays alive while it runs, even if the task cancels it or drops its handle.
        const auto task = entry->task;
        task();
        runPending();
    }
    if (end > clock_.uptime()) clock_.advance(end - clock_.uptime());
    runPending();
}

std::size_t ManualMainThread::scheduledCount() const {
    return std::size_t(std::count_if(scheduled_.begin(), scheduled_.end(), [](const auto& e) { return !e->cancelled; }));
}

std::size_t ManualMainThread::postedCount() const {
    std::lock_guard lock(postedMutex_);
    return posted_.size();
}

}  // namespace platform
