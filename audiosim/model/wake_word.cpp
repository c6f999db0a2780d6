#include "audiosim/model/wake_word.h"

#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace audiosim {

namespace {

long futex(const std::atomic<std::uint32_t>& word, int operation, std::uint32_t value, const timespec* timeout,
           std::uint32_t bits) {
    auto* address = const_cast<std::uint32_t*>(reinterpret_cast<const std::uint32_t*>(&word));
    return ::syscall(SYS_futex, address, operation | FUTEX_PRIVATE_FLAG, value, timeout, nullptr, bits);
}

}  // namespace

void WakeWord::wakeAll() { futex(word_, FUTEX_WAKE, INT32_MAX, nullptr, 0); }

void WakeWord::waitUntil(std::uint32_t expected, std::chrono::steady_clock::time_point deadline) const {
    // The steady clock is CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET takes as an absolute time.
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    if (since <= 0) return;
    const timespec at{time_t(since / 1'000'000'000), long(since % 1'000'000'000)};
    futex(word_, FUTEX_WAIT_BITSET, expected, &at, FUTEX_BITSET_MATCH_ANY);
}

void WakeWord::wait(std::uint32_t expected) const { futex(word_, FUTEX_WAIT, expected, nullptr, 0); }

}  // namespace audiosim
