#include "shared/listening_volume.h"

#include "platform/audio_hardware.h"

#include <algorithm>
#include <cmath>

namespace korvane::ListeningVolume {

using namespace platform::audio;

namespace {

AudioObjectPropertyAddress volumeAddress(std::uint32_t element) {
    return {kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, element};
}

bool isUsable(AudioObjectID device, std::uint32_t element) {
    const auto address = volumeAddress(element);
    if (!hardware().hasProperty(device, address)) return false;
    bool settable = false;
    return hardware().isPropertySettable(device, address, settable) == kAudioHardwareNoError && settable;
}

// The raw value of every element; nothing when any read fails or a value is not finite.
std::optional<std::vector<float>> readLevels(AudioObjectID device, const std::vector<std::uint32_t>& elements) {
    if (elements.empty()) return std::nullopt;
    std::vector<float> levels;
    for (const auto element : elements) {
        float value = 0;
        if (getProperty(device, volumeAddress(element), value) != kAudioHardwareNoError || !std::isfinite(value))
            return std::nullopt;
        levels.push_back(value);
    }
    return levels;
}

bool inUnitRange(float value) { return std::isfinite(value) && value >= 0.0f && value <= 1.0f; }

}  // namespace

std::vector<std::uint32_t> elements(AudioObjectID device) {
    if (isUsable(device, kAudioObjectPropertyElementMain)) return {kAudioObjectPropertyElementMain};
    if (isUsable(device, 1) && isUsable(device, 2)) return {1, 2};
    return {};
}

std::optional<float> level(AudioObjectID device) {
    const auto levels = readLevels(device, elements(device));
    if (!levels) return std::nullopt;
    float mean = 0;
    for (const float value : *levels) mean += std::clamp(value, 0.0f, 1.0f) / float(levels->size());
    return mean;
}

std::optional<std::vector<float>> channelLevels(AudioObjectID device) {
    auto levels = readLevels(device, elements(device));
    if (!levels || !std::all_of(levels->begin(), levels->end(), inUnitRange)) return std::nullopt;
    return levels;
}

bool setChannelLevels(AudioObjectID device, const std::vector<float>& levels) {
    const auto targets = elements(device);
    if (targets.empty() || levels.size() != targets.size()) return false;
    if (!std::all_of(levels.begin(), levels.end(), inUnitRange)) return false;
    const auto previous = channelLevels(device);
    if (!previous) return false;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (setProperty(device, volumeAddress(targets[i]), levels[i]) != kAudioHardwareNoError) {
            // Undo the partial write; what fails now cannot be helped.
            for (std::size_t j = 0; j < targets.size(); ++j) setProperty(device, volumeAddress(targets[j]), (*previous)[j]);
            return false;
        }
    }
    return true;
}

bool setLevel(AudioObjectID device, float newLevel) {
    if (!std::isfinite(newLevel)) return false;
    const auto current = channelLevels(device);
    if (!current) return false;
    const float clamped = std::max(std::min(newLevel, 1.0f), 0.0f);
    return setChannelLevels(device, std::vector<float>(current->size(), clamped));
}

}  // namespace korvane::ListeningVolume
