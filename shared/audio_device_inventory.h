// AudioDeviceInventory: the machine's audio devices as AudioEndpoint records in display order, and
// which of them may serve as a listening output. Every call reads the live hardware state.
#pragma once

#include "shared/audio_endpoint.h"
#include "shared/expected.h"

#include <array>
#include <string_view>
#include <vector>

namespace korvane {

// An enumeration call failed with this platform status.
struct InventoryError {
    platform::audio::OSStatus status = 0;
};

namespace AudioDeviceInventory {

// UID prefixes of devices the system creates itself; never offered as listening outputs.
inline constexpr std::string_view kListeningAggregatePrefix = "audio.korvane.listen.";
inline constexpr std::string_view kRouteAggregatePrefix = "audio.ravlin.route.";
inline constexpr std::string_view kDAWDevicePrefix = "audio.ravlin.daw.";
inline constexpr std::array<std::string_view, 3> kOwnDevicePrefixes{kListeningAggregatePrefix, kRouteAggregatePrefix,
                                                                    kDAWDevicePrefix};
// Aggregates nested deeper than this are not usable outputs.
inline constexpr int kMaximumAggregateDepth = 7;

// Returns: every device whose UID and name can be read, sorted by name in natural order (stable).
// Errors: the status of a failed device-list size query or read.
Expected<std::vector<AudioEndpoint>, InventoryError> enumerate();

// Total channels of a device in the input or output scope; 0 on any failure.
int channelCount(platform::audio::AudioObjectID device, platform::audio::FourCharCode scope);

// Whether `endpoint` can be a stereo listening output, given the latest enumeration `endpoints`.
// Callers pass depth 0; aggregates are followed into their sub-devices.
bool isUsableOutput(const AudioEndpoint& endpoint, const std::vector<AudioEndpoint>& endpoints, int depth = 0);

}  // namespace AudioDeviceInventory
}  // namespace korvane
