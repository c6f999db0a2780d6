#include "panel/model_support.h"

#include "platform/audio_hardware.h"

#include <algorithm>

namespace korvane::panel::support {

using namespace platform::audio;

std::optional<AudioObjectID> defaultOutputDevice() {
    AudioObjectID device = 0;
    if (getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), device) !=
        kAudioHardwareNoError)
        return std::nullopt;
    return device;
}

OSStatus setDefaultOutputDevice(AudioObjectID device) {
    return setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), device);
}

const AudioEndpoint* findByUID(const std::vector<AudioEndpoint>& endpoints, std::string_view uid) {
    const auto it = std::find_if(endpoints.begin(), endpoints.end(), [&](const AudioEndpoint& e) { return e.uid == uid; });
    return it == endpoints.end() ? nullptr : &*it;
}

const AudioEndpoint* findByID(const std::vector<AudioEndpoint>& endpoints, AudioObjectID id) {
    const auto it = std::find_if(endpoints.begin(), endpoints.end(), [&](const AudioEndpoint& e) { return e.id == id; });
    return it == endpoints.end() ? nullptr : &*it;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace korvane::panel::support
