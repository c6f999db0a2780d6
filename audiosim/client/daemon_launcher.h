// Starting the user's audiosim daemon on a client's behalf, and finding the program to start.
#pragma once

#include "audiosim/protocol/paths.h"

#include <string>

namespace audiosim {

// The `audiosim` program that serves as the daemon: $AUDIOSIM_BINARY; else the nearest
// `bin/audiosim` or `audiosim` found from the directory of this process's executable upwards
// (an installed program in `PREFIX/bin/`, a bundle under `PREFIX/lib/`, a build's `bin/`); else
// `audiosim` on the PATH.
std::string daemonProgram();

// Starts `daemonProgram() server` detached (its own session, so that it outlives the client and
// is never left a zombie), its stderr appended to the log beside the socket. Waits until its
// socket accepts a connection, it exits, or 5 s pass. The caller holds the spawn lock.
// Returns the connected socket, or -1 with `error` carrying the daemon's own last words.
int launchDaemon(const SocketLocation& location, std::string& error);

// Connects to the daemon's socket. -1 when nothing accepts there.
int connectToSocket(const std::filesystem::path& socket);

}  // namespace audiosim
