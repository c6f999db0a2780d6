#include "panel/daw_setup.h"

#include "panel/model_support.h"
#include "platform/audio_hardware.h"
#include "platform/wording.h"
#include "shared/audio_device_inventory.h"

#include <algorithm>
#include <array>

namespace korvane::panel::DAWSetup {

using namespace platform::audio;
using support::findByUID;

namespace {

constexpr FourCharCode kAudioDevicePropertyPreferredChannelsForStereo = fourCC("dch2");

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j) group = (group << 8) | (j < count ? std::uint8_t(bytes[i + j]) : 0u);
        for (std::size_t j = 0; j < 4; ++j) encoded += j <= count ? kAlphabet[(group >> (18 - 6 * j)) & 0x3F] : '=';
    }
    return encoded;
}

}  // namespace

std::string deviceUID(std::string_view outputUID) {
    return std::string(AudioDeviceInventory::kDAWDevicePrefix) + base64(outputUID);
}

Expected<std::string, Failure> create(const AudioEndpoint& output, const std::vector<AudioEndpoint>& endpoints) {
    const AudioEndpoint* korvane = findByUID(endpoints, driver::kDeviceUID);
    if (!korvane) return Unexpected(Failure{"Install KORVANE's driver and restart first."});
    if (!output.isPhysical() || output.outputChannels < 2)
        return Unexpected(Failure{"Choose a stereo speaker or interface output first."});

    const std::string uid = deviceUID(output.uid);
    const std::string name = std::string(kNamePrefix) + output.name;
    if (const AudioEndpoint* existing = findByUID(endpoints, uid)) return existing->name;

    // KORVANE first (drift-compensated, following the output's clock), so its input is 1–2 and
    // the output's channels come after its own playback channels, as 3–4.
    PropertyList::Dictionary description{
        {"name", name},
        {"uid", uid},
        {"private", 0},
        {"master", output.uid},
        {"subdevices", PropertyList::Array{PropertyList::Dictionary{{"uid", korvane->uid}, {"drift", 1}},
                                           PropertyList::Dictionary{{"uid", output.uid}, {"drift", 0}}}},
    };
    AudioObjectID device = 0;
    if (const OSStatus status = hardware().createAggregateDevice(PropertyList(std::move(description)), device);
        status != kAudioHardwareNoError)
        return Unexpected(Failure{"Could not create the DAW device (" + std::to_string(status) + "). " +
                                  std::string(platform::wording().combineDevicesYourself)});

    const std::array<std::uint32_t, 2> stereoPair{3, 4};
    (void)hardware().setPropertyData(device, {kAudioDevicePropertyPreferredChannelsForStereo, kAudioObjectPropertyScopeOutput, 0},
                                     sizeof stereoPair, stereoPair.data());
    return name;
}

}  // namespace korvane::panel::DAWSetup
