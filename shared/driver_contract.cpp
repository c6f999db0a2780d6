#include "shared/driver_contract.h"

#include "platform/audio_hardware.h"

#include <algorithm>
#include <cmath>

namespace korvane::driver {

using namespace platform::audio;

namespace {

std::optional<PropertyList> readObject(AudioObjectID device, FourCharCode selector) {
    PropertyList value;
    if (hardware().getPropertyObject(device, globalAddress(selector), nullptr, value) != kAudioHardwareNoError)
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<double> readGain(AudioObjectID device) {
    const auto value = readObject(device, kGainSelector);
    const auto gain = value ? value->real() : std::nullopt;
    if (!gain || !std::isfinite(*gain)) return std::nullopt;
    return gain;
}

OSStatus writeGain(AudioObjectID device, double gainDb) {
    const double clamped = std::isnan(gainDb) ? 0.0 : std::clamp(gainDb, kMinimumGainDb, kMaximumGainDb);
    return hardware().setPropertyObject(device, globalAddress(kGainSelector), PropertyList(clamped));
}

std::optional<ChannelMode> readChannelMode(AudioObjectID device) {
    const auto value = readObject(device, kChannelModeSelector);
    const auto mode = value ? value->integer() : std::nullopt;
    if (!mode || (*mode != 0 && *mode != 1)) return std::nullopt;
    return ChannelMode(*mode);
}

OSStatus writeChannelMode(AudioObjectID device, ChannelMode mode) {
    return hardware().setPropertyObject(device, globalAddress(kChannelModeSelector), PropertyList(std::int64_t(mode)));
}

std::optional<Status> readStatus(AudioObjectID device) {
    const auto value = readObject(device, kStatusSelector);
    const auto* slots = value ? value->array() : nullptr;
    if (!slots || slots->size() != kStatusSlotCount) return std::nullopt;
    std::array<double, kStatusSlotCount> numbers{};
    for (std::size_t i = 0; i < kStatusSlotCount; ++i) {
        const auto number = (*slots)[i].real();
        if (!number) return std::nullopt;
        numbers[i] = *number;
    }
    Status status;
    for (std::size_t i = 0; i < status.peaks.size(); ++i)
        status.peaks[i] = std::isfinite(numbers[i]) && numbers[i] > 0 ? numbers[i] : 0.0;
    status.peakCounter = numbers[kPeakCounter];
    status.readCounter = numbers[kReadCounter];
    return status;
}

}  // namespace korvane::driver
