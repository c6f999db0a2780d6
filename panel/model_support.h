// Small helpers the model's operations share. Internal to the panel library.
#pragma once

#include "shared/audio_endpoint.h"

#include <optional>
#include <string_view>
#include <vector>

namespace korvane::panel::support {

// The system's default output device; nothing when the read fails.
std::optional<platform::audio::AudioObjectID> defaultOutputDevice();
// Sets it; returns the platform status.
platform::audio::OSStatus setDefaultOutputDevice(platform::audio::AudioObjectID device);

// The first member with this UID, or null.
const AudioEndpoint* findByUID(const std::vector<AudioEndpoint>& endpoints, std::string_view uid);
const AudioEndpoint* findByID(const std::vector<AudioEndpoint>& endpoints, platform::audio::AudioObjectID id);

bool startsWith(std::string_view text, std::string_view prefix);

}  // namespace korvane::panel::support
