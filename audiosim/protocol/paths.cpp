#include "audiosim/protocol/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace audiosim {

namespace {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

const char* absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    return value && *value == '/' ? value : nullptr;
}

}  // namespace

SocketLocation socketLocation() {
    SocketLocation location;
    if (const char* path = std::getenv("AUDIOSIM_SOCKET"); path && *path)
        location.socket = path;
    else if (const char* runtime = absoluteVariable("XDG_RUNTIME_DIR"))
        location.socket = std::filesystem::path(runtime) / "audiosim" / "socket";
    else
        location.socket = std::filesystem::path("/tmp") / ("audiosim-" + std::to_string(getuid())) / "socket";
    location.directory = location.socket.parent_path();
    location.daemonLock = location.directory / (location.socket.filename().string() + ".daemon.lock");
    location.spawnLock = location.directory / (location.socket.filename().string() + ".spawn.lock");
    return location;
}

std::string preparePrivateDirectory(const std::filesystem::path& directory) {
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        return "Cannot create " + directory.string() + ": " + std::strerror(errno) + ".";
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0)
        return "Cannot inspect " + directory.string() + ": " + std::strerror(errno) + ".";
    if (!S_ISDIR(info.st_mode)) return directory.string() + " is not a directory.";
    if (info.st_uid != ::getuid()) return directory.string() + " belongs to another user; refusing to use it.";
    if ((info.st_mode & 077) != 0) return directory.string() + " is open to other users; refusing to use it.";
    return {};
}

std::filesystem::path stateDirectory() {
    if (const char* state = absoluteVariable("XDG_STATE_HOME")) return std::filesystem::path(state) / "audiosim";
    return homeDirectory() / ".local" / "state" / "audiosim";
}

}  // namespace audiosim
