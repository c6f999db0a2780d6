#include "audiosim/protocol/shared_cycle.h"

#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace audiosim {

void futexWake(std::atomic<std::uint32_t>& word) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, std::uint64_t timeoutNs) {
    timespec timeout{time_t(timeoutNs / 1'000'000'000u), long(timeoutNs % 1'000'000'000u)};
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT, expected,
              timeoutNs ? &timeout : nullptr, nullptr, 0);
}

std::uint64_t monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1'000'000'000u + std::uint64_t(now.tv_nsec);
}

}  // namespace audiosim
