// The render callback. It runs on the audio thread once per cycle: everything here is bounded
// by frames × 4 channels, and touches only the two buffer lists and the route state.
#include "router/engine/route_state.h"

#include "platform/hot_loop.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace korvane::engine {

using namespace platform::audio;

namespace {

constexpr std::int32_t kAbsoluteMask = 0x7FFFFFFF;
constexpr std::int32_t kInfinityBits = 0x7F800000;  // an exponent of all ones: NaN or ±infinity

// One channel located in a buffer list by its flat index.
struct Channel {
    float* data = nullptr;  // the channel's first sample; null when not found or without data
    std::uint32_t stride = 0;  // channels of its buffer
    std::uint32_t frames = 0;
};

Channel locate(const AudioBufferList* list, std::uint32_t index) {
    if (!list) return {};
    for (std::uint32_t b = 0; b < list->mNumberBuffers; ++b) {
        const AudioBuffer& buffer = list->mBuffers[b];
        if (index < buffer.mNumberChannels) {
            if (!buffer.mData) return {};
            return {static_cast<float*>(buffer.mData) + index, buffer.mNumberChannels,
                    buffer.mDataByteSize / (4 * buffer.mNumberChannels)};
        }
        index -= buffer.mNumberChannels;
    }
    return {};
}

// Samples are handled as their bits: a finite sample is kept as it is, anything else becomes
// 0.0, and the magnitude of what was written is the bits with the sign cleared (for non-negative
// floats, the order of the bits is the order of the values). Branch-free integer code, so that the
// compiler vectorises it and no floating-point exception can be raised.
struct Cleaned {
    std::int32_t bits;
    std::int32_t magnitude;
};

inline Cleaned clean(const float* sample) {
    std::int32_t bits;
    std::memcpy(&bits, sample, sizeof bits);
    const std::int32_t magnitude = bits & kAbsoluteMask;
    const std::int32_t keep = magnitude < kInfinityBits ? -1 : 0;
    return {bits & keep, magnitude & keep};
}

// Copies `count` consecutive samples; returns the largest magnitude written. The loop is the
// callback's hot path.
KORVANE_HOT_LOOP std::int32_t copyContiguous(const float* __restrict source, float* __restrict destination,
                                             std::uint32_t count) {
    std::int32_t peak = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Cleaned sample = clean(source + i);
        std::memcpy(destination + i, &sample.bits, sizeof sample.bits);
        peak = peak > sample.magnitude ? peak : sample.magnitude;
    }
    return peak;
}

// One channel to one channel; the frames the source lacks are written as 0.0.
std::int32_t copyChannel(const Channel& source, const Channel& destination) {
    if (!destination.data || destination.frames == 0) return 0;
    const std::uint32_t available = source.data ? std::min(source.frames, destination.frames) : 0;
    std::int32_t peak = 0;
    for (std::uint32_t f = 0; f < available; ++f) {
        const Cleaned sample = clean(source.data + std::size_t(f) * source.stride);
        std::memcpy(destination.data + std::size_t(f) * destination.stride, &sample.bits, sizeof sample.bits);
        peak = std::max(peak, sample.magnitude);
    }
    for (std::uint32_t f = available; f < destination.frames; ++f) destination.data[std::size_t(f) * destination.stride] = 0.0f;
    return peak;
}

// Two adjacent channels of a stereo buffer, with nothing else in either buffer.
bool isStereoPair(const Channel& first, const Channel& second) {
    return first.data && first.stride == 2 && second.data == first.data + 1 && second.stride == 2 &&
           second.frames == first.frames;
}

// A copy of two source channels into two destination channels.
struct PairCopy {
    Channel left;
    Channel right;
    Channel destinationLeft;
    Channel destinationRight;

    // Both sides whole stereo buffers: the pair is one contiguous run of samples.
    bool isContiguous() const { return isStereoPair(left, right) && isStereoPair(destinationLeft, destinationRight); }

    // Whether the copy writes every byte of `buffer` (its samples and the zero padding after them).
    bool covers(const AudioBuffer& buffer) const {
        return isContiguous() && destinationLeft.data == buffer.mData &&
               std::size_t(buffer.mDataByteSize) == std::size_t(destinationLeft.frames) * 2 * sizeof(float);
    }

    // Returns the largest magnitude written; the same result as two channel copies.
    std::int32_t run() const {
        if (isContiguous()) [[likely]] {
            const std::uint32_t available = std::min(left.frames, destinationLeft.frames);
            const std::int32_t peak = copyContiguous(left.data, destinationLeft.data, 2 * available);
            std::fill(destinationLeft.data + 2 * std::size_t(available),
                      destinationLeft.data + 2 * std::size_t(destinationLeft.frames), 0.0f);
            return peak;
        }
        return std::max(copyChannel(left, destinationLeft), copyChannel(right, destinationRight));
    }
};

// The lock-free maximum: retries only while the new value is still larger than what is stored.
void raisePeak(std::atomic<std::uint32_t>& stored, std::int32_t magnitude) {
    const auto candidate = std::uint32_t(magnitude);
    std::uint32_t current = stored.load(std::memory_order_relaxed);
    while (std::bit_cast<float>(candidate) > std::bit_cast<float>(current) &&
           !stored.compare_exchange_weak(current, candidate, std::memory_order_relaxed)) {
    }
}

}  // namespace

OSStatus routeRender(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                     AudioBufferList* output, const AudioTimeStamp*, void* context) noexcept {
    auto* route = static_cast<RouteState*>(context);
    if (!output || !route) return kAudioHardwareNoError;

    PairCopy playback{};  // the source into KORVANE's playback channels 1–2
    PairCopy listening{};  // KORVANE's input 1–2 to the listening output
    if (route->hasInput) {
        playback.left = locate(input, route->inputChannel);
        playback.right = route->monoInput ? playback.left : locate(input, route->inputChannel + 1);
        playback.destinationLeft = locate(output, route->driverOutputChannel);
        playback.destinationRight = locate(output, route->driverOutputChannel + 1);
    }
    if (route->hasListening) {
        listening.left = locate(input, route->driverInputChannel);
        listening.right = locate(input, route->driverInputChannel + 1);
        listening.destinationLeft = locate(output, route->listenChannel);
        listening.destinationRight = locate(output, route->listenChannel + 1);
    }

    // Every output channel not written below is silent. A buffer that a contiguous copy writes
    // whole needs no zero-filling first: the result is the same, at half the memory traffic.
    for (std::uint32_t b = 0; b < output->mNumberBuffers; ++b) {
        const AudioBuffer& buffer = output->mBuffers[b];
        if (buffer.mData && !(route->hasInput && playback.covers(buffer)) &&
            !(route->hasListening && listening.covers(buffer)))
            std::memset(buffer.mData, 0, buffer.mDataByteSize);
    }

    if (route->hasInput) playback.run();
    if (route->hasListening) raisePeak(route->peak, listening.run());
    route->cycles.fetch_add(1, std::memory_order_relaxed);
    return kAudioHardwareNoError;
}

}  // namespace korvane::engine
