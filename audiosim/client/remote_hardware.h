// RemoteHardware: the platform audio interface on Linux, served by the audiosim daemon. A
// registered callback runs on a thread of this process that the daemon wakes once per cycle.
// When the connection breaks and a later call connects again, the callbacks registered over the
// old one are gone: calls naming them fail, and they never run again.
#pragma once

#include "audiosim/client/daemon_connection.h"
#include "platform/audio_hardware.h"

#include <atomic>
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
    // A registered callback. The caller's handle is this side's own number, never reused, so
    // that a handle of a connection that broke cannot name a callback of the next one.
    struct Callback {
        std::uint64_t generation;  // of the connection it was registered over
        std::uint64_t daemonHandle;
        std::shared_ptr<CallbackThread> thread;  // shared with calls in progress on it
    };

    std::optional<wire::Message> call(wire::Message request, int* fd = nullptr);
    // A request about `callback`, sent only over the connection it was registered over: its
    // daemon handle may name another callback on the next one.
    std::optional<wire::Message> callAbout(const Callback& callback, wire::Message request);
    // The callback behind a caller's handle while its connection lives; nothing for a gone one.
    std::optional<Callback> callbackFor(platform::audio::AudioDeviceIOProcID procID);
    // Drops the callbacks of connections that broke: their daemon no longer calls them.
    void forgetEarlierConnections();

    std::shared_ptr<DaemonConnection> connection_;
    std::mutex callbacksMutex_;
    std::map<std::uint64_t, Callback> callbacks_;
    std::uint64_t nextHandle_ = 1;
    std::atomic<std::uint64_t> knownGeneration_;
};

}  // namespace audiosim
