#include "audiosim/daemon/server.h"

#include "audiosim/daemon/connection.h"
#include "audiosim/daemon/remote_proc.h"
#include "audiosim/daemon/state_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace audiosim {

using namespace platform::audio;
using wire::Message;
using wire::statusOnly;

namespace {

constexpr std::size_t kMaxPendingOutputBytes = 8 << 20;  // a client that stops reading is dropped

Message binary(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    return Message::binary(std::vector<std::uint8_t>(bytes, bytes + size));
}

std::vector<float> floatsOf(const Message::binary_t& data) {
    std::vector<float> samples(data.size() / sizeof(float));
    if (!samples.empty()) std::memcpy(samples.data(), data.data(), samples.size() * sizeof(float));
    return samples;
}

}  // namespace

Server::Server(MachineSpec machine, SocketLocation location, std::filesystem::path stateDirectory)
    : model_(std::move(machine), clock_), location_(std::move(location)), stateDirectory_(std::move(stateDirectory)),
      systemClient_(model_.connect()) {}

Server::~Server() {
    connections_.clear();
    model_.stopClock();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(location_.socket.c_str());
    }
    if (signalFd_ >= 0) ::close(signalFd_);
    if (lockFd_ >= 0) ::close(lockFd_);
}

bool Server::takeLock(std::string& error) {
    if (error = preparePrivateDirectory(location_.directory); !error.empty()) return false;
    lockFd_ = ::open(location_.daemonLock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        error = "Another audiosim daemon is already serving " + location_.socket.string() + ".";
        return false;
    }
    return true;
}

bool Server::bindSocket(std::string& error) {
    // Holding the daemon lock, whatever is at the socket path was left by a daemon that died.
    struct stat info {};
    if (::lstat(location_.socket.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            error = location_.socket.string() + " exists and is not a socket; refusing to replace it.";
            return false;
        }
        ::unlink(location_.socket.c_str());
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (location_.socket.string().size() >= sizeof address.sun_path) {
        error = "The socket path " + location_.socket.string() + " is too long.";
        return false;
    }
    std::strcpy(address.sun_path, location_.socket.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(location_.socket.c_str(), 0600) != 0 || ::listen(listenFd_, 64) != 0) {
        error = "Cannot listen on " + location_.socket.string() + ": " + std::strerror(errno) + ".";
        return false;
    }
    return true;
}

int Server::run() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signalFd_ = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    std::signal(SIGPIPE, SIG_IGN);
    // Without it the blocked quit signals would never arrive: a daemon nobody could stop.
    if (signalFd_ < 0) {
        std::fprintf(stderr, "audiosim: Cannot watch for SIGTERM and SIGINT (signalfd: %s).\n", std::strerror(errno));
        return 1;
    }

    // The saved state is settled (read, or set aside) before the socket accepts anyone, so that
    // whoever reaches the daemon finds it in its final state, on the machine and on disk alike.
    std::string error;
    if (!takeLock(error)) {
        std::fprintf(stderr, "audiosim: %s\n", error.c_str());
        return 1;
    }
    loadState();
    if (!bindSocket(error)) {
        std::fprintf(stderr, "audiosim: %s\n", error.c_str());
        return 1;
    }
    model_.startClock(true);

    std::vector<pollfd> polled;
    for (;;) {
        polled.clear();
        polled.push_back({signalFd_, POLLIN, 0});
        polled.push_back({listenFd_, POLLIN, 0});
        for (const auto& [fd, connection] : connections_)
            polled.push_back({fd, short(POLLIN | (connection->output.empty() ? 0 : POLLOUT)), 0});
        int timeout = -1;
        if (!pendingPermissions_.empty()) {
            const auto first = std::min_element(pendingPermissions_.begin(), pendingPermissions_.end(),
                                                [](const auto& a, const auto& b) { return a.due < b.due; });
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first->due - std::chrono::steady_clock::now());
            timeout = int(std::max<long long>(left.count() + 1, 0));
        }
        if (::poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) {
            std::fprintf(stderr, "audiosim: poll failed: %s.\n", std::strerror(errno));
            return 1;
        }
        firePermissions();
        if (polled[0].revents & POLLIN) return 0;  // SIGTERM or SIGINT
        if (polled[1].revents & POLLIN) accept();
        for (std::size_t i = 2; i < polled.size(); ++i) {
            const auto it = connections_.find(polled[i].fd);
            if (it == connections_.end()) continue;
            bool keep = true;
            if (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) keep = readFrom(*it->second);
            if (keep && (polled[i].revents & POLLOUT)) keep = flush(*it->second);
            if (!keep) close(polled[i].fd);
        }
    }
}

void Server::accept() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::getuid()) {
            ::close(fd);  // only processes of the daemon's own user are served
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->client = model_.connect();
        connections_[fd] = std::move(connection);
    }
}

