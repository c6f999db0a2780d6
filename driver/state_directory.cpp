#include "driver/state_directory.h"

#include "platform/file_descriptor.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::driver {

namespace {

std::string systemError() { return std::strerror(errno); }

}  // namespace

std::filesystem::path StateDirectory::userPath() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return std::filesystem::path(state) / "korvane";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/") / ".local" / "state" / "korvane";
}

int StateDirectory::open(bool create, std::string& error) const {
    error.clear();
    if (create) {
        // Parents made here are private too; ones that exist are the user's own business.
        std::filesystem::path partial;
        for (const auto& part : path_.parent_path()) {
            partial /= part;
            if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) break;
        }
        if (::mkdir(path_.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "Cannot make " + path_.string() + " (" + systemError() + ").";
            return -1;
        }
    }
    const int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT || create) error = "Cannot open " + path_.string() + " (" + systemError() + ").";
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        ::close(fd);
        error = path_.string() + " is not a directory of this user's.";
        return -1;
    }
    if ((info.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) {
        ::close(fd);
        error = "Cannot make " + path_.string() + " private (" + systemError() + ").";
        return -1;
    }
    return fd;
}

StateDirectory::Read StateDirectory::read(const char* name, std::size_t maxBytes) const {
    Read result;
    std::string error;
    const platform::FileDescriptor directory(open(false, error));
    if (!directory) {
        if (!error.empty()) result = {Read::Outcome::unusable, {}, error};
        return result;
    }
    const platform::FileDescriptor file(
        ::openat(directory.get(), name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file) {
        if (errno != ENOENT) result = {Read::Outcome::unusable, {}, "it cannot be opened (" + systemError() + ")"};
        return result;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid())
        return {Read::Outcome::unusable, {}, "it is not a regular file of this user's"};
    if (std::size_t(info.st_size) > maxBytes)
        return {Read::Outcome::unusable, {}, "it is larger than " + std::to_string(maxBytes) + " bytes"};
    // One byte more than the size said: a file that grew meanwhile is refused, not cut short.
    std::string text(std::size_t(info.st_size) + 1, '\0');
    std::size_t have = 0;
    while (have < text.size()) {
        const ssize_t got = ::read(file.get(), text.data() + have, text.size() - have);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return {Read::Outcome::unusable, {}, "it cannot be read (" + systemError() + ")"};
        if (got == 0) break;
        have += std::size_t(got);
    }
    if (have > std::size_t(info.st_size)) return {Read::Outcome::unusable, {}, "it changed while it was read"};
    text.resize(have);
    return {Read::Outcome::read, std::move(text), {}};
}

std::string StateDirectory::write(const char* name, const std::string& text) const {
    std::string error;
    const platform::FileDescriptor directory(open(true, error));
    if (!directory) return error;
    static std::atomic<unsigned> counter{0};
    const std::string temporary = "." + std::string(name) + "." + std::to_string(::getpid()) + "." +
                                  std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    const platform::FileDescriptor file(
        ::openat(directory.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) return "Cannot save " + (path_ / name).string() + " (" + systemError() + ").";
    std::size_t done = 0;
    bool written = ::fchmod(file.get(), 0600) == 0;
    while (written && done < text.size()) {
        const ssize_t wrote = ::write(file.get(), text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        written = wrote > 0;
        if (written) done += std::size_t(wrote);
    }
    written = written && ::fsync(file.get()) == 0;
    if (!written || ::renameat(directory.get(), temporary.c_str(), directory.get(), name) != 0) {
        const std::string reason = systemError();
        ::unlinkat(directory.get(), temporary.c_str(), 0);
        return "Cannot save " + (path_ / name).string() + " (" + reason + ").";
    }
    return {};
}

std::string StateDirectory::setAside(const char* name) const {
    std::string error;
    const platform::FileDescriptor directory(open(false, error));
    const std::string bad = std::string(name) + ".bad";
    if (!directory || ::renameat(directory.get(), name, directory.get(), bad.c_str()) != 0)
        return "It could not be set aside (" + (error.empty() ? systemError() : error) + ").";
    return "It was set aside as " + (path_ / bad).string() + ".";
}

}  // namespace korvane::driver
