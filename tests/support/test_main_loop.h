// Test support: a real main loop for tests that run real processes. The test's own thread is the
// main thread: runUntil() runs posted tasks, delayed tasks and repeating timers on real time until
// a condition holds or a deadline passes, waiting in between for the next due time or a post.
#pragma once

#include "platform/main_thread.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace korvane::test {

class TestMainLoop final : public platform::MainThread {
public:
    using Clock = std::chrono::steady_clock;

    // Any thread.
    void post(std::function<void()> task) override {
        {
            std::lock_guard lock(mutex_);
            posted_.push_back(std::move(task));
        }
        wake_.notify_one();
    }
    std::shared_ptr<platform::ScheduledTask> postAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        return schedule(delay, std::chrono::milliseconds(0), std::move(task));
    }
    std::shared_ptr<platform::ScheduledTask> scheduleRepeating(std::chrono::milliseconds interval,
                                                               std::function<void()> tick) override {
        return schedule(interval, interval, std::move(tick));
    }

    // Returns: whether `done` held before `limit` passed.
    template <class Condition>
    bool runUntil(Condition done, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            runPosted();
            runDue();
            if (done()) return true;
            if (Clock::now() >= deadline) return false;
            std::unique_lock lock(mutex_);
            wake_.wait_until(lock, std::min(deadline, nextDue()), [&] { return !posted_.empty(); });
        }
    }

private:
    struct Entry final : platform::ScheduledTask {
        Clock::time_point due;
        std::chrono::milliseconds interval{0};
        std::function<void()> task;
        bool cancelled = false;
        void cancel() override { cancelled = true; }
    };

    std::shared_ptr<Entry> schedule(std::chrono::milliseconds delay, std::chrono::milliseconds interval,
                                    std::function<void()> task) {
        auto entry = std::make_shared<Entry>();
        entry->due = Clock::now() + delay;
        entry->interval = interval;
        entry->task = std::move(task);
        scheduled_.push_back(entry);
        return entry;
    }

    void runPosted() {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex_);
                if (posted_.empty()) return;
                task = std::move(posted_.front());
                posted_.pop_front();
            }
            task();
        }
    }

    void runDue() {
        const auto now = Clock::now();
        const auto due = scheduled_;  // a task may schedule or cancel others
        for (const auto& entry : due) {
            if (entry->cancelled || entry->due > now) continue;
            if (entry->interval.count() > 0)
                entry->due = std::max(entry->due + entry->interval, now);  // no catching up
            else
                entry->cancelled = true;
            entry->task();
            runPosted();
        }
        std::erase_if(scheduled_, [](const auto& entry) { return entry->cancelled; });
    }

    // Called with mutex_ held; scheduled_ is only touched on the main thread.
    Clock::time_point nextDue() const {
        auto next = Clock::time_point::max();
        for (const auto& entry : scheduled_)
            if (!entry->cancelled) next = std::min(next, entry->due);
        return next;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> posted_;
    std::vector<std::shared_ptr<Entry>> scheduled_;
};

}  // namespace korvane::test
