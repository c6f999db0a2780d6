// The helper's main loop: repeating timers and tasks posted from other threads, all run on the
// main thread; SIGTERM and SIGINT end it. A small loop over poll, since the helper has no
// application framework.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace korvane::router {

// Main-thread scheduling, as the delegate sees it.
class MainThread {
public:
    virtual ~MainThread() = default;
    // Runs `task` on the main thread soon. Any thread.
    virtual void post(std::function<void()> task) = 0;
    // Runs `tick` every `interval` on the main thread until the loop ends. Main thread only.
    virtual void scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> tick) = 0;
};

class MainLoop final : public MainThread {
public:
    // Blocks SIGTERM and SIGINT in the calling thread (and threads it starts later).
    // Errors: std::system_error when the signal or wake-up descriptor cannot be created.
    MainLoop();
    ~MainLoop() override;

    void post(std::function<void()> task) override;
    void scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> tick) override;

    // Runs timers and tasks until SIGTERM or SIGINT arrives, then returns. Main thread only.
    void run();

private:
    struct Timer {
        std::chrono::milliseconds interval;
        std::chrono::steady_clock::time_point due;
        std::function<void()> tick;
    };
    void runPosted();

    int wakeFd_ = -1;
    int signalFd_ = -1;
    std::vector<Timer> timers_;
    std::mutex postedMutex_;
    std::vector<std::function<void()>> posted_;
};

}  // namespace korvane::router
