// The audio on its way from KORVANE's sink to its source: a single-producer, single-consumer FIFO
// of interleaved stereo frames between the two process callbacks. Each graph cycle the sink's
// callback pushes the block it received and the source's callback takes the frames that had
// arrived before that cycle, so every frame leaves exactly once, in order, one quantum after it
// came, whichever of the two the graph runs first and whether or not they run on one thread.
//
// The delay is whatever the FIFO held when a cycle began. It starts as one quantum; a longer
// quantum finds it short once, and the source fills the difference with silence (one run, no
// frame lost); a shorter quantum leaves it as it was while sound passes, since shortening it would
// drop frames. Only while nothing but digital silence has passed (since the start, or for a
// second) does the delay shrink back to one quantum, by skipping silent frames no one can miss.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

namespace korvane::driver {

class FrameFifo {
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<std::uint32_t>::is_always_lock_free);

public:
    static constexpr std::uint32_t kChannels = 2;

    // Main thread, while no callback runs. Holds at least `frames` frames (a power of two, at most
    // 2^31: indices wrap at 2^32).
    explicit FrameFifo(std::uint32_t frames)
        : capacity_(std::bit_ceil(std::max<std::uint32_t>(frames, 2))),
          samples_(std::make_unique<float[]>(std::size_t(capacity_) * kChannels)) {}

    std::uint32_t capacity() const { return capacity_; }

    // Producer (the sink's callback). Wait-free. Appends `frames` frames received in the graph
    // cycle `cycle` (a key of that cycle, from cycleKey(); kNoCycle when the graph gave none).
    // Frames that find no room are dropped and counted: that happens only when the source has
    // missed more cycles than the FIFO holds quanta for.
    void push(std::uint32_t cycle, const float* block, std::uint32_t frames) {
        const std::uint32_t write = write_;
        // The first push of a cycle says where that cycle began, before its frames count: a pop of
        // the same cycle takes nothing from there on, whatever it sees of the frames themselves.
        if (cycle != kNoCycle && cycle != pushCycle_) stamp_.store(pack(cycle, write), std::memory_order_release);
        pushCycle_ = cycle;
        const std::uint32_t read = read_.load(std::memory_order_acquire);
        const std::uint32_t room = capacity_ - (write - read);
        const std::uint32_t taken = std::min(frames, room);
        if (taken < frames) dropped_.fetch_add(frames - taken, std::memory_order_relaxed);
        copyIn(write, block, taken);
        write_ = write + taken;
        written_.store(write_, std::memory_order_release);  // publishes the frames
    }

    // Consumer (the source's callback). Wait-free. Fills `out` with `frames` frames for the graph
    // cycle `cycle`: the oldest held, never one pushed in this same cycle. Silence makes up what
    // is missing (the first cycle after a start, a quantum grown longer).
    void pop(std::uint32_t cycle, float* out, std::uint32_t frames) {
        // The frames written, then where the producer's latest cycle began: the stamp is stored
        // before the frames it precedes, so a stamp of this cycle is seen whenever its frames are.
        std::uint32_t before = written_.load(std::memory_order_acquire);
        const std::uint64_t stamp = stamp_.load(std::memory_order_acquire);
        if (cycle != kNoCycle && cycleOf(stamp) == cycle) before = writeOf(stamp);
        std::uint32_t read = read_.load(std::memory_order_relaxed);
        const bool again = restart_.load(std::memory_order_relaxed) && restart_.exchange(false, std::memory_order_relaxed);
        if (!started_ || again) {
            read = before;  // what arrived before the source ran has no listener: start afresh
            started_ = true;
            silentFrames_ = kRefitAfterSilence;  // nothing has passed yet
            std::memset(out, 0, std::size_t(frames) * kChannels * sizeof(float));
            held_.store(0, std::memory_order_relaxed);
            read_.store(read, std::memory_order_release);
            return;
        }
        std::uint32_t held = before - read;
        if (held > frames && silentFrames_ >= kRefitAfterSilence) {
            const std::uint32_t skipped = leadingSilence(read, held - frames);
            read += skipped;
            held -= skipped;
        }
        const std::uint32_t taken = std::min(frames, held);
        copyOut(read, out, taken);
        std::memset(out + std::size_t(taken) * kChannels, 0, std::size_t(frames - taken) * kChannels * sizeof(float));
        if (taken < frames) inserted_.fetch_add(frames - taken, std::memory_order_relaxed);
        silentFrames_ = isSilent(out, frames) ? std::min(silentFrames_ + frames, kRefitAfterSilence) : 0;
        held_.store(held, std::memory_order_relaxed);
        read_.store(read + taken, std::memory_order_release);  // hands the room back
    }

