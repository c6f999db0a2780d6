// The per-user locks of the routing helper: one route per user at a time, and one helper per
// user, across processes (platform/lock_file.h).
#pragma once

#include "platform/lock_file.h"

namespace korvane::engine {

inline constexpr const char* kRoutingLockName = "audio.korvane.routing.lock";
inline constexpr const char* kInstanceLockName = "audio.korvane.routing.instance.lock";

using platform::LockFile;
using platform::openLockDirectory;
using platform::temporaryDirectory;

// The routing lock's descriptor, or -1 when it is held elsewhere or cannot be taken.
int acquireRoutingLock();

// Releases the lock and closes the descriptor; -1 does nothing.
void releaseRoutingLock(int descriptor);

}  // namespace korvane::engine
