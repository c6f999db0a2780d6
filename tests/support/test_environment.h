// Test support: a private temporary directory set as XDG_DATA_HOME, XDG_RUNTIME_DIR and TMPDIR
// for the test's lifetime, so that tests never touch the developer's files and run in parallel.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace korvane::test {

class TestEnvironment {
public:
    TestEnvironment();
    ~TestEnvironment();
    TestEnvironment(const TestEnvironment&) = delete;
    TestEnvironment& operator=(const TestEnvironment&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path dataHome() const { return root_ / "data"; }
    std::filesystem::path runtimeDirectory() const { return root_ / "run"; }

    // Sets a variable for the rest of the test; the destructor restores it.
    void set(const std::string& name, const std::string& value);

private:
    std::filesystem::path root_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// Polls `condition` until it holds or `deadline` passes; returns its last result. The deadline is
// a bound against hanging, not a measurement: pass it generously.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Writes `bytes` to `path`, replacing it.
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// The whole content of `path`; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace korvane::test
