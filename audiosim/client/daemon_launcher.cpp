#include "audiosim/client/daemon_launcher.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace audiosim {

namespace {

using namespace std::chrono_literals;

constexpr auto kStartDeadline = 5000ms;  // a daemon that exits is noticed at once; this bounds a stuck one
constexpr std::size_t kMaxReportedBytes = 2048;

bool executable(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::filesystem::path logPath(const SocketLocation& location) {
    return location.directory / (location.socket.filename().string() + ".log");
}

std::size_t sizeOf(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? std::size_t(info.st_size) : 0;
}

// The last line the daemon wrote to its log after `from`, without its "audiosim: " prefix.
std::string lastWords(const std::filesystem::path& log, std::size_t from) {
    const int fd = ::open(log.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {};
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && std::size_t(info.st_size) > from) {
        const std::size_t size = std::min(std::size_t(info.st_size) - from, kMaxReportedBytes);
        text.resize(size);
        const ssize_t n = ::pread(fd, text.data(), size, off_t(std::size_t(info.st_size) - size));
        text.resize(n > 0 ? std::size_t(n) : 0);
    }
    ::close(fd);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (const auto newline = text.rfind('\n'); newline != std::string::npos) text.erase(0, newline + 1);
    if (text.starts_with("audiosim: ")) text.erase(0, 10);
    return text;
}

}  // namespace

std::string daemonProgram() {
    if (const char* program = std::getenv("AUDIOSIM_BINARY"); program && *program) return program;
    std::error_code failed;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (!failed)
        for (auto directory = self.parent_path(); !directory.empty(); directory = directory.parent_path()) {
            for (const auto& candidate : {directory / "bin" / "audiosim", directory / "audiosim"})
                if (executable(candidate)) return candidate.string();
            if (directory == directory.root_path()) break;
        }
    return "audiosim";
}

int connectToSocket(const std::filesystem::path& socket) {
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

int launchDaemon(const SocketLocation& location, std::string& error) {
    const std::string program = daemonProgram();
    const auto log = logPath(location);
    const std::size_t logStart = sizeOf(log);
    // The daemon's stdout, which it never writes: the pipe reads end-of-file once it has exited.
    int life[2];
    if (::pipe2(life, O_CLOEXEC) != 0) {
        error = "Could not start the audiosim daemon: " + std::string(std::strerror(errno)) + ".";
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        const int null = ::open("/dev/null", O_RDWR);
        const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
        ::dup2(null, 0);
        ::dup2(life[1], 1);
        ::dup2(logFd >= 0 ? logFd : null, 2);
        ::execlp(program.c_str(), program.c_str(), "server", static_cast<char*>(nullptr));
        ::dprintf(2, "audiosim: Cannot run %s: %s.\n", program.c_str(), std::strerror(errno));
        ::_exit(127);
    }
    ::close(life[1]);
    if (child > 0) ::waitpid(child, nullptr, 0);

    int fd = -1;
    bool exited = child < 0;
    const auto deadline = std::chrono::steady_clock::now() + kStartDeadline;
    while (fd < 0 && !exited && std::chrono::steady_clock::now() < deadline) {
        pollfd watched{life[0], POLLIN, 0};
        if (::poll(&watched, 1, 10) > 0) {
            char discard[256];
            exited = ::read(life[0], discard, sizeof discard) == 0;
        }
        fd = connectToSocket(location.socket);  // also after an exit: another daemon may have won
    }
    ::close(life[0]);
    if (fd >= 0) return fd;
    const std::string words = lastWords(log, logStart);
    error = "Could not start the audiosim daemon (" + program + " server): " +
            (!words.empty() ? words
             : exited       ? std::string("it exited without saying why.")
                            : "it did not answer within 5 s.");
    return -1;
}

}  // namespace audiosim
