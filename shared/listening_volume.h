// ListeningVolume: the playback volume of the physical listening output (never the level the DAW
// receives), on the device's main control when settable, else on its first two channels.
#pragma once

#include "platform/audio_types.h"

#include <optional>
#include <vector>

namespace korvane::ListeningVolume {

using platform::audio::AudioObjectID;

// [0] for a settable main control, else [1, 2] when both channels are settable, else empty.
// Decided afresh on every call.
std::vector<std::uint32_t> elements(AudioObjectID device);

// The mean of the elements' levels, each clamped to 0…1; nothing without elements, on a failed
// read or a non-finite value.
std::optional<float> level(AudioObjectID device);

// The raw level of each element in element order; nothing without elements, on a failed read or
// a value that is non-finite or outside 0…1.
std::optional<std::vector<float>> channelLevels(AudioObjectID device);

// Writes one level per element. False, with nothing written, for a wrong count, a level outside
// 0…1 or unreadable current levels; false after restoring the previous levels when a write
// fails midway.
bool setChannelLevels(AudioObjectID device, const std::vector<float>& levels);

// Sets every element to `level` clamped to 0…1; false for a non-finite level.
bool setLevel(AudioObjectID device, float level);

}  // namespace korvane::ListeningVolume
