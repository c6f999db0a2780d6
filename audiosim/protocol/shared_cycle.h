// The shared memory of one remote I/O callback: the daemon writes a cycle's input and wakes the
// client's callback thread; the client writes the output and marks the cycle done. Both sides
// map the same memfd, which the daemon passes with the reply that registers the callback.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace audiosim {

inline constexpr std::uint32_t kMaxCycleBuffers = 32;
inline constexpr std::uint32_t kMaxCycleFrames = 8192;
inline constexpr std::uint32_t kMaxCycleChannels = 128;  // per direction, over all buffers

struct SharedCycle {
    // Futex words. The daemon increments `sequence` to start a cycle (release) and wakes the
    // client; the client stores the sequence it finished in `done` (release) after writing the
    // output. A cycle is outstanding while done != sequence.
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<std::uint32_t> done{0};
    std::atomic<std::uint32_t> shutdown{0};  // the callback is gone: the client thread exits
    std::uint32_t frames = 0;
    std::uint32_t inputBuffers = 0;
    std::uint32_t outputBuffers = 0;
    std::uint32_t inputChannels[kMaxCycleBuffers] = {};
    std::uint32_t outputChannels[kMaxCycleBuffers] = {};
    double sampleTime = 0;
    std::atomic<std::uint64_t> wakeTime{0};  // CLOCK_MONOTONIC ns when the daemon woke the client
    std::atomic<std::uint64_t> wakeLatencyTotal{0};  // ns, summed by the client (statistics)
};

inline constexpr std::size_t kCycleAreaBytes = std::size_t(kMaxCycleFrames) * kMaxCycleChannels * sizeof(float);
inline constexpr std::size_t kCycleInputOffset = 4096;
inline constexpr std::size_t kCycleOutputOffset = kCycleInputOffset + kCycleAreaBytes;
inline constexpr std::size_t kCycleMappingBytes = kCycleOutputOffset + kCycleAreaBytes;
static_assert(sizeof(SharedCycle) <= kCycleInputOffset);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free && std::atomic<std::uint64_t>::is_always_lock_free);

// Process-shared futex operations on a 32-bit atomic in shared memory.
void futexWake(std::atomic<std::uint32_t>& word);
// Waits while `word` equals `expected`, at most `timeoutNs` (0: no limit). Returns on a wake-up,
// a change, a timeout or a signal; the caller re-checks.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, std::uint64_t timeoutNs = 0);

std::uint64_t monotonicNanoseconds();

}  // namespace audiosim
