// One client connection of the daemon; internal to the daemon.
#pragma once

#include "audiosim/daemon/remote_proc.h"
#include "audiosim/daemon/server.h"

#include <deque>
#include <set>
#include <unistd.h>

namespace audiosim {

using platform::audio::AudioHardware;
using platform::audio::AudioObjectID;

struct Server::Connection {
    struct Proc {
        std::unique_ptr<RemoteProc> remote;
        AudioObjectID device = 0;
        std::string deviceUID;
    };
    struct Outgoing {
        std::vector<std::uint8_t> bytes;
        int fd = -1;  // passed with the first byte, closed once sent
        std::size_t sent = 0;
    };

    int fd = -1;
    std::vector<std::uint8_t> input;
    std::deque<Outgoing> output;
    std::size_t pendingBytes = 0;
    // Declared before the client so that the client, whose disconnection removes the callbacks
    // from the model, goes first; only then is the shared memory behind them released.
    std::map<std::uint64_t, Proc> procs;
    std::unique_ptr<AudioHardware> client;
    // The playbacks this connection queued: like a process's output queues, they stop when it
    // goes. Finished ones are dropped as new ones are queued.
    std::set<std::uint64_t> playbacks;

    ~Connection() {
        client.reset();
        for (auto& item : output)
            if (item.fd >= 0) ::close(item.fd);
    }
};

}  // namespace audiosim