void Server::close(int fd) {
    std::erase_if(pendingPermissions_, [fd](const PendingPermission& p) { return p.fd == fd; });
    if (const auto found = connections_.find(fd); found != connections_.end())
        for (const auto playback : found->second->playbacks) model_.cancelPlayback(playback);
    connections_.erase(fd);
    ::close(fd);
}

bool Server::readFrom(Connection& connection) {
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::recv(connection.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            return false;
        }
        connection.input.insert(connection.input.end(), chunk, chunk + n);
        // Whole frames are handled as they complete; a bad frame ends this connection only.
        std::size_t offset = 0;
        while (connection.input.size() - offset >= wire::kHeaderBytes) {
            const auto length = wire::frameLength(connection.input.data() + offset);
            if (!length) return false;
            if (connection.input.size() - offset - wire::kHeaderBytes < *length) break;
            const auto request = wire::decodeRequest(connection.input.data() + offset + wire::kHeaderBytes, *length);
            if (!request) return false;
            offset += wire::kHeaderBytes + *length;
            int passFd = -1;
            Message answer = handle(connection, *request, passFd);
            if (answer.is_null()) continue;  // answered later
            answer["id"] = (*request)["id"];
            reply(connection, answer, passFd);
        }
        connection.input.erase(connection.input.begin(), connection.input.begin() + std::ptrdiff_t(offset));
    }
    return flush(connection);
}

void Server::reply(Connection& connection, const Message& message, int passFd) {
    auto bytes = wire::encode(message);
    connection.pendingBytes += bytes.size();
    connection.output.push_back({std::move(bytes), passFd, 0});
}

bool Server::flush(Connection& connection) {
    while (!connection.output.empty()) {
        auto& item = connection.output.front();
        const long n = wire::sendWithDescriptor(connection.fd, item.bytes.data() + item.sent, item.bytes.size() - item.sent,
                                                item.sent == 0 ? item.fd : -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) return false;
        if (item.fd >= 0) {
            ::close(item.fd);
            item.fd = -1;
        }
        item.sent += std::size_t(n);
        if (item.sent == item.bytes.size()) {
            connection.pendingBytes -= item.bytes.size();
            connection.output.pop_front();
        }
    }
    return connection.pendingBytes <= kMaxPendingOutputBytes;
}

Message Server::handle(Connection& connection, const Message& request, int& passFd) {
    const std::string op = request["op"].get<std::string>();
    if (op == op::kPing) return Message{{"status", 0}, {"pid", ::getpid()}};
    if (op == op::kStats) return statistics();
    if (op.starts_with("permission")) {
        bool deferred = false;
        Message answer = handlePermission(connection, op, request, deferred);
        if (deferred) {
            pendingPermissions_.push_back({std::chrono::steady_clock::now() +
                                               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                   std::chrono::duration<double>(permissionDelay_)),
                                           connection.fd, request["id"].get<std::uint64_t>()});
            return nullptr;
        }
        return answer;
    }
    Message answer = handleMachine(connection, op, request);
    if (!answer.is_null()) return answer;
    return handlePlatform(connection, op, request, passFd);
}

Message Server::handlePermission(Connection&, const std::string& op, const Message& request, bool& deferred) {
    if (op == op::kPermissionStatus) return Message{{"status", 0}, {"value", permissionStatus_}};
    if (op == op::kPermissionSet) {
        const auto status = wire::integerField(request, "value");
        const auto delay = wire::numberField(request, "delay");
        const auto answer = request.find("answer");
        if ((status && (*status < 0 || *status > 3)) || (delay && !(*delay >= 0 && *delay <= 60)) ||
            (answer != request.end() && !answer->is_boolean()))
            return statusOnly(kAudioHardwareIllegalOperationError);
        if (status) permissionStatus_ = int(*status);
        if (delay) permissionDelay_ = *delay;
        if (answer != request.end()) permissionAnswer_ = answer->get<bool>();
        return statusOnly(0);
    }
    if (op == op::kPermissionRequest) {
        if (permissionStatus_ == 0) {
            deferred = true;
            return nullptr;
        }
        return Message{{"status", 0}, {"granted", permissionStatus_ == 3}};
    }
    return statusOnly(kAudioHardwareUnknownPropertyError);
}

void Server::firePermissions() {
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < pendingPermissions_.size();) {
        const PendingPermission pending = pendingPermissions_[i];
        if (pending.due > now) {
            ++i;
            continue;
        }
        pendingPermissions_.erase(pendingPermissions_.begin() + std::ptrdiff_t(i));
        if (permissionStatus_ == 0) permissionStatus_ = permissionAnswer_ ? 3 : 2;
        const auto it = connections_.find(pending.fd);
        if (it == connections_.end()) continue;
        reply(*it->second, Message{{"id", pending.requestId}, {"status", 0}, {"granted", permissionStatus_ == 3}});
        if (!flush(*it->second)) close(pending.fd);
    }
}

