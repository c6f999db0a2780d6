#include "shared/audio_device_inventory.h"

#include "platform/audio_hardware.h"
#include "shared/natural_order.h"

#include <algorithm>
#include <cstring>

namespace korvane::AudioDeviceInventory {

using namespace platform::audio;

namespace {

// A string property; nothing when the read fails or answers something other than a string.
std::optional<std::string> readString(AudioObjectID device, FourCharCode selector) {
    PropertyList value;
    if (hardware().getPropertyObject(device, globalAddress(selector), nullptr, value) != kAudioHardwareNoError)
        return std::nullopt;
    if (const std::string* text = value.string()) return *text;
    return std::nullopt;
}

// One buffer entry: anything smaller holds no channel count.
constexpr std::uint32_t kMinimumStreamConfigurationSize = audioBufferListSize(1);

}  // namespace

int channelCount(AudioObjectID device, FourCharCode scope) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope,
                                             kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    if (hardware().getPropertyDataSize(device, address, nullptr, size) != kAudioHardwareNoError ||
        size < kMinimumStreamConfigurationSize)
        return 0;
    // Aligned storage for the list; sized by the platform's answer, walked only as far as the
    // bytes it returned.
    std::vector<AudioBuffer> storage((size + sizeof(AudioBuffer) - 1) / sizeof(AudioBuffer));
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    if (hardware().getPropertyData(device, address, nullptr, size, list) != kAudioHardwareNoError) return 0;
    long long total = 0;
    const std::uint32_t buffers = buffersWithin(*list, size);
    for (std::uint32_t i = 0; i < buffers; ++i) total += list->mBuffers[i].mNumberChannels;
    return int(std::min<long long>(total, 1 << 20));
}

Expected<std::vector<AudioEndpoint>, InventoryError> enumerate() {
    const auto devicesAddress = globalAddress(kAudioHardwarePropertyDevices);
    std::uint32_t size = 0;
    if (const OSStatus status = hardware().getPropertyDataSize(kAudioObjectSystemObject, devicesAddress, nullptr, size);
        status != kAudioHardwareNoError)
        return Unexpected{InventoryError{status}};
    std::vector<AudioEndpoint> endpoints;
    if (size == 0) return endpoints;

    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    size = std::uint32_t(ids.size() * sizeof(AudioObjectID));
    if (const OSStatus status =
            hardware().getPropertyData(kAudioObjectSystemObject, devicesAddress, nullptr, size, ids.data());
        status != kAudioHardwareNoError)
        return Unexpected{InventoryError{status}};
    ids.resize(size / sizeof(AudioObjectID));

    for (const AudioObjectID id : ids) {
        auto uid = readString(id, kAudioDevicePropertyDeviceUID);
        if (!uid) continue;
        auto name = readString(id, kAudioObjectPropertyName);
        if (!name) continue;
        AudioEndpoint endpoint;
        endpoint.id = id;
        endpoint.uid = std::move(*uid);
        endpoint.name = std::move(*name);
        if (getProperty(id, globalAddress(kAudioDevicePropertyTransportType), endpoint.transport) != kAudioHardwareNoError)
            endpoint.transport = 0;
        if (getProperty(id, globalAddress(kAudioDevicePropertyNominalSampleRate), endpoint.nominalRate) !=
            kAudioHardwareNoError)
            endpoint.nominalRate = 0;
        endpoint.inputChannels = channelCount(id, kAudioObjectPropertyScopeInput);
        endpoint.outputChannels = channelCount(id, kAudioObjectPropertyScopeOutput);
        endpoints.push_back(std::move(endpoint));
    }
    std::stable_sort(endpoints.begin(), endpoints.end(), [](const AudioEndpoint& a, const AudioEndpoint& b) {
        return naturalCompare(a.name, b.name) < 0;
    });
    return endpoints;
}

bool isUsableOutput(const AudioEndpoint& endpoint, const std::vector<AudioEndpoint>& endpoints, int depth) {
    if (depth > kMaximumAggregateDepth) return false;
    if (endpoint.isKorvane()) return false;
    if (endpoint.outputChannels < 2) return false;
    for (const auto prefix : kOwnDevicePrefixes)
        if (endpoint.uid.starts_with(prefix)) return false;
    if (endpoint.transport != kAudioDeviceTransportTypeAggregate) return true;

    PropertyList subDevices;
    if (hardware().getPropertyObject(endpoint.id, globalAddress(kAudioAggregateDevicePropertyFullSubDeviceList),
                                     nullptr, subDevices) != kAudioHardwareNoError)
        return false;
    const auto* uids = subDevices.array();
    if (!uids || uids->empty()) return false;
    if (!std::all_of(uids->begin(), uids->end(), [](const PropertyList& v) { return v.isString(); })) return false;
    for (const auto& value : *uids) {
        const auto it = std::find_if(endpoints.begin(), endpoints.end(),
                                     [&](const AudioEndpoint& e) { return e.uid == *value.string(); });
        if (it == endpoints.end() || it->isKorvane()) return false;
        if (it->transport == kAudioDeviceTransportTypeAggregate && !isUsableOutput(*it, endpoints, depth + 1))
            return false;
    }
    return true;
}

}  // namespace korvane::AudioDeviceInventory
