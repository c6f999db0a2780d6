#include "tests/support/daemon_fixture.h"

#include "audiosim/protocol/paths.h"
#include "tests/support/sanitizers.h"

#include <chrono>
#include <cstdio>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef AUDIOSIM_PROGRAM
#error "AUDIOSIM_PROGRAM must name the audiosim program"
#endif

namespace korvane::test {

std::string audiosimProgram() { return AUDIOSIM_PROGRAM; }

RunningProgram::RunningProgram(const std::vector<std::string>& arguments) : name_(arguments.empty() ? "" : arguments[0]) {
    int pipeFds[2];
    if (arguments.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(pipeFds[1], 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    outputFd_ = pipeFds[0];
    if (pid_ < 0) {
        ::close(outputFd_);
        outputFd_ = -1;
    }
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (outputFd_ >= 0) ::close(outputFd_);
}

RunningProgram::Read RunningProgram::readSome(std::chrono::milliseconds timeout) {
    if (outputFd_ < 0) return Read::End;
    pollfd ready{outputFd_, POLLIN, 0};
    if (::poll(&ready, 1, int(timeout.count())) <= 0) return Read::Nothing;
    char buffer[4096];
    const ssize_t n = ::read(outputFd_, buffer, sizeof buffer);
    if (n > 0) {
        output_.append(buffer, std::size_t(n));
        return Read::Some;
    }
    ::close(outputFd_);
    outputFd_ = -1;
    return Read::End;
}

bool RunningProgram::waitForOutput(const std::string& text, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (output_.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            std::fprintf(stderr, "%s did not print \"%s\" within %lld ms\n", name_.c_str(), text.c_str(),
                         static_cast<long long>(deadline.count()));
            return false;
        }
        if (readSome(left) == Read::End) {
            std::fprintf(stderr, "%s ended without printing \"%s\"\n", name_.c_str(), text.c_str());
            return false;
        }
    }
    return true;
}

int RunningProgram::wait(std::chrono::milliseconds deadline) {
    if (pid_ <= 0) return status_;
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            while (readSome(std::chrono::milliseconds(0)) == Read::Some) {
            }
            return status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            std::fprintf(stderr, "%s did not end within %lld ms; killed\n", name_.c_str(), static_cast<long long>(deadline.count()));
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return status_ = -1;
        }
        if (readSome(std::min(left, std::chrono::milliseconds(20))) == Read::End)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int runProgram(const std::vector<std::string>& arguments, std::string* output, std::chrono::milliseconds deadline) {
    RunningProgram program(arguments);
    const int status = program.wait(deadline);
    if (output) *output = program.output();
    return status;
}

DaemonFixture::DaemonFixture(const std::string& config) : config_(config) {
    environment.set("XDG_STATE_HOME", (environment.root() / "state").string());
    environment.set("AUDIOSIM_BINARY", audiosimProgram());
    environment.set("AUDIOSIM_AUTOSPAWN", "0");
    environment.set("AUDIOSIM_TIMEOUT_MS", "3000");
    startDaemon();
}

DaemonFixture::~DaemonFixture() { stopDaemon(); }

void DaemonFixture::startDaemon() {
    daemon_ = ::fork();
    if (daemon_ == 0) {
        const std::string program = audiosimProgram();
        if (config_.empty())
            ::execl(program.c_str(), program.c_str(), "server", static_cast<char*>(nullptr));
        else
            ::execl(program.c_str(), program.c_str(), "server", "--config", config_.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Ready once it answers on its socket (a stale socket of a killed one refuses connections).
    const auto socket = audiosim::socketLocation().socket;
    int status = 0;
    bool ended = false;
    const bool ready = waitUntil(
        [&] {
            ended = ended || ::waitpid(daemon_, &status, WNOHANG) == daemon_;
            std::string error;
            return ended || (std::filesystem::exists(socket) && audiosim::DaemonConnection::open(error));
        },
        std::chrono::seconds(20));
    if (ready && !ended) return;
    if (!ended) {
        ::kill(daemon_, SIGKILL);
        ::waitpid(daemon_, nullptr, 0);
    }
    daemon_ = -1;
    throw std::runtime_error(ended ? "the audiosim daemon ended at its start (status " + std::to_string(status) + ")"
                                   : "the audiosim daemon did not answer on its socket within 20 s");
}

void DaemonFixture::stopDaemon() {
    if (daemon_ <= 0) return;
    ::kill(daemon_, SIGCONT);
    ::kill(daemon_, SIGTERM);
    int status = 0;
    ::waitpid(daemon_, &status, 0);
    daemon_ = -1;
}

void DaemonFixture::killDaemon() {
    if (daemon_ <= 0) return;
    ::kill(daemon_, SIGKILL);
    ::waitpid(daemon_, nullptr, 0);
    daemon_ = -1;
}

std::uint64_t daemonStat(audiosim::RemoteHardware& hardware, const char* field) {
    const auto reply = hardware.connection().call(audiosim::wire::Message{{"op", "stats"}});
    return reply ? (*reply)[field].get<std::uint64_t>() : 0;
}

std::vector<float> takeTap(audiosim::RemoteHardware& hardware, const std::string& uid) {
    std::vector<float> samples;
    for (;;) {
        const auto reply = hardware.connection().call(audiosim::wire::Message{{"op", "takeTap"}, {"uid", uid}});
        if (!reply) return samples;
        const auto& data = (*reply)["data"].get_binary();
        if (data.empty()) return samples;
        const auto* floats = reinterpret_cast<const float*>(data.data());
        samples.insert(samples.end(), floats, floats + data.size() / 4);
    }
}

std::uint64_t DaemonFixture::xruns() { return daemonStat(*connect(), "xruns"); }

bool DaemonFixture::unlessCyclesWereMissed(const std::function<bool()>& attempt) {
    for (int round = 1;; ++round) {
        const std::uint64_t before = xruns();
        if (attempt()) return true;
        if (round == (kSanitized ? 6 : 3) || xruns() == before) return false;
        std::fprintf(stderr, "cycles were missed during attempt %d; trying again\n", round);
    }
}

std::unique_ptr<audiosim::RemoteHardware> DaemonFixture::connect() {
    std::string error;
    std::shared_ptr<audiosim::DaemonConnection> connection = audiosim::DaemonConnection::open(error);
    if (!connection) throw std::runtime_error(error);
    return std::make_unique<audiosim::RemoteHardware>(std::move(connection));
}

}  // namespace korvane::test
