// Test support: the built-in machine's device UIDs; the device model in process, installed as the
// platform audio hardware, on a manual clock; and a forwarding base for fakes that alter one call
// of a real implementation.
#pragma once

#include "audiosim/model/device_model.h"
#include "platform/audio_hardware.h"
#include "platform/clock.h"

#include <memory>

namespace korvane::test {

// The UIDs of the built-in machine's devices.
inline constexpr const char* kKorvane = "audio.ravlin.stereo.v1";
inline constexpr const char* kMicrophone = "BuiltInMicrophoneDevice";
inline constexpr const char* kSpeakers = "BuiltInSpeakerDevice";
inline constexpr const char* kInterface = "USBInterface:2in2out";
inline constexpr const char* kHeadphones = "BTHeadphones:00-11-22";
inline constexpr const char* kHDMI = "HDMIDisplay:1";

struct ModelSetup {
    explicit ModelSetup(audiosim::MachineSpec machine = audiosim::builtinMachine())
        : model(std::move(machine), clock), client(model.connect()), installed(*client) {}

    platform::audio::AudioObjectID id(std::string_view uid) const { return model.deviceId(uid); }

    platform::ManualClock clock;
    audiosim::DeviceModel model;
    std::unique_ptr<platform::audio::AudioHardware> client;
    platform::audio::ScopedHardware installed;
};

// Passes every call to `inner`; a fake overrides what it changes.
class ForwardingHardware : public platform::audio::AudioHardware {
public:
    explicit ForwardingHardware(platform::audio::AudioHardware& inner) : inner_(inner) {}

    using AudioObjectID = platform::audio::AudioObjectID;
    using Address = platform::audio::AudioObjectPropertyAddress;
    using OSStatus = platform::audio::OSStatus;
    using PropertyList = platform::audio::PropertyList;

    bool hasProperty(AudioObjectID o, const Address& a) override { return inner_.hasProperty(o, a); }
    OSStatus isPropertySettable(AudioObjectID o, const Address& a, bool& s) override {
        return inner_.isPropertySettable(o, a, s);
    }
    OSStatus getPropertyDataSize(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& s) override {
        return inner_.getPropertyDataSize(o, a, q, s);
    }
    OSStatus getPropertyData(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& s,
                             void* d) override {
        return inner_.getPropertyData(o, a, q, s, d);
    }
    OSStatus setPropertyData(AudioObjectID o, const Address& a, std::uint32_t s, const void* d) override {
        return inner_.setPropertyData(o, a, s, d);
    }
    OSStatus getPropertyObject(AudioObjectID o, const Address& a, const PropertyList* q, PropertyList& v) override {
        return inner_.getPropertyObject(o, a, q, v);
    }
    OSStatus setPropertyObject(AudioObjectID o, const Address& a, const PropertyList& v) override {
        return inner_.setPropertyObject(o, a, v);
    }
    OSStatus createAggregateDevice(const PropertyList& d, AudioObjectID& id) override {
        return inner_.createAggregateDevice(d, id);
    }
    OSStatus destroyAggregateDevice(AudioObjectID id) override { return inner_.destroyAggregateDevice(id); }
    OSStatus createIOProcID(AudioObjectID d, platform::audio::AudioDeviceIOProc p, void* c,
                            platform::audio::AudioDeviceIOProcID& id) override {
        return inner_.createIOProcID(d, p, c, id);
    }
    OSStatus destroyIOProcID(AudioObjectID d, platform::audio::AudioDeviceIOProcID id) override {
        return inner_.destroyIOProcID(d, id);
    }
    OSStatus startDevice(AudioObjectID d, platform::audio::AudioDeviceIOProcID id) override {
        return inner_.startDevice(d, id);
    }
    OSStatus stopDevice(AudioObjectID d, platform::audio::AudioDeviceIOProcID id) override {
        return inner_.stopDevice(d, id);
    }

protected:
    platform::audio::AudioHardware& inner_;
};

}  // namespace korvane::test
