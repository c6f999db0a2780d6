// RemoteHardware: the platform audio interface on Linux, served by the audiosim daemon. A
// registered callback runs on a thread of this process that the daemon wakes once per cycle.
#pragma once

#include "audiosim/client/daemon_connection.h"
#include "platform/audio_hardware.h"

#include <map>
#include <memory>
#include <mutex>

namespace audiosim {

class CallbackThread;

class RemoteHardware final : public platform::audio::AudioHardware {
public:
    using AudioObjectID = platform::audio::AudioObjectID;
    using OSStatus = platform::audio::OSStatus;
    using PropertyList = platform::audio::PropertyList;

    explicit RemoteHardware(std::shared_ptr<DaemonConnection> connection);
    ~RemoteHardware() override;

    bool hasProperty(AudioObjectID, const platform::audio::AudioObjectPropertyAddress&) override;
    OSStatus isPropertySettable(AudioObjectID, const platform::audio::AudioObjectPropertyAddress&, bool&) override;
    OSStatus getPropertyDataSize(AudioObjectID, const platform::audio::AudioObjectPropertyAddress&,
                                 const PropertyList*, std::uint32_t&) override;
    OSStatus getPropertyData(AudioObjectID, const platform::audio::AudioObjectPropertyAddress&, const PropertyList*,
                             std::uint32_t&, void*) override;
    OSStatus setPropertyData(AudioObjectID, const platform::audio::AudioObjectPropertyAddress&, std::uint32_t,
                             const void*) override;
    OSStatus getPropertyObject(AudioObjectID, const platform::audio::AudioObjectPropertyAddress&, const PropertyList*,
                               PropertyList&) override;
    OSStatus setPropertyObject(AudioObjectID, const platform::audio::AudioObjectPropertyAddress&,
                               const PropertyList&) override;
    OSStatus createAggregateDevice(const PropertyList&, AudioObjectID&) override;
    OSStatus destroyAggregateDevice(AudioObjectID) override;
    OSStatus createIOProcID(AudioObjectID, platform::audio::AudioDeviceIOProc, void*,
                            platform::audio::AudioDeviceIOProcID&) override;
    OSStatus destroyIOProcID(AudioObjectID, platform::audio::AudioDeviceIOProcID) override;
    OSStatus startDevice(AudioObjectID, platform::audio::AudioDeviceIOProcID) override;
    OSStatus stopDevice(AudioObjectID, platform::audio::AudioDeviceIOProcID) override;

    DaemonConnection& connection() { return *connection_; }

private:
    std::optional<wire::Message> call(wire::Message request, int* fd = nullptr);

    std::shared_ptr<DaemonConnection> connection_;
    std::mutex callbacksMutex_;
    std::map<std::uint64_t, std::unique_ptr<CallbackThread>> callbacks_;
};

}  // namespace audiosim
