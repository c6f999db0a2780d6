// A small program that tests copy into bundle layouts and start, as a stand-in for an application.
//
//   application_probe describe          prints its bundle and bundle information as JSON
//   application_probe [OPTIONS]         runs until SIGTERM (the default when started without arguments)
//     --uid N            first switches to user N (and group N); needs root
//     --term-delay-ms N  on SIGTERM, exits only N ms later
//     --ignore-term      ignores SIGTERM (SIGKILL still ends it)
//
// When KORVANE_PROBE_REPORT names a file, a running probe first writes there, atomically, what a
// test checks about how it was started: its process, parent and session ids, where its standard
// streams lead, its other open descriptors, its working directory and its blocked and ignored signals.
#include "platform/linux_application_services.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string linkTarget(const fs::path& link) {
    std::error_code error;
    const auto target = fs::read_symlink(link, error);
    return error ? std::string() : target.string();
}

void writeReport(const char* path) {
    nlohmann::json report;
    report["pid"] = ::getpid();
    report["ppid"] = ::getppid();
    report["sid"] = ::getsid(0);
    report["cwd"] = fs::current_path().string();
    for (int stream = 0; stream <= 2; ++stream) report["streams"].push_back(linkTarget("/proc/self/fd/" + std::to_string(stream)));
    report["otherDescriptors"] = nlohmann::json::array();
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        if (fd > 2) report["otherDescriptors"].push_back(linkTarget(entry.path()));
    }
    // The iterator's own descriptor is among them; a test allows exactly one.
    sigset_t blocked;
    ::sigprocmask(SIG_BLOCK, nullptr, &blocked);
    int blockedCount = 0, ignoredCount = 0;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (::sigismember(&blocked, signal) == 1) ++blockedCount;
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) ++ignoredCount;
    }
    report["blockedSignals"] = blockedCount;
    report["ignoredSignals"] = ignoredCount;
    const std::string temporary = std::string(path) + ".partial";
    std::ofstream(temporary) << report.dump();
    fs::rename(temporary, path);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "describe") {
        platform::LinuxApplicationServices services;
        nlohmann::json out;
        const auto bundle = services.mainBundleLocation();
        out["bundle"] = bundle ? nlohmann::json(bundle->string()) : nlohmann::json();
        const auto info = services.mainBundleInfo();
        out["info"] = info ? nlohmann::json(*info) : nlohmann::json();
        out["system"] = services.operatingSystemVersion();
        std::cout << out.dump() << std::endl;
        return 0;
    }

    int termDelayMs = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--uid" && i + 1 < argc) {
            const auto id = static_cast<unsigned>(std::stoul(argv[++i]));
            if (::setgid(id) != 0 || ::setuid(id) != 0) return 2;
        } else if (option == "--term-delay-ms" && i + 1 < argc) {
            termDelayMs = std::stoi(argv[++i]);
        } else if (option == "--ignore-term") {
            ::signal(SIGTERM, SIG_IGN);
        } else {
            std::cerr << "application_probe: unknown option " << option << "\n";
            return 2;
        }
    }
    if (const char* report = std::getenv("KORVANE_PROBE_REPORT")) writeReport(report);

    sigset_t terminate;
    ::sigemptyset(&terminate);
    ::sigaddset(&terminate, SIGTERM);
    if (termDelayMs >= 0) ::sigprocmask(SIG_BLOCK, &terminate, nullptr);
    std::cout << "ready" << std::endl;
    if (termDelayMs >= 0) {
        int received = 0;
        ::sigwait(&terminate, &received);
        std::this_thread::sleep_for(std::chrono::milliseconds(termDelayMs));  // the slow exit a test asked for
        return 0;
    }
    for (;;) ::pause();
}
