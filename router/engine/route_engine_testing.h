// Test hooks of the route engine.
#pragma once

#include "platform/clock.h"

namespace korvane::engine {

// Replaces the 50 ms pause between readiness attempts and stale-device polls (main thread only);
// an empty function restores the real one.
void setPauseForTesting(platform::Pause pause);

}  // namespace korvane::engine
