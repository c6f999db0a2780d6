#include "system/audio_system.h"

#include "audiosim/client/remote_hardware.h"
#include "audiosim/client/remote_services.h"

namespace korvane::system {

std::optional<AudioSystem> connectAudioSystem(std::string& error) {
    std::shared_ptr<audiosim::DaemonConnection> connection = audiosim::DaemonConnection::open(error);
    if (!connection) return std::nullopt;
    AudioSystem system;
    system.hardware = std::make_unique<audiosim::RemoteHardware>(connection);
    system.queues = std::make_unique<audiosim::RemoteQueueService>(connection);
    system.capturePermission = std::make_unique<audiosim::RemoteCapturePermission>(connection);
    return system;
}

}  // namespace korvane::system
