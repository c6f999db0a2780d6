// AudioHardware: the platform's audio hardware layer as one interface (property queries, aggregate
// devices, I/O callbacks), and the one process-wide instance that programs install.
#pragma once

#include "platform/audio_types.h"
#include "platform/property_list.h"

namespace platform::audio {

// The call shapes mirror the platform's closely: raw-byte property access keeps the fixed layouts
// of audio_types.h, and object-valued properties (strings, numbers, arrays, dictionaries) travel
// as PropertyList through getPropertyObject/setPropertyObject. Their size query answers 8, the
// size of one object reference. Every call returns a status (0 = success) and never throws.
//
// Thread contract: an implementation is callable from any thread. I/O callbacks run on a thread
// of the implementation's choosing and must follow the real-time rules.
class AudioHardware {
public:
    virtual ~AudioHardware() = default;

    virtual bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) = 0;
    virtual OSStatus isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                        bool& settable) = 0;
    // `qualifier` is null or one object (the UID string of a translation query).
    virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         const PropertyList* qualifier, std::uint32_t& size) = 0;
    // Effects: copies at most `ioSize` bytes of the value into `data`.
    // Returns: status; `ioSize` becomes the number of bytes written.
    virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     const PropertyList* qualifier, std::uint32_t& ioSize, void* data) = 0;
    virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t size, const void* data) = 0;
    virtual OSStatus getPropertyObject(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       const PropertyList* qualifier, PropertyList& value) = 0;
    virtual OSStatus setPropertyObject(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       const PropertyList& value) = 0;

    virtual OSStatus createAggregateDevice(const PropertyList& description, AudioObjectID& device) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    virtual OSStatus createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                                    AudioDeviceIOProcID& procID) = 0;
    virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
    virtual OSStatus startDevice(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
    virtual OSStatus stopDevice(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
};

// The installed instance. Programs install theirs in main before any other thread runs; calling
// hardware() with nothing installed is a programming error and aborts.
AudioHardware& hardware();
// Returns the previously installed instance (null when none).
AudioHardware* installHardware(AudioHardware* instance);

// Installs an instance for a scope and puts the previous one back at its end (tests).
class ScopedHardware {
public:
    explicit ScopedHardware(AudioHardware& instance) : previous_(installHardware(&instance)) {}
    ~ScopedHardware() { installHardware(previous_); }
    ScopedHardware(const ScopedHardware&) = delete;
    ScopedHardware& operator=(const ScopedHardware&) = delete;

private:
    AudioHardware* previous_;
};

// Typed helpers over the raw calls for fixed-size values. Each returns the call's status; a value
// of the wrong size counts as kAudioHardwareBadPropertySizeError.
template <class T>
OSStatus getProperty(AudioObjectID object, const AudioObjectPropertyAddress& address, T& value,
                     const PropertyList* qualifier = nullptr) {
    std::uint32_t size = sizeof(T);
    const OSStatus status = hardware().getPropertyData(object, address, qualifier, size, &value);
    if (status != kAudioHardwareNoError) return status;
    return size == sizeof(T) ? kAudioHardwareNoError : kAudioHardwareBadPropertySizeError;
}

// The device with this UID as `hardware` sees it (the translation query on the system object);
// 0 when there is none or the query fails.
AudioObjectID deviceForUID(AudioHardware& hardware, std::string_view uid);

template <class T>
OSStatus setProperty(AudioObjectID object, const AudioObjectPropertyAddress& address, const T& value) {
    return hardware().setPropertyData(object, address, sizeof(T), &value);
}

}  // namespace platform::audio
