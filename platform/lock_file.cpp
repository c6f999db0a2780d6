#include "platform/lock_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

// Group and others may not write, and a subdirectory of our own may not even be entered by
// them: its lock files' names and existence are nobody else's business.
bool isOwnPrivateDirectory(const struct stat& info, mode_t forbidden) {
    return S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & forbidden) == 0;
}

int openDirectory(const std::string& path, int flags, std::error_code& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
    if (fd < 0) error = lastError();
    return fd;
}

}  // namespace

std::string temporaryDirectory() {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"})
        if (const char* value = std::getenv(name); value && *value) return value;
    return "/tmp";
}

int openLockDirectory(std::error_code& error) {
    std::string base = temporaryDirectory();
    const int baseFd = openDirectory(base, 0, error);  // the user's own setting may be a link
    if (baseFd < 0) return -1;
    struct stat info {};
    if (::fstat(baseFd, &info) == 0 && isOwnPrivateDirectory(info, S_IWGRP | S_IWOTH)) return baseFd;
    ::close(baseFd);

    if (base.back() != '/') base += '/';
    const std::string path = base + "korvane-" + std::to_string(::getuid());
    const bool created = ::mkdir(path.c_str(), 0700) == 0;
    if (!created && errno != EEXIST) {
        error = lastError();
        return -1;
    }
    const int fd = openDirectory(path, O_NOFOLLOW, error);  // refuses a link put in its place
    if (fd < 0) return -1;
    if (created) ::fchmod(fd, 0700);  // whatever the umask left of it
    if (::fstat(fd, &info) != 0 || !isOwnPrivateDirectory(info, S_IRWXG | S_IRWXO)) {
        error = std::make_error_code(std::errc::permission_denied);
        ::close(fd);
        return -1;
    }
    return fd;
}

LockFile LockFile::acquire(const char* name, std::error_code& error, Outcome& outcome) {
    outcome = Outcome::failed;
    const int directory = openLockDirectory(error);
    if (directory < 0) return {};
    const int fd = ::openat(directory, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) error = lastError();
    ::close(directory);
    if (fd < 0) return {};
    LockFile lock(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        error = std::make_error_code(std::errc::permission_denied);
        return {};
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = lastError();
        if (errno == EWOULDBLOCK) outcome = Outcome::held;
        return {};
    }
    outcome = Outcome::acquired;
    return lock;
}

LockFile& LockFile::operator=(LockFile&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.take();
    }
    return *this;
}

int LockFile::take() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void LockFile::release() { releaseLock(take()); }

void releaseLock(int descriptor) {
    if (descriptor < 0) return;
    ::flock(descriptor, LOCK_UN);
    ::close(descriptor);
}

}  // namespace platform
