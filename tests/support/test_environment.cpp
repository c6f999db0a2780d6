#include "tests/support/test_environment.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

namespace korvane::test {

TestEnvironment::TestEnvironment() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvane-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    ::mkdir(runtimeDirectory().c_str(), 0700);
    set("XDG_DATA_HOME", dataHome().string());
    set("XDG_RUNTIME_DIR", runtimeDirectory().string());
    set("TMPDIR", runtimeDirectory().string());
}

TestEnvironment::~TestEnvironment() {
    for (const auto& [name, value] : saved_) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    std::error_code ignored;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(root_, ignored);
}

void TestEnvironment::set(const std::string& name, const std::string& value) {
    if (!saved_.contains(name)) {
        const char* previous = std::getenv(name.c_str());
        saved_[name] = previous ? std::optional<std::string>(previous) : std::nullopt;
    }
    ::setenv(name.c_str(), value.c_str(), 1);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace korvane::test
