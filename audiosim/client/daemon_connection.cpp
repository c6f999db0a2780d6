#include "audiosim/client/daemon_connection.h"

#include "audiosim/client/daemon_launcher.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace audiosim {

namespace {

using namespace std::chrono_literals;

// Connects to the user's daemon, starting it when none runs (unless AUDIOSIM_AUTOSPAWN=0).
// Returns the socket, or -1 with the reason in `error`.
int connectToDaemon(std::string& error) {
    const SocketLocation location = socketLocation();
    if (const int fd = connectToSocket(location.socket); fd >= 0) return fd;
    if (const char* autospawn = std::getenv("AUDIOSIM_AUTOSPAWN"); autospawn && std::string(autospawn) == "0") {
        error = "No audiosim daemon is running at " + location.socket.string() + ".";
        return -1;
    }
    if (error = preparePrivateDirectory(location.directory); !error.empty()) return -1;

    // One client starts the daemon; the others wait on the lock and then find it running.
    const int lock = ::open(location.spawnLock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        if (lock >= 0) ::close(lock);
        error = "Cannot lock " + location.spawnLock.string() + ".";
        return -1;
    }
    int fd = connectToSocket(location.socket);
    if (fd < 0) fd = launchDaemon(location, error);
    ::close(lock);
    return fd;
}

}  // namespace

std::unique_ptr<DaemonConnection> DaemonConnection::open(std::string& error) {
    const int fd = connectToDaemon(error);
    return fd >= 0 ? std::unique_ptr<DaemonConnection>(new DaemonConnection(fd)) : nullptr;
}

DaemonConnection::DaemonConnection(int fd) : fd_(fd) {
    if (const char* value = std::getenv("AUDIOSIM_TIMEOUT_MS"); value && *value) {
        const long milliseconds = std::strtol(value, nullptr, 10);
        if (milliseconds > 0 && milliseconds < 600000) timeout_ = std::chrono::milliseconds(milliseconds);
    }
}

DaemonConnection::~DaemonConnection() {
    if (fd_ >= 0) ::close(fd_);
    for (const auto& passed : passedFds_) ::close(passed.second);
}

void DaemonConnection::cancel() {
    cancelled_.store(true, std::memory_order_release);
    std::lock_guard lock(fdMutex_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);  // wakes a call waiting in poll
}

