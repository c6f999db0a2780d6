#include "router/engine/routing_lock.h"

namespace korvane::engine {

int acquireRoutingLock() {
    std::error_code error;
    LockFile::Outcome outcome;
    return LockFile::acquire(kRoutingLockName, error, outcome).take();
}

void releaseRoutingLock(int descriptor) { platform::releaseLock(descriptor); }

}  // namespace korvane::engine
