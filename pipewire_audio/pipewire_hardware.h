// PipeWireHardware: the platform audio interface over the user's PipeWire session. Devices are
// the graph's sinks and sources (device_table.h); the default output is the "default" metadata;
// the KORVANE device's settings and telemetry travel through korvane-driver's Props and its
// "korvane" metadata; private aggregates live in this process and run their I/O callbacks as one
// filter node (route_filter.h); the public DAW device is hosted by korvane-driver.
//
// Thread contract: any thread. Every call takes the connection's lock and reads the graph its
// events keep; a write waits (bounded) until the server shows it, and answers
// kAudioHardwareNotRunningError while the server is gone.
#pragma once

#include "pipewire_audio/device_table.h"
#include "pipewire_audio/graph_connection.h"
#include "pipewire_audio/route_filter.h"
#include "platform/audio_hardware.h"
#include "platform/property_value.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace korvane::pipewire_audio {

using platform::audio::AudioObjectPropertyAddress;
using platform::audio::OSStatus;
using platform::audio::PropertyList;
using platform::audio::PropertyValue;

class PipeWireHardware final : public platform::audio::AudioHardware {
public:
    explicit PipeWireHardware(std::shared_ptr<GraphConnection> connection);
    ~PipeWireHardware() override;

    bool hasProperty(AudioObjectID, const AudioObjectPropertyAddress&) override;
    OSStatus isPropertySettable(AudioObjectID, const AudioObjectPropertyAddress&, bool&) override;
    OSStatus getPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList*,
                                 std::uint32_t&) override;
    OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList*, std::uint32_t&,
                             void*) override;
    OSStatus setPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*) override;
    OSStatus getPropertyObject(AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList*,
                               PropertyList&) override;
    OSStatus setPropertyObject(AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList&) override;
    OSStatus createAggregateDevice(const PropertyList&, AudioObjectID&) override;
    OSStatus destroyAggregateDevice(AudioObjectID) override;
    OSStatus createIOProcID(AudioObjectID, platform::audio::AudioDeviceIOProc, void*,
                            platform::audio::AudioDeviceIOProcID&) override;
    OSStatus destroyIOProcID(AudioObjectID, platform::audio::AudioDeviceIOProcID) override;
    OSStatus startDevice(AudioObjectID, platform::audio::AudioDeviceIOProcID) override;
    OSStatus stopDevice(AudioObjectID, platform::audio::AudioDeviceIOProcID) override;

    GraphConnection& connection() { return *connection_; }

private:
    // A private aggregate: made by this process, gone with it.
    struct Aggregate {
        std::string uid;
        std::string name;
        std::vector<std::string> subdeviceUIDs;
        std::string clockUID;
    };
    // What an id names, as of the last refresh.
    struct Device {
        AudioObjectID id = 0;
        const DeviceEntry* entry = nullptr;      // a device of the graph
        const Aggregate* aggregate = nullptr;    // or one of this process's aggregates
        std::vector<const DeviceEntry*> members;  // whose channels it presents, in order
    };
    struct IOProc {
        AudioObjectID device = 0;
        platform::audio::AudioDeviceIOProc proc = nullptr;
        void* clientData = nullptr;
        std::unique_ptr<RouteFilter> filter;
    };
    using Lock = GraphConnection::Lock;

    // Lock held: brings the id tables up to the graph.
    void refresh();
    const Device* device(AudioObjectID id) const;
    const DeviceEntry* entryByUID(const std::string& uid) const;
    OSStatus lookup(AudioObjectID object, const AudioObjectPropertyAddress& address, const PropertyList* qualifier,
                    PropertyValue& value);
    OSStatus lookupDevice(const Device& device, const AudioObjectPropertyAddress& address, PropertyValue& value);
    double nominalRate(const Device& device) const;
    std::uint32_t channels(const Device& device, bool input) const;
    bool runningSomewhere(const Device& device) const;

    OSStatus setDefaultOutput(const Device& device);
    // Writes one of KORVANE's Props keys and waits, up to `seconds`, until `shown` holds.
    OSStatus setKorvaneParam(const DeviceEntry& korvane, const char* key, double value,
                             const std::function<bool(const KorvaneSettings&)>& shown, double seconds);
    OSStatus setKorvaneRate(const Device& korvane, double rate);
    OSStatus setVolume(const DeviceEntry& entry, float level);
    OSStatus createDAWDevice(const std::vector<std::string>& subdevices, const std::string& uid, const std::string& name,
                             AudioObjectID& id);

    std::shared_ptr<GraphConnection> connection_;
    std::uint64_t generation_ = 0;
    std::uint64_t tableVersion_ = ~std::uint64_t(0);
    std::vector<DeviceEntry> table_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::map<AudioObjectID, Device> devices_;
    std::map<AudioObjectID, std::pair<AudioObjectID, std::uint32_t>> streams_;  // stream → device, channel (inputs first)
    IdTable ids_;
    std::map<std::uintptr_t, IOProc> procs_;
    std::uintptr_t nextProc_ = 1;
    // The configured default before KORVANE was made the default: put back exactly when the
    // output it stood for is chosen again, by whichever process does. Kept in the driver's
    // "korvane" metadata, so that the panel restores what its helper replaced; in this process
    // when there is no driver to keep it.
    struct EarlierDefault {
        std::optional<std::string> configured;
        std::string effective;
    };
    std::optional<EarlierDefault> earlierDefault() const;
    void rememberEarlierDefault(const std::optional<EarlierDefault>& earlier);
    std::optional<EarlierDefault> localEarlierDefault_;
};

}  // namespace korvane::pipewire_audio
