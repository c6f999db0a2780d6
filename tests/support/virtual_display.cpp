#include "tests/support/virtual_display.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace korvane::test {

using Clock = std::chrono::steady_clock;

VirtualDisplay::VirtualDisplay() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(ends[1], 3);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1280x1024x24",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ends[1]);
    std::string number;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd entry{ends[0], POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) continue;
        char buffer[16];
        const ssize_t count = ::read(ends[0], buffer, sizeof buffer);
        if (count <= 0) break;
        number.append(buffer, std::size_t(count));
    }
    ::close(ends[0]);
    if (number.find('\n') != std::string::npos) name_ = ":" + number.substr(0, number.find('\n'));
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

}  // namespace korvane::test
