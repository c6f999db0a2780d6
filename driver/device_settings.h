// The KORVANE device's settings as they travel in the sink node's Props: "korvane.gain-db"
// (a number, clamped to −60…+12 dB), "korvane.mode" (an integer, 1 mono, 0 stereo) and
// "korvane.rate" (one of the six supported rates), key/value pairs in SPA_PROP_params.
#pragma once

#include "virtual_device/sink_processing.h"

#include <array>
#include <cstdint>

struct spa_pod;
struct spa_pod_builder;

namespace korvane::driver {

inline constexpr std::array<std::uint32_t, 6> kSupportedRates{44100, 48000, 88200, 96000, 176400, 192000};
inline constexpr std::uint32_t kDefaultRate = 48000;

inline constexpr const char* kGainKey = "korvane.gain-db";
inline constexpr const char* kModeKey = "korvane.mode";
inline constexpr const char* kRateKey = "korvane.rate";

struct DeviceSettings {
    double gainDb = 0.0;
    virtual_device::ChannelMode mode = virtual_device::ChannelMode::stereo;
    std::uint32_t rate = kDefaultRate;

    bool operator==(const DeviceSettings&) const = default;
};

// `current` with what a writer's Props object asks for. Each key stands alone: a value of the
// wrong type, a mode other than 0 or 1, a rate not supported or a non-finite gain changes
// nothing of its own key; unknown keys and other properties are ignored. A gain is clamped.
DeviceSettings applyProps(const spa_pod* props, DeviceSettings current);

// True when a Props object sets a volume or a channel volume other than 1, or mutes.
bool leavesUnity(const spa_pod* props);

// The sink's Props as the driver publishes them: the settings in effect.
const spa_pod* buildProps(spa_pod_builder& builder, const DeviceSettings& settings);

}  // namespace korvane::driver
