#include "tests/support/daemon_fixture.h"

#include "audiosim/protocol/paths.h"

#include <chrono>
#include <cstdio>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef AUDIOSIM_PROGRAM
#error "AUDIOSIM_PROGRAM must name the audiosim program"
#endif

namespace korvane::test {

std::string audiosimProgram() { return AUDIOSIM_PROGRAM; }

int runProgram(const std::vector<std::string>& arguments, std::string* output) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeFds[1], 1);
        std::vector<char*> argv;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
    const auto socket = audiosim::socketLocation().socket;
    for (int i = 0; i < 500; ++i) {
        std::string error;
        if (std::filesystem::exists(socket) && audiosim::DaemonConnection::open(error)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("the audiosim daemon did not start");
}

void DaemonFixture::stopDaemon() {
    if (daemon_ <= 0) return;
    ::kill(daemon_, SIGCONT);
    ::kill(daemon_, SIGTERM);
    int status = 0;
    ::waitpid(daemon_, &status, 0);
    daemon_ = -1;
}

std::uint64_t DaemonFixture::xruns() {
    const auto reply = connect()->connection().call(audiosim::wire::Message{{"op", "stats"}});
    return reply ? (*reply)["xruns"].get<std::uint64_t>() : 0;
}

bool DaemonFixture::unlessCyclesWereMissed(const std::function<bool()>& attempt) {
    for (int round = 1;; ++round) {
        const std::uint64_t before = xruns();
        if (attempt()) return true;
        if (round == 3 || xruns() == before) return false;
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
