// Test support: a real audiosim daemon, started as its own process in the test's private
// XDG_RUNTIME_DIR and stopped (SIGTERM) at the end, and the client library connected to it.
#pragma once

#include "audiosim/client/remote_hardware.h"
#include "tests/support/test_environment.h"

#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace korvane::test {

// The audiosim program of this build.
std::string audiosimProgram();

// Runs a program to its end; returns its exit status, with its standard output in `output`.
int runProgram(const std::vector<std::string>& arguments, std::string* output = nullptr);

class DaemonFixture {
public:
    // Starts `audiosim server` (with `config` when not empty) and waits for its socket.
    explicit DaemonFixture(const std::string& config = "");
    ~DaemonFixture();

    void stopDaemon();   // SIGTERM and wait
    void startDaemon();  // again, after stopDaemon
    pid_t daemonPid() const { return daemon_; }

    // A new connection with the platform interface over it.
    std::unique_ptr<audiosim::RemoteHardware> connect();

    // Cycles missed so far, over all devices (the daemon's "stats").
    std::uint64_t xruns();

    // Runs `attempt` up to three times while it fails and cycles were missed during it: a missed
    // cycle drops audio on a busy machine, which is not the fault a sample-exact check looks for.
    // Returns the last attempt's result.
    bool unlessCyclesWereMissed(const std::function<bool()>& attempt);

    TestEnvironment environment;

private:
    std::string config_;
    pid_t daemon_ = -1;
};

}  // namespace korvane::test
