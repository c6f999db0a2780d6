// The render callback. It runs on the audio thread once per cycle: everything here is bounded
// by frames × 4 channels, and touches only the two buffer lists and the route state.
#include "router/engine/route_state.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace korvane::engine {

using namespace platform::audio;

namespace {

constexpr std::uint32_t kAbsoluteMask = 0x7FFFFFFFu;
constexpr std::uint32_t kInfinityBits = 0x7F800000u;  // an exponent of all ones: NaN or ±infinity

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

// A finite sample as it is, anything else as 0.0; works on the bits so that it vectorises and
// never raises a floating-point exception. Returns the cleaned bits.
inline std::uint32_t cleanBits(std::uint32_t bits) { return (bits & kAbsoluteMask) >= kInfinityBits ? 0u : bits; }

// Copies `count` interleaved samples, cleaning each; returns the largest absolute value as bits
// (for non-negative floats, the order of the bits is the order of the values).
std::uint32_t copyContiguous(const float* source, float* destination, std::uint32_t count) {
    std::uint32_t peak = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, source + i, sizeof bits);
        bits = cleanBits(bits);
        std::memcpy(destination + i, &bits, sizeof bits);
        peak = std::max(peak, bits & kAbsoluteMask);
    }
    return peak;
}

// One channel to one channel; the frames the source lacks are written as 0.0.
std::uint32_t copyChannel(const Channel& source, const Channel& destination) {
    if (!destination.data || destination.frames == 0) return 0;
    const std::uint32_t available = source.data ? std::min(source.frames, destination.frames) : 0;
    std::uint32_t peak = 0;
    for (std::uint32_t f = 0; f < available; ++f) {
        std::uint32_t bits;
        std::memcpy(&bits, source.data + std::size_t(f) * source.stride, sizeof bits);
        bits = cleanBits(bits);
        std::memcpy(destination.data + std::size_t(f) * destination.stride, &bits, sizeof bits);
        peak = std::max(peak, bits & kAbsoluteMask);
    }
    for (std::uint32_t f = available; f < destination.frames; ++f) destination.data[std::size_t(f) * destination.stride] = 0.0f;
    return peak;
}

// Two adjacent channels of a stereo buffer, with nothing else in either buffer.
bool isStereoPair(const Channel& first, const Channel& second) {
    return first.data && first.stride == 2 && second.data == first.data + 1 && second.stride == 2 &&
           second.frames == first.frames;
}

// Copies a pair of channels. When both sides are whole stereo buffers, the pair is one contiguous
// run of samples and is copied as such; the result is the same as two channel copies.
std::uint32_t copyPair(const Channel& left, const Channel& right, const Channel& destinationLeft,
                       const Channel& destinationRight) {
    if (isStereoPair(left, right) && isStereoPair(destinationLeft, destinationRight)) {
        const std::uint32_t available = std::min(left.frames, destinationLeft.frames);
        const std::uint32_t peak = copyContiguous(left.data, destinationLeft.data, 2 * available);
        std::fill(destinationLeft.data + 2 * std::size_t(available), destinationLeft.data + 2 * std::size_t(destinationLeft.frames), 0.0f);
        return peak;
    }
    return std::max(copyChannel(left, destinationLeft), copyChannel(right, destinationRight));
}

// The lock-free maximum: retries only while the new value is still larger than what is stored.
void raisePeak(std::atomic<std::uint32_t>& stored, std::uint32_t candidate) {
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

    for (std::uint32_t b = 0; b < output->mNumberBuffers; ++b)
        if (output->mBuffers[b].mData) std::memset(output->mBuffers[b].mData, 0, output->mBuffers[b].mDataByteSize);

    if (route->hasInput) {
        const Channel left = locate(input, route->inputChannel);
        const Channel right = route->monoInput ? left : locate(input, route->inputChannel + 1);
        copyPair(left, right, locate(output, route->driverOutputChannel), locate(output, route->driverOutputChannel + 1));
    }
    if (route->hasListening) {
        const std::uint32_t peak =
            copyPair(locate(input, route->driverInputChannel), locate(input, route->driverInputChannel + 1),
                     locate(output, route->listenChannel), locate(output, route->listenChannel + 1));
        raisePeak(route->peak, peak);
    }
    route->cycles.fetch_add(1, std::memory_order_relaxed);
    return kAudioHardwareNoError;
}

}  // namespace korvane::engine
