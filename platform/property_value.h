// One property's value as an implementation of AudioHardware answers it, and the size, raw-byte
// and object reads every implementation answers the same way from it.
#pragma once

#include "platform/audio_types.h"
#include "platform/property_list.h"

#include <cstring>
#include <optional>
#include <vector>

namespace platform::audio {

// Raw bytes (an array of `element`-byte entries when element > 0, else one fixed-size value) or
// an object. A lookup can find the property yet fail to read it: `status` says so.
struct PropertyValue {
    static constexpr std::uint32_t kObjectReferenceSize = 8;

    OSStatus status = kAudioHardwareNoError;
    std::vector<std::byte> bytes;
    std::size_t element = 0;
    std::optional<PropertyList> object;
    bool settable = false;

    template <class T>
    void set(const T& value) {
        bytes.resize(sizeof(T));
        std::memcpy(bytes.data(), &value, sizeof(T));
    }
    template <class T>
    void setArray(const std::vector<T>& values) {
        bytes.resize(values.size() * sizeof(T));
        if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
        element = sizeof(T);
    }

    // The size query: an object answers the size of one object reference.
    OSStatus size(std::uint32_t& size) const {
        size = 0;
        if (status != kAudioHardwareNoError) return status;
        size = object ? kObjectReferenceSize : std::uint32_t(bytes.size());
        return kAudioHardwareNoError;
    }

    // Copies at most `ioSize` bytes: an array as many whole entries as fit, a fixed value only
    // whole. Objects are read through copyObject.
    OSStatus copyBytes(std::uint32_t& ioSize, void* data) const {
        const std::uint32_t capacity = ioSize;
        ioSize = 0;
        if (status != kAudioHardwareNoError) return status;
        if (object) return kAudioHardwareBadPropertySizeError;
        std::size_t count = bytes.size();
        if (capacity < count) {
            if (element == 0) return kAudioHardwareBadPropertySizeError;
            count = capacity / element * element;
        }
        if (count > 0 && !data) return kAudioHardwareIllegalOperationError;
        if (count > 0) std::memcpy(data, bytes.data(), count);
        ioSize = std::uint32_t(count);
        return kAudioHardwareNoError;
    }

    OSStatus takeObject(PropertyList& result) {
        result = PropertyList();
        if (status != kAudioHardwareNoError) return status;
        if (!object) return kAudioHardwareBadPropertySizeError;
        result = std::move(*object);
        return kAudioHardwareNoError;
    }
};

}  // namespace platform::audio
