// The KORVANE virtual driver's contract: its identity, channel layout, rates and custom
// properties, with small readers and writers over the platform audio interface.
#pragma once

#include "platform/audio_types.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace korvane::driver {

using platform::audio::AudioObjectID;
using platform::audio::FourCharCode;
using platform::audio::OSStatus;
using platform::audio::fourCC;

inline constexpr std::string_view kDeviceUID = "audio.ravlin.stereo.v1";
inline constexpr std::uint32_t kChannels = 2;  // stereo in (1–2) and out (1–2)
inline constexpr std::array<double, 6> kSupportedRates{44100, 48000, 88200, 96000, 176400, 192000};

// Custom properties: global scope, element 0, each value one property-list object.
inline constexpr FourCharCode kGainSelector = fourCC("kqgd");         // number, dB
inline constexpr FourCharCode kChannelModeSelector = fourCC("kqmo");  // integer: 1 mono, 0 stereo
inline constexpr FourCharCode kStatusSelector = fourCC("kqst");       // array of exactly 7 numbers

inline constexpr double kMinimumGainDb = -60.0;
inline constexpr double kMaximumGainDb = 12.0;

// Slots of the status snapshot.
enum StatusSlot : std::size_t {
    kInputPeakLeft = 0,   // before the gain
    kInputPeakRight = 1,
    kOutputPeakLeft = 2,  // after it: what the DAW receives
    kOutputPeakRight = 3,
    kPeakCounter = 4,     // advanced whenever new peaks are published
    kReadCounter = 5,     // advanced whenever a client reads the virtual input
    kStatusSlotCount = 7,
};

enum class ChannelMode : std::int64_t { Stereo = 0, Mono = 1 };

// One 'kqst' snapshot. Peaks are linear (1.0 = 0 dBFS); a non-finite or negative peak reads as 0.
struct Status {
    std::array<double, 4> peaks{};  // indexed by the first four slots
    double peakCounter = 0;
    double readCounter = 0;
};

// Gain in dB; nothing when the read fails or is no finite number.
std::optional<double> readGain(AudioObjectID device);
// Writes the gain clamped to −60…+12 dB. Returns the platform status.
OSStatus writeGain(AudioObjectID device, double gainDb);
// Nothing when the property is absent, unreadable or holds an unknown mode.
std::optional<ChannelMode> readChannelMode(AudioObjectID device);
OSStatus writeChannelMode(AudioObjectID device, ChannelMode mode);
// Nothing when the read fails or the value is not an array of exactly seven numbers.
std::optional<Status> readStatus(AudioObjectID device);

}  // namespace korvane::driver
