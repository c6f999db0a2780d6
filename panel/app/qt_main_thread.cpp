#include "panel/app/qt_main_thread.h"

#include <QPointer>
#include <QTimer>

namespace korvane::app {
namespace {

class TimerTask final : public platform::ScheduledTask {
public:
    explicit TimerTask(QTimer* timer) : timer_(timer) {}
    // Main thread only, like the timer.
    void cancel() override {
        if (!timer_) return;
        timer_->stop();
        timer_->deleteLater();  // cancel() may run inside the timer's own tick
        timer_ = nullptr;
    }

private:
    QPointer<QTimer> timer_;
};

QTimer* newTimer(QObject* context, std::chrono::milliseconds interval, bool singleShot) {
    auto* timer = new QTimer(context);
    timer->setInterval(interval);
    timer->setSingleShot(singleShot);
    // Coarse timers may fire up to 5 % late; they let the system merge wake-ups, which matters for a
    // 20 Hz refresh that runs for the life of the program.
    timer->setTimerType(Qt::CoarseTimer);
    return timer;
}

}  // namespace

QtMainThread::QtMainThread() = default;
QtMainThread::~QtMainThread() = default;

void QtMainThread::post(std::function<void()> task) {
    // A queued call is delivered through the receiver's thread's event queue, whichever thread
    // posts it, and is dropped when the receiver is gone.
    QMetaObject::invokeMethod(&context_, std::move(task), Qt::QueuedConnection);
}

std::shared_ptr<platform::ScheduledTask> QtMainThread::postAfter(std::chrono::milliseconds delay,
                                                                 std::function<void()> task) {
    QTimer* timer = newTimer(&context_, delay, true);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, task = std::move(task)] {
        timer->deleteLater();
        task();
    });
    timer->start();
    return std::make_shared<TimerTask>(timer);
}

std::shared_ptr<platform::ScheduledTask> QtMainThread::scheduleRepeating(std::chrono::milliseconds interval,
                                                                         std::function<void()> tick) {
    QTimer* timer = newTimer(&context_, interval, false);
    QObject::connect(timer, &QTimer::timeout, timer, std::move(tick));
    timer->start();
    return std::make_shared<TimerTask>(timer);
}

}  // namespace korvane::app