Message Server::handleMachine(Connection& connection, const std::string& op, const Message& request) {
    const auto uid = wire::stringField(request, "uid");
    if (op == op::kPlug || op == op::kUnplug) {
        if (!uid) return statusOnly(kAudioHardwareIllegalOperationError);
        const OSStatus status = op == op::kPlug ? model_.plug(*uid) : model_.unplug(*uid);
        if (status == 0) saveState();
        return statusOnly(status);
    }
    if (op == op::kSetRate) {
        const auto rate = wire::numberField(request, "rate");
        if (!uid || !rate) return statusOnly(kAudioHardwareIllegalOperationError);
        return statusOnly(model_.setNominalRate(*uid, *rate));
    }
    if (op == op::kSetInput) {
        const auto kind = wire::stringField(request, "kind");
        if (!uid || !kind) return statusOnly(kAudioHardwareIllegalOperationError);
        Signal signal;
        if (*kind == "sine") {
            const auto frequency = wire::numberField(request, "frequency");
            const auto level = wire::numberField(request, "level");
            if (!frequency || !(*frequency > 0 && *frequency < 1e6) || !level || !(*level <= 0 && *level >= -200))
                return statusOnly(kAudioHardwareIllegalOperationError);
            signal = {Signal::Kind::Sine, *frequency, *level, {}};
        } else if (*kind == "samples") {
            const auto* data = wire::binaryField(request, "data");
            if (!data || data->empty()) return statusOnly(kAudioHardwareIllegalOperationError);
            signal.kind = Signal::Kind::Samples;
            signal.samples = floatsOf(*data);
        } else if (*kind != "silence") {
            return statusOnly(kAudioHardwareIllegalOperationError);
        }
        return statusOnly(model_.setInputSignal(*uid, std::move(signal)));
    }
    if (op == op::kTakeTap) {
        if (!uid) return statusOnly(kAudioHardwareIllegalOperationError);
        const auto samples = model_.takeOutputTap(*uid, wire::kMaxDataBytes / sizeof(float));
        return Message{{"status", 0}, {"data", binary(samples.data(), samples.size() * sizeof(float))}};
    }
    if (op == op::kPlay) {
        const auto channels = wire::unsignedField(request, "channels");
        const auto* data = wire::binaryField(request, "data");
        const auto append = wire::unsignedField(request, "append").value_or(0);
        if (!uid || !channels || !data || *channels == 0 || *channels > 64) return statusOnly(kAudioHardwareIllegalOperationError);
        const auto rate = wire::numberField(request, "rate").value_or(0);  // absent: the device's own
        if (!std::isfinite(rate) || rate < 0) return statusOnly(kAudioHardwareIllegalOperationError);
        const auto id = model_.enqueuePlayback(*uid, std::uint32_t(*channels), floatsOf(*data), append, rate);
        if (id == 0) return statusOnly(kAudioHardwareBadDeviceError);
        std::erase_if(connection.playbacks, [this](std::uint64_t p) { return !model_.playbackRemaining(p); });
        connection.playbacks.insert(id);
        return Message{{"status", 0}, {"playback", id}};
    }
    if (op == op::kPlaybackState) {
        const auto id = wire::unsignedField(request, "playback");
        if (!id) return statusOnly(kAudioHardwareIllegalOperationError);
        const auto remaining = model_.playbackRemaining(*id);
        return Message{{"status", 0}, {"remaining", remaining.value_or(0)}, {"playing", remaining.has_value()}};
    }
    if (op == op::kStopPlayback) {
        const auto id = wire::unsignedField(request, "playback");
        if (!id) return statusOnly(kAudioHardwareIllegalOperationError);
        model_.cancelPlayback(*id);
        return statusOnly(0);
    }
    return nullptr;
}

Message Server::statistics() const {
    std::map<std::string, std::uint64_t> remoteXruns;
    for (const auto& [fd, connection] : connections_)
        for (const auto& [handle, proc] : connection->procs) remoteXruns[proc.deviceUID] += proc.remote->xruns();
    Message devices = Message::array();
    std::uint64_t cycles = 0;
    std::uint64_t xruns = 0;
    for (const auto& device : model_.stats()) {
        const std::uint64_t deviceXruns = device.xruns + remoteXruns[device.uid];
        cycles += device.cycles;
        xruns += deviceXruns;
        devices.push_back({{"uid", device.uid}, {"cycles", device.cycles}, {"xruns", deviceXruns}});
    }
    return Message{{"status", 0}, {"cycles", cycles}, {"xruns", xruns}, {"clients", connections_.size()},
                   {"prompts", pendingPermissions_.size()}, {"devices", devices}};
}

void Server::loadState() {
    std::string error;
    if (const auto state = readStateFile(stateDirectory_, error))
        model_.restore(*state, *systemClient_);
    else if (!error.empty())
        std::fprintf(stderr, "audiosim: %s Starting afresh from the machine description.\n", error.c_str());
}

void Server::saveState() {
    if (const auto error = writeStateFile(stateDirectory_, model_.persistentState()); !error.empty())
        std::fprintf(stderr, "audiosim: %s\n", error.c_str());
}

}  // namespace audiosim
