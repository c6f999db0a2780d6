// Where the audiosim daemon and its clients meet, and where the daemon keeps its state.
#pragma once

#include <filesystem>
#include <string>

namespace audiosim {

struct SocketLocation {
    std::filesystem::path socket;     // $AUDIOSIM_SOCKET, $XDG_RUNTIME_DIR/audiosim/socket or /tmp/audiosim-<uid>/socket
    std::filesystem::path directory;  // the socket's directory
    std::filesystem::path daemonLock;  // held by the running daemon for its lifetime
    std::filesystem::path spawnLock;   // held by a client while it starts the daemon
};

SocketLocation socketLocation();

// Creates `directory` 0700 when missing (its parent must exist) and checks that it is a
// directory, not a symbolic link, owned by the real user and closed to others. Returns an empty
// string, or the sentence that says why it cannot be used.
std::string preparePrivateDirectory(const std::filesystem::path& directory);

// $XDG_STATE_HOME/audiosim, or ~/.local/state/audiosim.
std::filesystem::path stateDirectory();

}  // namespace audiosim
