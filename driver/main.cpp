// korvane-driver: the KORVANE device on the user's PipeWire server. One per user; a second start
// says so and exits 0. SIGTERM or SIGINT removes the device and ends it.
#include "driver/driver_session.h"
#include "platform/lock_file.h"

#include <pipewire/pipewire.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kLockName = "audio.korvane.driver.lock";

constexpr const char* kUsage =
    "Usage: korvane-driver\n"
    "Presents the KORVANE device (a sink and a source named KORVANE) on this user's PipeWire server\n"
    "until it is ended with SIGTERM or SIGINT. One runs per user.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
        if (!help) std::fprintf(stderr, "korvane-driver: unknown argument “%s”\n", argv[1]);
        std::fputs(kUsage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    std::error_code error;
    platform::LockFile::Outcome outcome;
    const platform::LockFile lock = platform::LockFile::acquire(kLockName, error, outcome);
    if (outcome == platform::LockFile::Outcome::held) {
        std::puts("korvane-driver: a KORVANE driver already runs for this user.");
        return 0;
    }
    if (outcome == platform::LockFile::Outcome::failed) {
        std::fprintf(stderr, "korvane-driver: could not take the driver lock: %s\n", error.message().c_str());
        return 1;
    }
    // Blocked before any thread starts, so that every thread inherits the mask and the quit
    // signals reach only the main loop's signal handling.
    sigset_t quit;
    sigemptyset(&quit);
    sigaddset(&quit, SIGTERM);
    sigaddset(&quit, SIGINT);
    pthread_sigmask(SIG_BLOCK, &quit, nullptr);
    pw_init(&argc, &argv);
    int status = 0;
    {
        korvane::driver::DriverSession session;
        status = session.run();
    }
    pw_deinit();
    return status;
}
