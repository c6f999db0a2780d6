// KORVANE Routing: the windowless routing helper. No options, no settings; it runs until asked to
// quit (SIGTERM, or SIGINT), then stops the route, restores the default output and writes its
// last report.
#include "system/audio_system.h"
#include "router/router_delegate.h"

#include <cstdio>
#include <system_error>

int main() {
    using namespace korvane::router;
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
