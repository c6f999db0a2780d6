#include "platform/running_processes.h"

#include "platform/bundle.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <map>
#include <string>

namespace platform {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDeletedMark = " (deleted)";
// /proc/PID/status is about 1.5 KiB; anything far larger is not what it claims to be.
constexpr std::size_t kMaximumStatusBytes = 64 * 1024;

std::string procPath(pid_t pid, std::string_view entry) {
    return "/proc/" + std::to_string(pid) + "/" + std::string(entry);
}

// The real user id from the "Uid:" line of /proc/PID/status (real, effective, saved, file system).
std::optional<uid_t> realUserOf(pid_t pid) {
    const auto status = bundle::readSmallFile(procPath(pid, "status"), kMaximumStatusBytes);
    if (!status) return std::nullopt;
    constexpr std::string_view kUidField = "\nUid:";
    const auto field = status->find(kUidField);
    if (field == std::string::npos) return std::nullopt;
    const char* first = status->data() + field + kUidField.size();
    const char* last = status->data() + status->size();
    while (first != last && (*first == '\t' || *first == ' ')) ++first;
    uid_t uid = 0;
    const auto [end, error] = std::from_chars(first, last, uid);
    if (error != std::errc() || end == first) return std::nullopt;
    return uid;
}

std::optional<pid_t> processIdOf(std::string_view name) {
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error != std::errc() || end != name.data() + name.size() || pid <= 0) return std::nullopt;
    return pid;
}

bool isReadable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & (POLLIN | POLLHUP)) != 0;
}

bool carriesIdentifier(const fs::path& bundle, std::string_view bundleIdentifier) {
    const auto info = bundle::readBundleInfo(bundle);
    if (!info) return false;
    const auto identifier = info->find(kBundleIdentifierKey);
    return identifier != info->end() && identifier->second == bundleIdentifier;
}

}  // namespace

std::optional<fs::path> processExecutable(pid_t pid) {
    const std::string link = procPath(pid, "exe");
    char target[PATH_MAX + kDeletedMark.size() + 1];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    if (length <= 0 || std::size_t(length) >= sizeof target || target[0] != '/') return std::nullopt;
    std::string_view path(target, std::size_t(length));
    // The mark counts only when the running file really has no name left: a file may be called
    // "x (deleted)".
    struct stat info {};
    if (path.ends_with(kDeletedMark) && ::stat(link.c_str(), &info) == 0 && info.st_nlink == 0) {
        path.remove_suffix(kDeletedMark.size());
    }
    return fs::path(path);
}

LinuxRunningApplication::LinuxRunningApplication(FileDescriptor pidfd, pid_t pid, fs::path bundle)
    : pidfd_(std::move(pidfd)), pid_(pid), bundle_(std::move(bundle)) {}

std::shared_ptr<LinuxRunningApplication> LinuxRunningApplication::open(pid_t pid, const fs::path& executable,
                                                                       fs::path bundle) {
    FileDescriptor pidfd(int(::syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd) return nullptr;
    // The pidfd holds whichever process has this id now; it is the one that was found only if it
    // still runs the same program for the same user. These reads concern the pidfd's process as
    // long as that process has not ended before the last check: an id is reused only after its
    // process has ended.
    if (realUserOf(pid) != ::getuid() || processExecutable(pid) != executable || isReadable(pidfd.get())) {
        return nullptr;
    }
    return std::make_shared<LinuxRunningApplication>(std::move(pidfd), pid, std::move(bundle));
}

void LinuxRunningApplication::terminate() {
    // A process that has ended meanwhile answers ESRCH; the signal can reach no other process.
    ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGTERM, nullptr, 0);
}

void LinuxRunningApplication::forceTerminate() {
    // SIGKILL: a stopped process cannot act on anything else.
    ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0);
}

bool LinuxRunningApplication::isTerminated() const { return isReadable(pidfd_.get()); }

std::vector<std::shared_ptr<RunningApplication>> runningApplicationsWithIdentifier(std::string_view bundleIdentifier) {
    std::vector<pid_t> candidates;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(proc)) {
            if (const auto pid = processIdOf(entry->d_name)) candidates.push_back(*pid);
        }
        ::closedir(proc);
    }
    std::sort(candidates.begin(), candidates.end());

    const uid_t user = ::getuid();
    // Many processes may run from one bundle: its Info.json is read once per scan.
    std::map<fs::path, bool> bundleMatches;
    std::vector<std::shared_ptr<RunningApplication>> found;
    for (const pid_t pid : candidates) {
        if (realUserOf(pid) != user) continue;
        const auto executable = processExecutable(pid);
        if (!executable) continue;
        const auto bundle = bundle::bundleOfExecutable(*executable);
        if (!bundle) continue;
        auto match = bundleMatches.find(*bundle);
        if (match == bundleMatches.end()) {
            match = bundleMatches.emplace(*bundle, carriesIdentifier(*bundle, bundleIdentifier)).first;
        }
        if (!match->second) continue;
        if (auto application = LinuxRunningApplication::open(pid, *executable, *bundle)) {
            found.push_back(std::move(application));
        }
    }
    return found;
}

}  // namespace platform
