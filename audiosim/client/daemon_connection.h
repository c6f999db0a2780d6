// A client's connection to the audiosim daemon: finds it (starting it when none runs), and sends
// requests that each get their reply within a timeout.
#pragma once

#include "audiosim/protocol/wire.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace audiosim {

class DaemonConnection {
public:
    // Connects to the user's daemon. Without one, and unless AUDIOSIM_AUTOSPAWN=0, starts
    // `audiosim server` in the background (one client at a time, under a lock beside the socket)
    // and waits up to 5 s for it. Nothing on failure, with the reason in `error` (when the daemon
    // could not start, in its own words).
    static std::unique_ptr<DaemonConnection> open(std::string& error);
    ~DaemonConnection();
    DaemonConnection(const DaemonConnection&) = delete;
    DaemonConnection& operator=(const DaemonConnection&) = delete;

    // Sends `request` (an object with "op") and returns the reply, or nothing when the daemon
    // does not answer within the timeout (AUDIOSIM_TIMEOUT_MS, default 2000) or the connection
    // is gone. `receivedFd` gets a descriptor passed with the reply, or -1. Any thread; calls
    // take turns.
    //
    // A connection that broke (the daemon ended) is replaced on the next call by a new one, as
    // `open` makes it; the new daemon knows nothing of the old connection's callbacks and private
    // aggregates (see `generation`). After a call timed out, later calls fail at once, each after
    // a short look for a sign of life (any message, such as the late reply), until one arrives.
    std::optional<wire::Message> call(wire::Message request, int* receivedFd = nullptr);
    std::optional<wire::Message> call(wire::Message request, std::chrono::milliseconds timeout, int* receivedFd = nullptr);
    // As `call`, but only over the connection of `generation`: once that one broke, nothing is
    // sent and nothing returned. For requests that name what that connection's daemon gave out
    // (callback handles, playback numbers), which the next daemon may have given to another.
    std::optional<wire::Message> callOver(std::uint64_t generation, wire::Message request);

    // Which connection to a daemon calls go over: 1 for the first, one more for each that
    // replaced a broken one. A reply from another generation than a request's resources were
    // made in means that those resources are gone.
    std::uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

    // Ends a call waiting on another thread at once, and fails every later one. Any thread.
    void cancel();

    std::chrono::milliseconds timeout() const { return timeout_; }

private:
    explicit DaemonConnection(int fd);

    // `call`; over the connection of `generation` only, unless it is 0.
    std::optional<wire::Message> exchange(wire::Message request, std::chrono::milliseconds timeout, int* receivedFd,
                                          std::uint64_t generation);

    enum class Arrival { Some, Nothing, Closed };
    // Reads what the daemon sent within `wait` into the inbox.
    Arrival receive(std::chrono::milliseconds wait);
    // The oldest complete message in the inbox, with a descriptor passed with it (or -1);
    // nothing when none is complete. A malformed one breaks the connection.
    std::optional<wire::Message> nextMessage(int& passedFd);
    // Closes a connection that can no longer be trusted; the next call connects again.
    void breakConnection();
    bool reconnect();

    std::mutex mutex_;  // one call at a time; guards everything below but the atomics
    int fd_;
    std::uint64_t nextId_ = 1;
    bool unanswered_ = false;  // a call timed out and nothing has arrived since
    std::vector<std::uint8_t> inbox_;  // received bytes not yet taken as messages
    std::uint64_t inboxStart_ = 0;  // stream offset of inbox_[0]
    std::deque<std::pair<std::uint64_t, int>> passedFds_;  // (stream offset they arrived at, fd)
    std::atomic<std::uint64_t> generation_{1};
    std::atomic<bool> cancelled_{false};
    std::mutex fdMutex_;  // held to replace fd_, and by cancel() to shut it down from outside
    std::chrono::milliseconds timeout_{2000};
};

}  // namespace audiosim
