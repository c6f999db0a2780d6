// platform::MainThread on the Qt event loop: posted tasks are queued calls, delayed tasks and
// repeating timers are QTimers owned by one context object on the main thread.
#pragma once

#include "platform/main_thread.h"

#include <QObject>

namespace korvane::app {

class QtMainThread final : public platform::MainThread {
public:
    // Create on the main thread, after the application object. Tasks and timers still pending when
    // this object goes never run.
    QtMainThread();
    ~QtMainThread() override;

    void post(std::function<void()> task) override;  // Any thread.
    std::shared_ptr<platform::ScheduledTask> postAfter(std::chrono::milliseconds delay,
                                                       std::function<void()> task) override;
    std::shared_ptr<platform::ScheduledTask> scheduleRepeating(std::chrono::milliseconds interval,
                                                               std::function<void()> tick) override;

private:
    QObject context_;  // lives in the main thread; its children are the timers
};

}  // namespace korvane::app
