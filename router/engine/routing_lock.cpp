#include "router/engine/routing_lock.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::engine {

std::string temporaryDirectory() {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"})
        if (const char* value = std::getenv(name); value && *value) return value;
    return "/tmp";
}

int acquireRoutingLock() {
    std::string path = temporaryDirectory();
    if (path.back() != '/') path += '/';
    path += kRoutingLockName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid() ||
        ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void releaseRoutingLock(int descriptor) {
    if (descriptor < 0) return;
    ::flock(descriptor, LOCK_UN);
    ::close(descriptor);
}

}  // namespace korvane::engine
