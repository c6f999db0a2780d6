#include "virtual_device/sink_processing.h"

#include "platform/hot_loop.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace korvane::virtual_device {

namespace {

constexpr std::uint32_t kMagnitude = 0x7fffffffu;
constexpr std::uint32_t kExponent = 0x7f800000u;

// Integer code, so that the loops below vectorise: a non-finite sample (all exponent bits set)
// becomes +0, and the magnitude of a finite float orders as its bits do.
inline float finiteOrZero(float sample) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(sample);
    const std::uint32_t finite = (bits & kExponent) == kExponent ? 0u : ~0u;
    return std::bit_cast<float>(bits & finite);
}
inline std::uint32_t magnitude(float sample) { return std::bit_cast<std::uint32_t>(sample) & kMagnitude; }

template <bool kMono, bool kWrite>
Peaks processStereo(const float* in, std::uint32_t inChannels, float* out, std::uint32_t frames, float gain) {
    std::uint32_t inLeft = 0, inRight = 0, outLeft = 0, outRight = 0;
    const std::uint32_t rightOffset = inChannels > 1 ? 1 : 0;
    for (std::uint32_t f = 0; f < frames; ++f) {
        float left = finiteOrZero(in[std::size_t(f) * inChannels]);
        float right = finiteOrZero(in[std::size_t(f) * inChannels + rightOffset]);
        inLeft = std::max(inLeft, magnitude(left));
        inRight = std::max(inRight, magnitude(right));
        if constexpr (kMono) left = right = (left + right) * 0.5f;
        left *= gain;
        right *= gain;
        outLeft = std::max(outLeft, magnitude(left));
        outRight = std::max(outRight, magnitude(right));
        if constexpr (kWrite) {
            out[2 * std::size_t(f)] = left;
            out[2 * std::size_t(f) + 1] = right;
        }
    }
    return {std::bit_cast<float>(inLeft), std::bit_cast<float>(inRight), std::bit_cast<float>(outLeft),
            std::bit_cast<float>(outRight)};
}

// The hot path: stereo in, stereo mode. The block is handled as one run of samples, eight lanes
// at a time (even lanes left, odd lanes right), in branch-free integer code.
// Eight samples at a time in the compiler's vector types (one AVX2 register, two of the baseline).
using Lanes = std::int32_t __attribute__((vector_size(32)));
using FloatLanes = float __attribute__((vector_size(32)));
constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(std::int32_t);

// The peaks after the gain follow from those before it: multiplying by a fixed positive factor
// never reorders two magnitudes, so the largest result is the largest sample times the gain.
KORVANE_HOT_LOOP Peaks processInterleavedStereo(const float* __restrict in, float* __restrict out,
                                                std::uint32_t frames, float gain) {
    Lanes inPeak{};
    const std::size_t samples = std::size_t(frames) * 2;
    const std::size_t whole = samples - samples % kLanes;
    for (std::size_t i = 0; i < whole; i += kLanes) {
        Lanes bits;
        std::memcpy(&bits, in + i, sizeof bits);
        const Lanes magnitudes = bits & std::int32_t(kMagnitude);
        // (magnitude − infinity) is negative exactly for finite samples: its sign spreads to a mask.
        const Lanes keep = (magnitudes - std::int32_t(kExponent)) >> 31;
        const Lanes inMagnitudes = magnitudes & keep;
        inPeak = inPeak > inMagnitudes ? inPeak : inMagnitudes;
        if (out) {
            FloatLanes result;
            const Lanes kept = bits & keep;
            std::memcpy(&result, &kept, sizeof result);
            result *= gain;
            std::memcpy(out + i, &result, sizeof result);
        }
    }
    std::uint32_t peaks[2] = {};  // even lanes are left, odd lanes right
    for (std::size_t lane = 0; lane < kLanes; ++lane) peaks[lane & 1] = std::max(peaks[lane & 1], std::uint32_t(inPeak[lane]));
    for (std::size_t i = whole; i < samples; ++i) {
        const float sample = finiteOrZero(in[i]);
        peaks[i & 1] = std::max(peaks[i & 1], magnitude(sample));
        if (out) out[i] = sample * gain;
    }
    const float left = std::bit_cast<float>(peaks[0]);
    const float right = std::bit_cast<float>(peaks[1]);
    return {left, right, std::fabs(left * gain), std::fabs(right * gain)};
}

// Raises `cell` to `value` (both non-negative or NaN-free). Wait-free for one writer.
void raise(std::atomic<float>& cell, float value) {
    float current = cell.load(std::memory_order_relaxed);
    while (value > current && !cell.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
    }
}

}  // namespace

double clampGainDb(double gainDb) { return std::isfinite(gainDb) ? std::clamp(gainDb, kMinGainDb, kMaxGainDb) : 0.0; }

float linearGain(double gainDb) { return float(std::pow(10.0, clampGainDb(gainDb) / 20.0)); }

Peaks processBlock(const float* in, std::uint32_t inChannels, float* out, std::uint32_t frames, float gain,
                   ChannelMode mode) noexcept {
    if (inChannels == 0 || frames == 0) return {};
    const bool mono = mode == ChannelMode::mono;
    if (inChannels == 2 && !mono) return processInterleavedStereo(in, out, frames, gain);
    if (out) return mono ? processStereo<true, true>(in, inChannels, out, frames, gain)
                         : processStereo<false, true>(in, inChannels, out, frames, gain);
    return mono ? processStereo<true, false>(in, inChannels, out, frames, gain)
                : processStereo<false, false>(in, inChannels, out, frames, gain);
}

double SinkProcessing::setGainDb(double gainDb) {
    const double clamped = clampGainDb(gainDb);
    gainDb_.store(clamped, std::memory_order_relaxed);
    gain_.store(linearGain(clamped), std::memory_order_relaxed);
    return clamped;
}

Peaks SinkProcessing::receive(const float* in, std::uint32_t inChannels, float* out, std::uint32_t frames) noexcept {
    const Peaks peaks = processBlock(in, inChannels, out, frames, gain(), mode());
    for (std::size_t i = 0; i < peaks.size(); ++i) {
        latest_[i].store(peaks[i], std::memory_order_relaxed);
        raise(held_[i], peaks[i]);
    }
    // One writer at a time: a plain increment, no read-modify-write.
    writes_.store(writes_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return peaks;
}

Peaks SinkProcessing::latestPeaks() const {
    Peaks peaks{};
    for (std::size_t i = 0; i < peaks.size(); ++i) peaks[i] = latest_[i].load(std::memory_order_relaxed);
    return peaks;
}

Peaks SinkProcessing::takeHeldPeaks() {
    Peaks peaks{};
    for (std::size_t i = 0; i < peaks.size(); ++i) peaks[i] = held_[i].exchange(0.0f, std::memory_order_relaxed);
    return peaks;
}

}  // namespace korvane::virtual_device
