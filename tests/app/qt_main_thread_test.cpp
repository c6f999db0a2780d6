// platform::MainThread on the Qt event loop: tasks posted from other threads run on the main
// thread in order, cancelled tasks never run (also when cancelled from inside their own tick), and
// nothing runs once the scheduler is gone.
#include "panel/app/qt_main_thread.h"
#include "tests/app/app_test_support.h"

#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <thread>

namespace korvane::test {
namespace {

using namespace std::chrono_literals;

TEST(QtMainThreadTest, PostsFromManyThreadsRunOnTheMainThreadInEachThreadsOrder) {
    EventLoop loop;
    app::QtMainThread mainThread;
    constexpr int kThreads = 4;
    constexpr int kTasks = 500;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<bool> offMainThread = false;
    QThread* main = QThread::currentThread();
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kTasks; ++i)
                mainThread.post([&, t, i] {
                    if (QThread::currentThread() != main) offMainThread = true;
                    seen[t].push_back(i);
                });
        });
    for (auto& poster : posters) poster.join();
    ASSERT_TRUE(loop.runUntil(
        [&] {
            for (const auto& list : seen)
                if (list.size() < kTasks) return false;
            return true;
        },
        "every posted task"));
    EXPECT_FALSE(offMainThread);
    for (const auto& list : seen)
        for (int i = 0; i < kTasks; ++i) ASSERT_EQ(list[i], i);
}

TEST(QtMainThreadTest, CancelledTasksAndTicksNeverRun) {
    EventLoop loop;
    app::QtMainThread mainThread;
    int delayedRuns = 0, cancelledRuns = 0, ticks = 0, sentinel = 0;
    mainThread.postAfter(30ms, [&] { ++delayedRuns; });
    mainThread.postAfter(10ms, [&] { ++cancelledRuns; })->cancel();
    std::shared_ptr<platform::ScheduledTask> repeating;
    repeating = mainThread.scheduleRepeating(5ms, [&] {
        if (++ticks == 3) repeating->cancel();  // from inside its own tick
    });
    auto afterEverything = mainThread.postAfter(120ms, [&] { ++sentinel; });
    ASSERT_TRUE(loop.runUntil([&] { return sentinel == 1; }, "the last task"));
    EXPECT_EQ(delayedRuns, 1);
    EXPECT_EQ(cancelledRuns, 0);
    EXPECT_EQ(ticks, 3);
    afterEverything->cancel();  // after it ran: harmless
}

TEST(QtMainThreadTest, NothingRunsAfterTheSchedulerIsGone) {
    EventLoop loop;
    int runs = 0, sentinel = 0;
    {
        app::QtMainThread mainThread;
        mainThread.post([&] { ++runs; });
        mainThread.postAfter(1ms, [&] { ++runs; });
        mainThread.scheduleRepeating(1ms, [&] { ++runs; });
    }
    app::QtMainThread later;
    later.postAfter(50ms, [&] { ++sentinel; });
    ASSERT_TRUE(loop.runUntil([&] { return sentinel == 1; }, "a later task"));
    EXPECT_EQ(runs, 0);
}

}  // namespace
}  // namespace korvane::test
