// The per-user routing lock: one route per user at a time, across processes.
#pragma once

#include <string>

namespace korvane::engine {

inline constexpr const char* kRoutingLockName = "audio.korvane.routing.lock";

// The per-user temporary directory: $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp.
std::string temporaryDirectory();

// Opens (creating 0600, never through a symbolic link) the lock file in the temporary directory,
// checks that it is a regular file owned by the real user id and takes an exclusive, non-blocking
// flock. Returns the descriptor, or -1; the file itself is never removed.
int acquireRoutingLock();

// Releases the lock and closes the descriptor; -1 does nothing.
void releaseRoutingLock(int descriptor);

}  // namespace korvane::engine
