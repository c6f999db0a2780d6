#include "tests/support/bundle_fixture.h"

#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace korvane::test {

namespace fs = std::filesystem;

fs::path applicationProbe() { return KORVANE_APPLICATION_PROBE; }

TestBundle makeBundle(const fs::path& directory, const std::string& name, const std::string& program,
                      const std::optional<std::string>& info) {
    const fs::path location = directory / (name + ".app");
    fs::create_directories(location / "Contents" / "MacOS");
    const fs::path executable = location / "Contents" / "MacOS" / program;
    fs::copy_file(applicationProbe(), executable, fs::copy_options::overwrite_existing);
    fs::permissions(executable, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    if (info) writeFile(location / "Contents" / "Info.json", *info);
    return {location, executable};
}

std::string infoJson(const std::string& identifier, const std::string& program) {
    return R"({"CFBundleIdentifier": ")" + identifier + R"(", "CFBundleExecutable": ")" + program +
           R"(", "CFBundleShortVersionString": "1.2.3", "CFBundleVersion": "42"})";
}

ChildProcess::ChildProcess(const fs::path& program, const std::vector<std::string>& arguments, bool waitForReady) {
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::system_error(errno, std::system_category(), "pipe2");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(ends[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(ends[1]);
    output_ = ends[0];
    if (!waitForReady) return;
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.find("ready\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd entry{output_, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0) continue;
        char buffer[64];
        const ssize_t count = ::read(output_, buffer, sizeof buffer);
        if (count <= 0) break;
        seen.append(buffer, std::size_t(count));
    }
    if (seen.find("ready\n") == std::string::npos) ADD_FAILURE() << program << " did not become ready: " << seen;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap();
    }
    if (output_ >= 0) ::close(output_);
}

int ChildProcess::reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
}

std::string ChildProcess::readAllAndReap() {
    std::string all;
    char buffer[4096];
    for (ssize_t count; (count = ::read(output_, buffer, sizeof buffer)) != 0;) {
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) break;
        all.append(buffer, std::size_t(count));
    }
    reap();
    return all;
}

}  // namespace korvane::test
