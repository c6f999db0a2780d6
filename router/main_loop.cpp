#include "router/main_loop.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <system_error>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace korvane::router {

MainLoop::MainLoop() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // Without either the loop could never end or never run a posted task: the quit signals are
    // blocked, so a failure here would leave a helper that ignores SIGTERM.
    signalFd_ = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd_ < 0) throw std::system_error(errno, std::generic_category(), "Cannot watch for SIGTERM and SIGINT");
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        const int failure = errno;
        ::close(signalFd_);
        throw std::system_error(failure, std::generic_category(), "Cannot create the main loop's wake-up");
    }
}

MainLoop::~MainLoop() {
    ::close(wakeFd_);
    ::close(signalFd_);
}

void MainLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
}

void MainLoop::scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> tick) {
    timers_.push_back({interval, std::chrono::steady_clock::now() + interval, std::move(tick)});
}

void MainLoop::runPosted() {
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard lock(postedMutex_);
        tasks.swap(posted_);
    }
    for (auto& task : tasks) task();
}

void MainLoop::run() {
    for (;;) {
        int timeout = -1;
        const auto now = std::chrono::steady_clock::now();
        for (const auto& timer : timers_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timer.due - now).count() + 1;
            timeout = timeout < 0 ? int(std::max<long long>(left, 0)) : std::min(timeout, int(std::max<long long>(left, 0)));
        }
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) return;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
        }
        runPosted();
        // A tick that ran late is not repeated to catch up: the next is due one interval later.
        for (std::size_t i = 0; i < timers_.size(); ++i) {
            auto& timer = timers_[i];
            if (std::chrono::steady_clock::now() < timer.due) continue;
            timer.due += timer.interval;
            if (const auto now = std::chrono::steady_clock::now(); timer.due <= now) timer.due = now + timer.interval;
            auto tick = timer.tick;
            tick();
        }
    }
}

}  // namespace korvane::router
