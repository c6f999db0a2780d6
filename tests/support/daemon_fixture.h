// Test support: a real audiosim daemon, started as its own process in the test's private
// XDG_RUNTIME_DIR and stopped (SIGTERM) at the end, and the client library connected to it.
#pragma once

#include "audiosim/client/remote_hardware.h"
#include "tests/support/test_environment.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace korvane::test {

// The audiosim program of this build.
std::string audiosimProgram();

// A program running beside the test, its standard output collected. Every wait has a deadline;
// a program still running at the end is killed.
class RunningProgram {
public:
    explicit RunningProgram(const std::vector<std::string>& arguments);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    // Waits until its standard output contains `text`; false when it ends without it or the
    // deadline passes (the reason goes to stderr).
    bool waitForOutput(const std::string& text, std::chrono::milliseconds deadline = std::chrono::seconds(20));
    // Waits for its end and returns its exit status; past the deadline kills it, says so on
    // stderr and returns -1. -1 as well when a signal ended it.
    int wait(std::chrono::milliseconds deadline = std::chrono::seconds(30));
    const std::string& output() const { return output_; }
    pid_t pid() const { return pid_; }  // -1 once it ended and was waited for

private:
    enum class Read { Some, Nothing, End };
    // Reads what arrives within `timeout`.
    Read readSome(std::chrono::milliseconds timeout);

    std::string name_;
    pid_t pid_ = -1;
    int outputFd_ = -1;
    int status_ = -1;
    std::string output_;
};

// Runs a program to its end (killing it after `deadline`); returns its exit status, with its
// standard output in `output`.
int runProgram(const std::vector<std::string>& arguments, std::string* output = nullptr,
               std::chrono::milliseconds deadline = std::chrono::seconds(30));

// The daemon's own requests, beside the platform interface, over `hardware`'s connection.
// A field of the daemon's "stats" ("cycles", "xruns", "clients", "prompts"); 0 when it does not
// answer.
std::uint64_t daemonStat(audiosim::RemoteHardware& hardware, const char* field);
// What the output of the device `uid` received since the last call (its tap), interleaved; what
// came before an unanswered call.
std::vector<float> takeTap(audiosim::RemoteHardware& hardware, const std::string& uid);

class DaemonFixture {
public:
    // Starts `audiosim server` (with `config` when not empty) and waits for its socket.
    explicit DaemonFixture(const std::string& config = "");
    ~DaemonFixture();

    void stopDaemon();   // SIGTERM and wait
    void killDaemon();   // SIGKILL and wait: it ends without a word to its clients
    void startDaemon();  // again, after stopDaemon
    pid_t daemonPid() const { return daemon_; }

    // A new connection with the platform interface over it.
    std::unique_ptr<audiosim::RemoteHardware> connect();

    // Cycles missed so far, over all devices (the daemon's "stats").
    std::uint64_t xruns();

    // Runs `attempt` again while it fails and cycles were missed during it, three times in all (six
    // in a sanitized build, which runs several times slower): a missed cycle drops audio on a busy
    // machine, which is not the fault a sample-exact check looks for. Returns the last result.
    bool unlessCyclesWereMissed(const std::function<bool()>& attempt);

    TestEnvironment environment;

private:
    std::string config_;
    pid_t daemon_ = -1;
};

}  // namespace korvane::test
