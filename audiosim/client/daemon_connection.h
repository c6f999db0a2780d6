// A client's connection to the audiosim daemon: finds it (starting it when none runs), and sends
// requests that each get their reply within a timeout.
#pragma once

#include "audiosim/protocol/wire.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace audiosim {

class DaemonConnection {
public:
    // Connects to the user's daemon. Without one, and unless AUDIOSIM_AUTOSPAWN=0, starts
    // `audiosim server` in the background (one client at a time, under a lock beside the socket)
    // and waits up to 2 s for it. Nothing on failure, with the reason in `error`.
    static std::unique_ptr<DaemonConnection> open(std::string& error);
    ~DaemonConnection();
    DaemonConnection(const DaemonConnection&) = delete;
    DaemonConnection& operator=(const DaemonConnection&) = delete;

    // Sends `request` (an object with "op") and returns the reply, or nothing when the daemon
    // does not answer within the timeout (AUDIOSIM_TIMEOUT_MS, default 2000) or the connection
    // is gone. `receivedFd` gets a descriptor passed with the reply, or -1. Any thread.
    std::optional<wire::Message> call(wire::Message request, int* receivedFd = nullptr);
    std::optional<wire::Message> call(wire::Message request, std::chrono::milliseconds timeout, int* receivedFd = nullptr);

    std::chrono::milliseconds timeout() const { return timeout_; }

private:
    explicit DaemonConnection(int fd);

    int fd_;
    std::mutex mutex_;
    std::uint64_t nextId_ = 1;
    std::chrono::milliseconds timeout_{2000};
};

// The path of the `audiosim` program that serves as the daemon: $AUDIOSIM_BINARY, else the one
// built beside this program, else `audiosim` on the PATH.
std::string daemonProgram();

}  // namespace audiosim
