#include "audiosim/client/daemon_connection.h"

#include "audiosim/protocol/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef AUDIOSIM_BUILT_PROGRAM
#define AUDIOSIM_BUILT_PROGRAM ""
#endif

namespace audiosim {

namespace {

using namespace std::chrono_literals;

int connectTo(const std::filesystem::path& socket) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket.string().size() >= sizeof address.sun_path) return -1;
    std::strcpy(address.sun_path, socket.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Starts the daemon detached from this process (its own session, no controlling terminal), so
// that it outlives the client that started it and is never left a zombie.
bool spawnDaemon(const SocketLocation& location) {
    const std::string program = daemonProgram();
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        const int null = ::open("/dev/null", O_RDWR);
        const std::string log = (location.directory / (location.socket.filename().string() + ".log")).string();
        const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(logFd >= 0 ? logFd : null, 2);
        ::execlp(program.c_str(), program.c_str(), "server", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return true;
}

}  // namespace

std::string daemonProgram() {
    if (const char* program = std::getenv("AUDIOSIM_BINARY"); program && *program) return program;
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        const auto beside = std::filesystem::path(self).parent_path() / "audiosim";
        if (::access(beside.c_str(), X_OK) == 0) return beside.string();
    }
    if (*AUDIOSIM_BUILT_PROGRAM && ::access(AUDIOSIM_BUILT_PROGRAM, X_OK) == 0) return AUDIOSIM_BUILT_PROGRAM;
    return "audiosim";
}

std::unique_ptr<DaemonConnection> DaemonConnection::open(std::string& error) {
    const SocketLocation location = socketLocation();
    if (const int fd = connectTo(location.socket); fd >= 0) return std::unique_ptr<DaemonConnection>(new DaemonConnection(fd));
    if (const char* autospawn = std::getenv("AUDIOSIM_AUTOSPAWN"); autospawn && std::string(autospawn) == "0") {
        error = "No audiosim daemon is running at " + location.socket.string() + ".";
        return nullptr;
    }
    if (error = preparePrivateDirectory(location.directory); !error.empty()) return nullptr;

    // One client starts the daemon; the others wait on the lock and then find it running.
    const int lock = ::open(location.spawnLock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        if (lock >= 0) ::close(lock);
        error = "Cannot lock " + location.spawnLock.string() + ".";
        return nullptr;
    }
    int fd = connectTo(location.socket);
    if (fd < 0 && spawnDaemon(location)) {
        for (auto waited = 0ms; fd < 0 && waited < 2000ms; waited += 10ms) {
            std::this_thread::sleep_for(10ms);
            fd = connectTo(location.socket);
        }
    }
    ::close(lock);
    if (fd < 0) {
        error = "Could not start the audiosim daemon (" + daemonProgram() + " server).";
        return nullptr;
    }
    return std::unique_ptr<DaemonConnection>(new DaemonConnection(fd));
}

DaemonConnection::DaemonConnection(int fd) : fd_(fd) {
    if (const char* value = std::getenv("AUDIOSIM_TIMEOUT_MS"); value && *value) {
        const long milliseconds = std::strtol(value, nullptr, 10);
        if (milliseconds > 0 && milliseconds < 600000) timeout_ = std::chrono::milliseconds(milliseconds);
    }
}

DaemonConnection::~DaemonConnection() { ::close(fd_); }

std::optional<wire::Message> DaemonConnection::call(wire::Message request, int* receivedFd) {
    return call(std::move(request), timeout_, receivedFd);
}

std::optional<wire::Message> DaemonConnection::call(wire::Message request, std::chrono::milliseconds timeout,
                                                    int* receivedFd) {
    std::lock_guard lock(mutex_);
    if (receivedFd) *receivedFd = -1;
    const std::uint64_t id = nextId_++;
    request["id"] = id;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!wire::sendMessage(fd_, request, timeout)) return std::nullopt;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return std::nullopt;
        int fd = -1;
        auto reply = wire::receiveMessage(fd_, left, &fd);
        if (!reply) return std::nullopt;
        const auto replyId = wire::unsignedField(*reply, "id");
        if (replyId == id && wire::integerField(*reply, "status")) {
            if (receivedFd)
                *receivedFd = fd;
            else if (fd >= 0)
                ::close(fd);
            return reply;
        }
        if (fd >= 0) ::close(fd);  // the late answer to a call that timed out
    }
}

}  // namespace audiosim