    // Any thread; lock-free. The frames the source found held at the start of its last cycle:
    // the delay it adds, in frames.
    std::uint32_t delay() const { return held_.load(std::memory_order_relaxed); }
    // Any thread. Frames dropped for want of room; frames of silence the source put in.
    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
    std::uint64_t inserted() const { return inserted_.load(std::memory_order_relaxed); }

    // Any thread. The source starts afresh at its next cycle, one quantum behind the sink (its
    // stream was stopped and started again, or its format changed).
    void restart() { restart_.store(true, std::memory_order_release); }

    // Digital silence passed for this long lets the delay shrink back (a second at 48 kHz).
    static constexpr std::uint32_t kRefitAfterSilence = 48000;
    // The cycle of a push or pop when the graph gave none: never taken as the same cycle.
    static constexpr std::uint32_t kNoCycle = 0;
    // A cycle's key from its start time (the same for every node a driver runs): never kNoCycle.
    static constexpr std::uint32_t cycleKey(std::uint64_t nsec) { return std::uint32_t(nsec) | 1u; }

private:
    static std::uint64_t pack(std::uint32_t cycle, std::uint32_t write) { return std::uint64_t(cycle) << 32 | write; }
    static std::uint32_t cycleOf(std::uint64_t stamp) { return std::uint32_t(stamp >> 32); }
    static std::uint32_t writeOf(std::uint64_t stamp) { return std::uint32_t(stamp); }

    static bool isSilent(const float* samples, std::uint32_t frames) {
        for (std::size_t i = 0, n = std::size_t(frames) * kChannels; i < n; ++i)
            if (samples[i] != 0.0f) return false;
        return true;
    }

    // How many of the `most` frames held from ring position `at` on are silent, from the first.
    std::uint32_t leadingSilence(std::uint32_t at, std::uint32_t most) const {
        std::uint32_t silent = 0;
        bool sound = false;
        pieces(at, most, [&](std::uint32_t ring, std::uint32_t, std::uint32_t count) {
            for (std::uint32_t f = 0; f < count && !sound; ++f) {
                if (isSilent(&samples_[std::size_t(ring + f) * kChannels], 1)) ++silent;
                else sound = true;
            }
        });
        return silent;
    }

    // Copies `frames` frames at ring position `at` in or out, in at most two pieces.
    void copyIn(std::uint32_t at, const float* from, std::uint32_t frames) {
        pieces(at, frames, [&](std::uint32_t ring, std::uint32_t offset, std::uint32_t count) {
            std::memcpy(&samples_[std::size_t(ring) * kChannels], from + std::size_t(offset) * kChannels,
                        std::size_t(count) * kChannels * sizeof(float));
        });
    }
    void copyOut(std::uint32_t at, float* to, std::uint32_t frames) const {
        pieces(at, frames, [&](std::uint32_t ring, std::uint32_t offset, std::uint32_t count) {
            std::memcpy(to + std::size_t(offset) * kChannels, &samples_[std::size_t(ring) * kChannels],
                        std::size_t(count) * kChannels * sizeof(float));
        });
    }
    template <class Piece>
    void pieces(std::uint32_t at, std::uint32_t frames, Piece piece) const {
        const std::uint32_t first = at & (capacity_ - 1);
        const std::uint32_t head = std::min(frames, capacity_ - first);
        if (head > 0) piece(first, 0, head);
        if (head < frames) piece(0, head, frames - head);
    }

    const std::uint32_t capacity_;
    const std::unique_ptr<float[]> samples_;
    // Indices count frames and wrap at 2^32; the capacity divides that, so differences stay true.
    std::uint32_t write_ = 0;                   // producer only
    std::uint32_t pushCycle_ = kNoCycle;        // producer only: the cycle of its last push
    std::atomic<std::uint32_t> written_{0};     // producer writes: the frames written
    std::atomic<std::uint64_t> stamp_{0};       // producer writes: its latest cycle and where it began
    std::atomic<std::uint32_t> read_{0};        // consumer writes: what it has taken
    bool started_ = false;                      // consumer only
    std::uint32_t silentFrames_ = 0;            // consumer only: silence delivered since the last sound
    std::atomic<bool> restart_{false};
    std::atomic<std::uint32_t> held_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> inserted_{0};
};

}  // namespace korvane::driver
