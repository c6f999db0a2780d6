// A 32-bit word that threads of one process wait on until it changes, and that another thread
// changes and wakes them with: how the clock thread sleeps without a lock, and how the control
// side waits for the clock thread's acknowledgement.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace audiosim {

class WakeWord {
public:
    explicit WakeWord(std::uint32_t value = 0) : word_(value) {}

    // Any thread; lock-free.
    std::uint32_t load(std::memory_order order = std::memory_order_acquire) const { return word_.load(order); }
    void store(std::uint32_t value, std::memory_order order = std::memory_order_release) { word_.store(value, order); }
    std::uint32_t fetchAdd(std::uint32_t value) { return word_.fetch_add(value, std::memory_order_acq_rel); }

    // Wakes every waiter: one system call.
    void wakeAll();
    // Sleeps while the word is `expected`, at most until `deadline` (of the steady clock). Returns
    // at once when the word already differs; may return early.
    void waitUntil(std::uint32_t expected, std::chrono::steady_clock::time_point deadline) const;
    // Sleeps while the word is `expected`; may return early.
    void wait(std::uint32_t expected) const;

private:
    std::atomic<std::uint32_t> word_;
    static_assert(sizeof(std::atomic<std::uint32_t>) == 4, "a futex is 32 bits");
};

}  // namespace audiosim
