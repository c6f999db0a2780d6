// The state of one route, shared by the engine's main-thread operations and its render callback;
// internal to the engine (tests and benchmarks include it to build routes by hand).
#pragma once

#include "platform/audio_types.h"
#include "router/engine/route_engine.h"

#include <atomic>
#include <cstdint>

struct RouteState {
    std::int32_t lockDescriptor = -1;
    platform::audio::AudioObjectID aggregateDevice = 0;
    platform::audio::AudioObjectID playbackDevice = 0;
    platform::audio::AudioDeviceIOProcID ioProcID = nullptr;
    // Flat channel indices in the aggregate, per direction.
    std::uint32_t inputChannel = 0;
    std::uint32_t driverInputChannel = 0;
    std::uint32_t driverOutputChannel = 0;
    std::uint32_t listenChannel = 0;
    bool hasInput = false;
    bool hasListening = false;
    bool monoInput = false;
    // The only fields the audio thread writes. Relaxed: each is a counter or a maximum on its own,
    // and publishes nothing else.
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<std::uint32_t> peak{0};  // bits of a non-negative float
};

namespace korvane::engine {

// The render callback: zero-fills the output, copies the source into the KORVANE playback
// channels and the KORVANE input to the listening output, raises the peak and counts the cycle.
// Audio thread. Wait-free: allocates nothing, locks nothing, makes no system call.
platform::audio::OSStatus routeRender(platform::audio::AudioObjectID device, const platform::audio::AudioTimeStamp* now,
                                      const platform::audio::AudioBufferList* input,
                                      const platform::audio::AudioTimeStamp* inputTime,
                                      platform::audio::AudioBufferList* output,
                                      const platform::audio::AudioTimeStamp* outputTime, void* route) noexcept;

}  // namespace korvane::engine
