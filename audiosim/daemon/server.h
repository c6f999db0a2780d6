// The audiosim daemon: serves one simulated machine to the user's processes over a Unix socket,
// runs its audio clock, and keeps what a real system keeps across restarts.
#pragma once

#include "audiosim/model/device_model.h"
#include "audiosim/protocol/operations.h"
#include "audiosim/protocol/paths.h"
#include "audiosim/protocol/wire.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace audiosim {

class RemoteProc;

class Server {
public:
    Server(MachineSpec machine, SocketLocation location, std::filesystem::path stateDirectory);
    ~Server();

    // Binds the socket and serves until SIGTERM or SIGINT. Returns the exit status; problems are
    // reported on stderr as one sentence.
    int run();

private:
    struct Connection;
    struct PendingPermission {
        std::chrono::steady_clock::time_point due;
        int fd;
        std::uint64_t requestId;
    };

    bool takeLock(std::string& error);    // one daemon per socket
    bool bindSocket(std::string& error);  // under the lock
    void accept();
    bool readFrom(Connection&);  // false: close the connection
    bool flush(Connection&);
    void close(int fd);
    wire::Message handle(Connection&, const wire::Message& request, int& passFd);
    wire::Message handlePlatform(Connection&, const std::string& op, const wire::Message& request, int& passFd);
    wire::Message handleMachine(Connection&, const std::string& op, const wire::Message& request);
    wire::Message handlePermission(Connection&, const std::string& op, const wire::Message& request, bool& deferred);
    wire::Message statistics() const;
    void firePermissions();
    void reply(Connection&, const wire::Message& message, int passFd = -1);
    void loadState();
    void saveState();

    platform::SystemUptimeClock clock_;
    DeviceModel model_;
    SocketLocation location_;
    std::filesystem::path stateDirectory_;
    std::unique_ptr<platform::audio::AudioHardware> systemClient_;  // owns restored public aggregates
    int listenFd_ = -1;
    int lockFd_ = -1;
    int signalFd_ = -1;
    std::map<int, std::unique_ptr<Connection>> connections_;
    std::vector<PendingPermission> pendingPermissions_;

    // Capture permission: 0 not determined, 1 restricted, 2 denied, 3 authorized.
    int permissionStatus_ = 3;
    bool permissionAnswer_ = true;
    double permissionDelay_ = 0.5;
};


}  // namespace audiosim
