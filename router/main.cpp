// KORVANE Routing: the windowless routing helper. No options, no settings; it runs until asked to
// quit (SIGTERM, or SIGINT), then stops the route, restores the default output and writes its
// last report. One runs per user: a second one exits at once, touching nothing.
#include "router/engine/routing_lock.h"
#include "router/router_delegate.h"
#include "system/audio_system.h"

#include <cstdio>
#include <system_error>

int main() {
    using namespace korvane::router;
    std::error_code lockError;
    korvane::engine::LockFile::Outcome outcome;
    const auto instance = korvane::engine::LockFile::acquire(korvane::engine::kInstanceLockName, lockError, outcome);
    if (outcome == korvane::engine::LockFile::Outcome::held) return 0;  // the user's helper runs already
    if (outcome == korvane::engine::LockFile::Outcome::failed) {
        std::fprintf(stderr, "KORVANE Routing: cannot take the instance lock in the private lock directory: %s\n",
                     lockError.message().c_str());
        return 1;
    }

    std::unique_ptr<MainLoop> created;
    try {
        created = std::make_unique<MainLoop>();  // first, so that every later thread has the quit signals blocked
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "KORVANE Routing: %s.\n", error.what());
        return 1;
    }
    MainLoop& loop = *created;
    std::string error;
    auto system = korvane::system::connectAudioSystem(error);
    if (!system) {
        std::fprintf(stderr, "KORVANE Routing: %s\n", error.c_str());
        return 1;
    }
    platform::audio::ScopedHardware installed(*system->hardware);
    platform::SystemUptimeClock uptime;
    platform::SystemWallClock wallClock;
    auto delegate = std::make_shared<RouterDelegate>(RouterEnvironment{loop, uptime, wallClock, *system->capturePermission});
    delegate->applicationDidFinishLaunching();
    loop.run();
    delegate->applicationWillTerminate();
    return 0;
}