void DaemonConnection::breakConnection() {
    {
        std::lock_guard lock(fdMutex_);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    inbox_.clear();
    inboxStart_ = 0;
    for (const auto& passed : passedFds_) ::close(passed.second);
    passedFds_.clear();
    unanswered_ = false;
}

bool DaemonConnection::reconnect() {
    std::string error;
    const int fd = connectToDaemon(error);
    if (fd < 0) return false;
    {
        std::lock_guard lock(fdMutex_);
        fd_ = fd;
    }
    generation_.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

DaemonConnection::Arrival DaemonConnection::receive(std::chrono::milliseconds wait) {
    pollfd ready{fd_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, int(std::clamp<long long>(wait.count(), 0, 1 << 30)));
    if (polled == 0 || (polled < 0 && errno == EINTR)) return Arrival::Nothing;
    if (polled < 0) return Arrival::Closed;
    std::uint8_t chunk[64 * 1024];
    iovec vector{chunk, sizeof chunk};
    msghdr header{};
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd_, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return Arrival::Nothing;
    if (n <= 0) return Arrival::Closed;
    // A descriptor comes with the first bytes of the reply it belongs to: the kernel never joins
    // bytes sent before it into the same read.
    const std::uint64_t at = inboxStart_ + inbox_.size();
    for (cmsghdr* entry = CMSG_FIRSTHDR(&header); entry; entry = CMSG_NXTHDR(&header, entry)) {
        if (entry->cmsg_level != SOL_SOCKET || entry->cmsg_type != SCM_RIGHTS) continue;
        int passed = -1;
        std::memcpy(&passed, CMSG_DATA(entry), sizeof passed);
        passedFds_.emplace_back(at, passed);
    }
    inbox_.insert(inbox_.end(), chunk, chunk + n);
    return Arrival::Some;
}

std::optional<wire::Message> DaemonConnection::nextMessage(int& passedFd) {
    passedFd = -1;
    if (inbox_.size() < wire::kHeaderBytes) return std::nullopt;
    const auto length = wire::frameLength(inbox_.data());
    if (!length) {
        breakConnection();
        return std::nullopt;
    }
    const std::size_t frame = wire::kHeaderBytes + *length;
    if (inbox_.size() < frame) return std::nullopt;
    auto message = wire::decodeReply(inbox_.data() + wire::kHeaderBytes, *length);
    const std::uint64_t end = inboxStart_ + frame;
    while (!passedFds_.empty() && passedFds_.front().first < end) {
        if (passedFd < 0)
            passedFd = passedFds_.front().second;
        else
            ::close(passedFds_.front().second);
        passedFds_.pop_front();
    }
    inbox_.erase(inbox_.begin(), inbox_.begin() + std::ptrdiff_t(frame));
    inboxStart_ = end;
    if (!message) {
        if (passedFd >= 0) ::close(passedFd);
        passedFd = -1;
        breakConnection();
    }
    return message;
}

std::optional<wire::Message> DaemonConnection::call(wire::Message request, int* receivedFd) {
    return call(std::move(request), timeout_, receivedFd);
}

std::optional<wire::Message> DaemonConnection::call(wire::Message request, std::chrono::milliseconds timeout,
                                                    int* receivedFd) {
    return exchange(std::move(request), timeout, receivedFd, 0);
}

std::optional<wire::Message> DaemonConnection::callOver(std::uint64_t generation, wire::Message request) {
    return exchange(std::move(request), timeout_, nullptr, generation);
}

std::optional<wire::Message> DaemonConnection::exchange(wire::Message request, std::chrono::milliseconds timeout,
                                                        int* receivedFd, std::uint64_t generation) {
    // How long a call after a timed-out one looks for a sign of life before it fails.
    constexpr auto kProbe = 100ms;
    std::lock_guard lock(mutex_);
    if (receivedFd) *receivedFd = -1;
    if (cancelled_.load(std::memory_order_acquire)) return std::nullopt;
    if (unanswered_) {
        // Anything from the daemon proves it alive; what is already there is read below.
        const Arrival arrival = receive(kProbe);
        if (arrival == Arrival::Closed) breakConnection();
        if (arrival == Arrival::Nothing) return std::nullopt;
        unanswered_ = false;
    }
    if (generation != 0 && (fd_ < 0 || generation_.load(std::memory_order_relaxed) != generation)) return std::nullopt;
    if (fd_ < 0 && !reconnect()) return std::nullopt;

    const std::uint64_t id = nextId_++;
    request["id"] = id;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!wire::sendMessage(fd_, request, timeout)) {
        breakConnection();  // perhaps part of a message went out: the stream is lost
        return std::nullopt;
    }
    for (;;) {
        int fd = -1;
        while (auto reply = nextMessage(fd)) {
            if (wire::unsignedField(*reply, "id") == id) {
                if (receivedFd)
                    *receivedFd = fd;
                else if (fd >= 0)
                    ::close(fd);
                return reply;
            }
            if (fd >= 0) ::close(fd);  // the late answer to a call that timed out
        }
        if (fd_ < 0) return std::nullopt;  // a malformed message broke the connection
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0 || cancelled_.load(std::memory_order_acquire)) {
            unanswered_ = !cancelled_.load(std::memory_order_acquire);
            return std::nullopt;
        }
        if (receive(left) == Arrival::Closed) {
            breakConnection();  // the daemon ended: this call fails, the next connects again
            return std::nullopt;
        }
    }
}

}  // namespace audiosim
