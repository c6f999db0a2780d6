// Test support for application bundles: bundle layouts built in a test's own directory with the
// application probe (tests/support/application_probe.cpp) as their program, and probe processes
// started as children of the test.
#pragma once

#include "tests/support/test_environment.h"

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace korvane::test {

// The built application probe.
std::filesystem::path applicationProbe();

struct TestBundle {
    std::filesystem::path location;    // DIRECTORY/NAME.app
    std::filesystem::path executable;  // its Contents/MacOS/PROGRAM, a copy of the probe
};

// Effects: creates DIRECTORY/NAME.app with the probe copied to Contents/MacOS/PROGRAM and, when
// `infoJson` is given, that text as Contents/Info.json.
TestBundle makeBundle(const std::filesystem::path& directory, const std::string& name, const std::string& program,
                      const std::optional<std::string>& infoJson);

// The Info.json text of a bundle with this identifier and program.
std::string infoJson(const std::string& identifier, const std::string& program);

// A process started by the test, killed and reaped when the object goes (unless reaped before).
class ChildProcess {
public:
    // Effects: starts `program` with `arguments` (argv[0] is `program`) and, when `waitForReady`,
    // waits until it prints "ready"; fails the test when that takes longer than 10 s.
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                 bool waitForReady = true);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Returns: everything the process wrote to its standard output until it ended; reaps it.
    std::string readAllAndReap();
    // Effects: reaps the process once it has ended; returns its wait status.
    int reap();

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

}  // namespace korvane::test
