#include "system/audio_system.h"

#include "audiosim/client/remote_hardware.h"
#include "audiosim/client/remote_services.h"
#include "pipewire_audio/device_table.h"
#include "pipewire_audio/pipewire_hardware.h"
#include "pipewire_audio/pipewire_services.h"
#include "platform/detached_launch.h"
#include "platform/file_descriptor.h"
#include "platform/wording.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace korvane::system {

namespace {

constexpr const char* kDriverProgram = "korvane-driver";
constexpr double kDriverWaitSeconds = 5.0;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// korvane-driver beside this program, else the first on PATH; empty when there is none.
std::filesystem::path driverProgram() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && ::access((self.parent_path() / kDriverProgram).c_str(), X_OK) == 0)
        return self.parent_path() / kDriverProgram;
    const std::string path = environment("PATH");
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        const std::filesystem::path candidate = std::filesystem::path(path.substr(start, end - start)) / kDriverProgram;
        if (end > start && candidate.is_absolute() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

bool hasKorvaneDevice(pipewire_audio::GraphConnection& connection) {
    // Ready once its channels are there: the ports follow the node.
    const auto* sink = connection.graph().nodeNamed(pipewire_audio::kKorvaneSink);
    return sink && !connection.graph().channelPorts(sink->id, false).empty();
}

// A first launch finds the device: the driver is started when the session has none.
void startDriverWhenMissing(pipewire_audio::GraphConnection& connection) {
    pipewire_audio::GraphConnection::Lock lock(connection);
    if (hasKorvaneDevice(connection)) return;
    const auto program = driverProgram();
    if (program.empty()) {
        std::fprintf(stderr, "KORVANE: %s is not installed; the KORVANE device is missing\n", kDriverProgram);
        return;
    }
    if (const auto failure = platform::startDetached(program)) {
        std::fprintf(stderr, "KORVANE: could not start %s: %s\n", program.c_str(), failure->c_str());
        return;
    }
    connection.waitFor([&] { return hasKorvaneDevice(connection); }, kDriverWaitSeconds);
}

std::optional<AudioSystem> connectPipeWire(std::string& error) {
    std::shared_ptr<pipewire_audio::GraphConnection> connection = pipewire_audio::GraphConnection::open(error);
    if (!connection) return std::nullopt;
    startDriverWhenMissing(*connection);
    AudioSystem system;
    system.kind = AudioSystemKind::PipeWire;
    system.hardware = std::make_unique<pipewire_audio::PipeWireHardware>(connection);
    system.queues = std::make_unique<pipewire_audio::PipeWireQueueService>(connection);
    system.capturePermission = std::make_unique<pipewire_audio::PipeWireCapturePermission>();
    platform::installWording(platform::kLinuxDesktopWording);
    return system;
}

std::optional<AudioSystem> connectAudiosim(std::string& error) {
    std::shared_ptr<audiosim::DaemonConnection> connection = audiosim::DaemonConnection::open(error);
    if (!connection) return std::nullopt;
    AudioSystem system;
    system.hardware = std::make_unique<audiosim::RemoteHardware>(connection);
    system.queues = std::make_unique<audiosim::RemoteQueueService>(connection);
    system.capturePermission = std::make_unique<audiosim::RemoteCapturePermission>(connection);
    platform::installWording(platform::kMacWording);
    return system;
}

}  // namespace

bool pipewireServerAnswers() {
    std::string remote = environment("PIPEWIRE_REMOTE");
    if (remote.empty()) remote = "pipewire-0";
    std::string directory = environment("PIPEWIRE_RUNTIME_DIR");
    if (directory.empty()) directory = environment("XDG_RUNTIME_DIR");
    const std::string path = remote.starts_with('/') ? remote : directory + "/" + remote;
    sockaddr_un address{};
    if (directory.empty() && !remote.starts_with('/')) return false;
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const platform::FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return socket.get() >= 0 && ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

std::optional<AudioSystem> connectAudioSystem(std::string& error) {
    std::string chosen = environment(kAudioSystemVariable);
    if (chosen.empty()) chosen = pipewireServerAnswers() ? "pipewire" : "audiosim";
    if (chosen != "pipewire" && chosen != "audiosim") {
        error = std::string(kAudioSystemVariable) + " must be \"pipewire\" or \"audiosim\", not \"" + chosen + "\"";
        return std::nullopt;
    }
    ::setenv(kAudioSystemVariable, chosen.c_str(), 1);
    return chosen == "pipewire" ? connectPipeWire(error) : connectAudiosim(error);
}

}  // namespace korvane::system
