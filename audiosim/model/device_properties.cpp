// Property access of the device model: what each object answers, and what a write may change.
#include "audiosim/model/device_model.h"

#include "audiosim/model/device_records.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace audiosim {

using namespace platform::audio;

namespace {
constexpr FourCharCode kGain = fourCC("kqgd");
constexpr FourCharCode kChannelMode = fourCC("kqmo");
constexpr FourCharCode kStatus = fourCC("kqst");
}  // namespace

bool DeviceModel::settle(Device& device) {
    if (!device.pendingRate || clock_.uptime() < device.pendingRateAt) return false;
    device.nominalRate = *device.pendingRate;
    device.pendingRate.reset();
    return true;
}

namespace {

bool isDirection(FourCharCode scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

AudioStreamBasicDescription formatOf(SampleFormat format, std::uint32_t channels, double rate) {
    AudioStreamBasicDescription description;
    description.mSampleRate = rate;
    description.mFormatID = kAudioFormatLinearPCM;
    const std::uint32_t bytes = format == SampleFormat::Int16 ? 2 : 4;
    switch (format) {
    case SampleFormat::Float32:
        description.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
        break;
    case SampleFormat::Float32BigEndian:
        description.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsBigEndian | kAudioFormatFlagIsPacked;
        break;
    case SampleFormat::Int16:
        description.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
        break;
    }
    description.mBytesPerPacket = bytes * channels;
    description.mFramesPerPacket = 1;
    description.mBytesPerFrame = bytes * channels;
    description.mChannelsPerFrame = channels;
    description.mBitsPerChannel = 8 * bytes;
    return description;
}

}  // namespace

const DeviceModel::Stream* DeviceModel::findStream(ClientId client, AudioObjectID id, const Device** owner) {
    for (auto& d : devices_) {
        if (visibleDevice(client, d->id) != d.get()) continue;
        for (const auto* list : {&d->inputs, &d->outputs})
            for (const auto& s : *list)
                if (s.id == id) {
                    *owner = d.get();
                    return &s;
                }
    }
    return nullptr;
}

OSStatus DeviceModel::lookup(ClientId client, AudioObjectID object, const AudioObjectPropertyAddress& address,
                             const PropertyList* qualifier, PropertyValue& value) {
    const FourCharCode selector = address.mSelector;
    if (object == kAudioObjectSystemObject) {
        switch (selector) {
        case kAudioHardwarePropertyDevices:
            value.setArray(visibleDevices(client));
            return kAudioHardwareNoError;
        case kAudioHardwarePropertyTranslateUIDToDevice: {
            if (!qualifier || !qualifier->string()) {
                value.status = kAudioHardwareBadPropertySizeError;
                return kAudioHardwareNoError;
            }
            const Device* device = findDevice(*qualifier->string());
            value.set<AudioObjectID>(device && visibleDevice(client, device->id) ? device->id : 0);
            return kAudioHardwareNoError;
        }
        case kAudioHardwarePropertyDefaultOutputDevice:
        case kAudioHardwarePropertyDefaultSystemOutputDevice:
            value.set<AudioObjectID>(selector == kAudioHardwarePropertyDefaultOutputDevice ? defaultOutput_
                                                                                            : defaultSystemOutput_);
            value.settable = true;
            return kAudioHardwareNoError;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }

    if (const Device* owner = nullptr; const Stream* stream = findStream(client, object, &owner)) {
        if (selector != kAudioStreamPropertyVirtualFormat) return kAudioHardwareUnknownPropertyError;
        value.set(formatOf(stream->format, stream->channels, owner->nominalRate));
        return kAudioHardwareNoError;
    }

    Device* device = visibleDevice(client, object);
    if (!device) return kAudioHardwareBadObjectError;
    if (settle(*device)) publish();
    const bool korvane = device->config.korvane;
    switch (selector) {
    case kAudioDevicePropertyDeviceUID:
        value.object = PropertyList(device->config.uid);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyName:
        value.object = PropertyList(device->config.name);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyTransportType:
        value.set<std::uint32_t>(device->config.transport);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyNominalSampleRate:
        value.set<double>(nominalRate(*device));
        value.settable = !device->aggregate;
        return kAudioHardwareNoError;
    case kAudioDevicePropertyAvailableNominalSampleRates: {
        const Device* clockDevice = device->aggregate ? findDevice(device->clockUID) : device;
        value.setArray(clockDevice ? clockDevice->config.rates : std::vector<AudioValueRange>{});
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyBufferFrameSize:
        value.set<std::uint32_t>(bufferFrames(*device));
        return kAudioHardwareNoError;
    case kAudioDevicePropertyStreamConfiguration: {
        if (!isDirection(address.mScope)) return kAudioHardwareUnknownPropertyError;
        const auto list = streams(*device, address.mScope == kAudioObjectPropertyScopeInput);
        value.bytes.assign(audioBufferListSize(std::uint32_t(list.size())), std::byte{0});
        auto* buffers = reinterpret_cast<AudioBufferList*>(value.bytes.data());
        buffers->mNumberBuffers = std::uint32_t(list.size());
        for (std::size_t i = 0; i < list.size(); ++i) buffers->mBuffers[i].mNumberChannels = list[i]->channels;
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyStreams: {
        if (!isDirection(address.mScope)) return kAudioHardwareUnknownPropertyError;
        std::vector<AudioObjectID> ids;
        for (const Stream* s : streams(*device, address.mScope == kAudioObjectPropertyScopeInput)) ids.push_back(s->id);
        value.setArray(ids);
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
        value.set<std::uint32_t>(runningSomewhere(*device) ? 1 : 0);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyVolumeScalar: {
        if (address.mScope != kAudioObjectPropertyScopeOutput) return kAudioHardwareUnknownPropertyError;
        const auto it = std::find_if(device->volumes.begin(), device->volumes.end(),
                                     [&](const VolumeControl& v) { return v.element == address.mElement; });
        if (it == device->volumes.end()) return kAudioHardwareUnknownPropertyError;
        value.set<float>(it->value);
        value.settable = it->settable;
        return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyFullSubDeviceList: {
        if (!device->aggregate) return kAudioHardwareUnknownPropertyError;
        PropertyList::Array uids(device->subDeviceUIDs.begin(), device->subDeviceUIDs.end());
        value.object = PropertyList(std::move(uids));
        return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyActiveSubDeviceList: {
        if (!device->aggregate) return kAudioHardwareUnknownPropertyError;
        std::vector<AudioObjectID> ids;
        for (const Device* member : members(*device)) ids.push_back(member->id);
        value.setArray(ids);
        return kAudioHardwareNoError;
    }
    case kGain:
        if (!korvane) return kAudioHardwareUnknownPropertyError;
        value.object = PropertyList(device->gainDb);
        value.settable = true;
        return kAudioHardwareNoError;
    case kChannelMode:
        if (!korvane) return kAudioHardwareUnknownPropertyError;
        value.object = PropertyList(device->channelMode);
        value.settable = true;
        return kAudioHardwareNoError;
    case kStatus: {
        if (!korvane) return kAudioHardwareUnknownPropertyError;
        const DeviceAudio& audio = *device->audio;
        const auto peaks = audio.korvane.latestPeaks();
        value.object = PropertyList(PropertyList::Array{
            double(peaks[0]), double(peaks[1]), double(peaks[2]), double(peaks[3]), double(audio.korvane.writeCount()),
            double(audio.korvaneReads.load(std::memory_order_relaxed)), 0.0});
        return kAudioHardwareNoError;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

bool DeviceModel::hasProperty(ClientId client, AudioObjectID object, const AudioObjectPropertyAddress& address) {
    std::lock_guard lock(mutex_);
    PropertyValue value;
    return lookup(client, object, address, nullptr, value) == kAudioHardwareNoError;
}

OSStatus DeviceModel::isPropertySettable(ClientId client, AudioObjectID object,
                                         const AudioObjectPropertyAddress& address, bool& settable) {
    std::lock_guard lock(mutex_);
    settable = false;
    if (const auto status = fault(Operation::Settable, object, address); status && *status != 0) return *status;
    PropertyValue value;
    const OSStatus status = lookup(client, object, address, nullptr, value);
    if (status == kAudioHardwareNoError) settable = value.settable;
    return status;
}

OSStatus DeviceModel::getPropertyDataSize(ClientId client, AudioObjectID object,
                                          const AudioObjectPropertyAddress& address, const PropertyList* qualifier,
                                          std::uint32_t& size) {
    std::lock_guard lock(mutex_);
    size = 0;
    if (const auto status = fault(Operation::Size, object, address); status && *status != 0) return *status;
    PropertyValue value;
    if (const OSStatus status = lookup(client, object, address, qualifier, value); status != kAudioHardwareNoError)
        return status;
    return value.size(size);
}

OSStatus DeviceModel::getPropertyData(ClientId client, AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      const PropertyList* qualifier, std::uint32_t& ioSize, void* data) {
    std::lock_guard lock(mutex_);
    if (const auto status = fault(Operation::Get, object, address); status && *status != 0) {
        ioSize = 0;
        return *status;
    }
    PropertyValue value;
    if (const OSStatus status = lookup(client, object, address, qualifier, value); status != kAudioHardwareNoError) {
        ioSize = 0;
        return status;
    }
    return value.copyBytes(ioSize, data);
}

OSStatus DeviceModel::getPropertyObject(ClientId client, AudioObjectID object, const AudioObjectPropertyAddress& address,
                                        const PropertyList* qualifier, PropertyList& result) {
    std::lock_guard lock(mutex_);
    result = PropertyList();
    if (const auto status = fault(Operation::Get, object, address)) return *status;  // 0: answers null
    PropertyValue value;
    if (const OSStatus status = lookup(client, object, address, qualifier, value); status != kAudioHardwareNoError)
        return status;
    return value.takeObject(result);
}

OSStatus DeviceModel::setPropertyData(ClientId client, AudioObjectID object, const AudioObjectPropertyAddress& address,
                                      std::uint32_t size, const void* data) {
    std::lock_guard lock(mutex_);
    if (const auto status = fault(Operation::Set, object, address); status && *status != 0) return *status;
    PropertyValue value;
    if (const OSStatus status = lookup(client, object, address, nullptr, value); status != kAudioHardwareNoError)
        return status;
    if (!value.settable) return kAudioHardwareIllegalOperationError;
    if (value.object || size != value.bytes.size() || !data) return kAudioHardwareBadPropertySizeError;

    switch (address.mSelector) {
    case kAudioHardwarePropertyDefaultOutputDevice:
    case kAudioHardwarePropertyDefaultSystemOutputDevice: {
        AudioObjectID id = 0;
        std::memcpy(&id, data, sizeof id);
        const Device* device = visibleDevice(client, id);
        if (!device || streams(*device, false).empty()) return kAudioHardwareBadDeviceError;
        (address.mSelector == kAudioHardwarePropertyDefaultOutputDevice ? defaultOutput_ : defaultSystemOutput_) = id;
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyNominalSampleRate: {
        double rate = 0;
        std::memcpy(&rate, data, sizeof rate);
        Device& device = *visibleDevice(client, object);
        const auto& rates = device.config.rates;
        if (!std::isfinite(rate) || std::none_of(rates.begin(), rates.end(), [rate](const AudioValueRange& r) {
                return r.mMinimum <= rate && rate <= r.mMaximum;
            }))
            return kAudioDeviceUnsupportedFormatError;
        if (device.config.korvane && device.config.rateChangeDelay > 0) {
            device.pendingRate = rate;
            device.pendingRateAt = clock_.uptime() + device.config.rateChangeDelay;
        } else {
            device.nominalRate = rate;
            device.pendingRate.reset();
            publish();
        }
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyVolumeScalar: {
        float level = 0;
        std::memcpy(&level, data, sizeof level);
        if (!std::isfinite(level)) return kAudioHardwareIllegalOperationError;
        Device& device = *visibleDevice(client, object);
        for (auto& control : device.volumes)
            if (control.element == address.mElement) control.value = std::clamp(level, 0.0f, 1.0f);
        return kAudioHardwareNoError;
    }
    default:
        return kAudioHardwareIllegalOperationError;
    }
}

OSStatus DeviceModel::setPropertyObject(ClientId client, AudioObjectID object, const AudioObjectPropertyAddress& address,
                                        const PropertyList& newValue) {
    std::lock_guard lock(mutex_);
    if (const auto status = fault(Operation::Set, object, address); status && *status != 0) return *status;
    PropertyValue value;
    if (const OSStatus status = lookup(client, object, address, nullptr, value); status != kAudioHardwareNoError)
        return status;
    if (!value.settable || !value.object) return kAudioHardwareIllegalOperationError;
    Device& device = *visibleDevice(client, object);
    if (address.mSelector == kGain) {
        const auto gain = newValue.real();
        if (!gain || !std::isfinite(*gain)) return kAudioHardwareIllegalOperationError;
        device.gainDb = device.audio->korvane.setGainDb(*gain);
        return kAudioHardwareNoError;
    }
    if (address.mSelector == kChannelMode) {
        const auto mode = newValue.integer();
        if (!mode || (*mode != 0 && *mode != 1)) return kAudioHardwareIllegalOperationError;
        device.channelMode = *mode;
        device.audio->korvane.setMode(korvane::virtual_device::ChannelMode(*mode));
        return kAudioHardwareNoError;
    }
    return kAudioHardwareIllegalOperationError;
}

}  // namespace audiosim
