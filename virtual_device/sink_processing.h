// The KORVANE device's own processing: what is played into its output 1–2 is turned into what its
// input 1–2 delivers (source gain, channel mode), and the levels before and after the gain are
// measured on the way. audiosim's simulated device and korvane-driver both run this code, so the
// two never disagree about what a DAW records.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace korvane::virtual_device {

inline constexpr double kMinGainDb = -60.0;
inline constexpr double kMaxGainDb = 12.0;

// Writers' gains are clamped to the device's range; a non-finite gain is 0 dB.
double clampGainDb(double gainDb);
float linearGain(double gainDb);

enum class ChannelMode : int { stereo = 0, mono = 1 };

// Levels of one block, linear (1.0 = 0 dBFS), in the order of the device's status: left and right
// before the gain, then left and right after it.
using Peaks = std::array<float, 4>;

// One block through the device. `in` holds `frames` interleaved frames of `inChannels` channels
// (the first two are left and right; a single channel plays on both); `out`, when not null,
// receives `frames` interleaved stereo frames: in mono mode both channels carry (L + R) / 2, then
// the gain applies. Non-finite samples count as 0. `in` and `out` do not overlap.
// Any thread; wait-free, allocates nothing.
Peaks processBlock(const float* in, std::uint32_t inChannels, float* out, std::uint32_t frames, float gain,
                   ChannelMode mode) noexcept;

// The device's sink side: the settings writers set, the processing of every block played into it,
// and the telemetry that processing leaves. The read side (who reads the device's input, and
// when) belongs to whoever delivers the processed audio.
class SinkProcessing {
public:
    // Any thread; lock-free. setGainDb clamps and returns the gain in effect.
    double setGainDb(double gainDb);
    double gainDb() const { return gainDb_.load(std::memory_order_relaxed); }
    float gain() const { return gain_.load(std::memory_order_relaxed); }  // the linear factor in effect
    void setMode(ChannelMode mode) { mode_.store(mode, std::memory_order_relaxed); }
    ChannelMode mode() const { return mode_.load(std::memory_order_relaxed); }

    // Audio thread, one at a time. Processes one block (see processBlock), publishes its peaks,
    // raises the held peaks and counts the write. Wait-free, allocates nothing.
    Peaks receive(const float* in, std::uint32_t inChannels, float* out, std::uint32_t frames) noexcept;

    // Any thread; lock-free. The last block's peaks; the blocks received so far.
    Peaks latestPeaks() const;
    std::uint64_t writeCount() const { return writes_.load(std::memory_order_relaxed); }
    // The highest peaks since the last take, which starts them again from 0. One taker at a time.
    Peaks takeHeldPeaks();

private:
    // Relaxed throughout: every value stands alone, and none publishes other data.
    std::atomic<double> gainDb_{0.0};
    std::atomic<float> gain_{1.0f};
    std::atomic<ChannelMode> mode_{ChannelMode::stereo};
    std::array<std::atomic<float>, 4> latest_{};
    std::array<std::atomic<float>, 4> held_{};
    std::atomic<std::uint64_t> writes_{0};
};

}  // namespace korvane::virtual_device
