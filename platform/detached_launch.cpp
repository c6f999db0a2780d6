#include "platform/detached_launch.h"

#include "platform/file_descriptor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace platform {

namespace {

// Everything below runs in a forked child of a possibly multi-threaded process: only
// async-signal-safe calls, no allocation, until exec.

[[noreturn]] void reportAndExit(int errorPipe, int error) {
    (void)!::write(errorPipe, &error, sizeof error);
    ::_exit(127);
}

void closeDescriptorsExcept(int kept, int descriptorLimit) {
    // `kept` is at least 3.
    const bool below = kept == 3 || ::close_range(3, unsigned(kept) - 1, 0) == 0;
    if (below && ::close_range(unsigned(kept) + 1, ~0u, 0) == 0) return;
    // Kernels before 5.9 lack close_range.
    for (int fd = 3; fd < descriptorLimit; ++fd) {
        if (fd != kept) ::close(fd);
    }
}

[[noreturn]] void execProgram(const char* path, char* const argv[], int errorPipe, int descriptorLimit) {
    // The standard streams are replaced below: the pipe must not be one of them (a caller may run
    // with a standard stream closed).
    if (errorPipe <= 2) {
        const int moved = ::fcntl(errorPipe, F_DUPFD_CLOEXEC, 3);
        if (moved < 0) ::_exit(127);
        errorPipe = moved;
    }
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0) reportAndExit(errorPipe, errno);
    for (int stream = 0; stream <= 2; ++stream) {
        if (null != stream && ::dup2(null, stream) < 0) reportAndExit(errorPipe, errno);
    }
    if (null > 2) ::close(null);
    closeDescriptorsExcept(errorPipe, descriptorLimit);
    if (::chdir("/") < 0) reportAndExit(errorPipe, errno);

    // Ignored signals and the signal mask survive exec; the program starts with the defaults.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    ::execv(path, argv);
    reportAndExit(errorPipe, errno);
}

constexpr std::string_view kInterruptedStart = "The program’s start was interrupted.";

std::string describe(int error) { return std::system_category().message(error); }

}  // namespace

std::optional<std::string> startDetached(const std::filesystem::path& program) {
    std::string path = program.string();
    char* const argv[] = {path.data(), nullptr};
    rlimit limit{};
    const int descriptorLimit =
        ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536 ? int(limit.rlim_cur) : 65536;

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) < 0) return describe(errno);
    const FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);

    const pid_t intermediate = ::fork();
    if (intermediate < 0) return describe(errno);
    if (intermediate == 0) {
        // A new session without a controlling terminal; the second fork makes the program a
        // non-leader, so that it can never acquire one, and an orphan that init reaps.
        if (::setsid() < 0) reportAndExit(writeEnd.get(), errno);
        const pid_t child = ::fork();
        if (child < 0) reportAndExit(writeEnd.get(), errno);
        if (child > 0) ::_exit(0);
        execProgram(path.c_str(), argv, writeEnd.get(), descriptorLimit);
    }
    writeEnd.reset();
    int status = 0;
    while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }

    // End of file without data: the exec succeeded and closed the pipe's last write end.
    int error = 0;
    std::size_t filled = 0;
    while (filled < sizeof error) {
        const ssize_t count = ::read(readEnd.get(), reinterpret_cast<char*>(&error) + filled, sizeof error - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        filled += std::size_t(count);
    }
    if (filled == sizeof error) return describe(error);
    if (filled != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::string(kInterruptedStart);
    return std::nullopt;
}

void startDetachedInBackground(std::filesystem::path program,
                               std::function<void(std::optional<std::string> error)> completion) {
    std::thread([program = std::move(program), completion = std::move(completion)] {
        completion(startDetached(program));
    }).detach();
}

}  // namespace platform
