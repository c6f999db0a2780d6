// Benchmark support: a private audiosim daemon in a temporary runtime directory, for the length
// of a benchmark program. $AUDIOSIM_BINARY names another daemon program to measure (an earlier
// build, to compare before and after in one sitting); by default it is the one built here.
#pragma once

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "audiosim/client/daemon_connection.h"

namespace korvane::bench {

class DaemonProcess {
public:
    // `machine`: a JSON machine description, or empty for the built-in machine.
    explicit DaemonProcess(const std::string& machine = "") {
        char pattern[] = "/tmp/korvane-bench-XXXXXX";
        if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
        ::setenv("XDG_STATE_HOME", (root_ / "state").c_str(), 1);
        ::setenv("AUDIOSIM_AUTOSPAWN", "0", 1);
        std::string config;
        if (!machine.empty()) {
            config = (root_ / "machine.json").string();
            std::ofstream(config) << machine;
        }
        const char* chosen = std::getenv("AUDIOSIM_BINARY");
        const std::string program = chosen && *chosen ? chosen : AUDIOSIM_PROGRAM;
        pid_ = ::fork();
        if (pid_ == 0) {
            if (config.empty())
                ::execl(program.c_str(), program.c_str(), "server", static_cast<char*>(nullptr));
            else
                ::execl(program.c_str(), program.c_str(), "server", "--config", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 500; ++i) {
            std::string error;
            if (audiosim::DaemonConnection::open(error)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        throw std::runtime_error("the audiosim daemon did not start");
    }
    ~DaemonProcess() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

private:
    std::filesystem::path root_;
    pid_t pid_ = -1;
};

}  // namespace korvane::bench
