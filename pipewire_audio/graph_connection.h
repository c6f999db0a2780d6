// One process's connection to the user's PipeWire server: a pw_thread_loop, the registry, and the
// Graph its events keep up to date. When the server goes away the connection says so, tells its
// users, and connects again on its own every half second until the server is back.
//
// Thread contract: the loop's own thread runs every event. Every other thread reads or changes
// anything here only while it holds a Lock; the lock is recursive. Waiting (waitFor, roundTrip)
// is for other threads only and never longer than its limit.
#pragma once

#include "pipewire_audio/graph.h"

#include <pipewire/pipewire.h>

#include <functional>
#include <memory>
#include <string>

namespace korvane::pipewire_audio {

// Something built on the connection (a route filter, an output queue) that must let go of its
// PipeWire objects before the core they belong to is disconnected.
class ConnectionUser {
public:
    virtual ~ConnectionUser() = default;
    // Loop thread, lock held. Afterwards the user touches no PipeWire object of this core.
    virtual void connectionLost() = 0;
    // Loop thread, lock held: a node left the graph (a device unplugged).
    virtual void nodeRemoved(std::uint32_t /*node*/) {}
};

class GraphConnection {
public:
    // Connects and waits until the graph is known. Nothing, with the reason in `error`, when no
    // server answers.
    static std::unique_ptr<GraphConnection> open(std::string& error);
    ~GraphConnection();
    GraphConnection(const GraphConnection&) = delete;
    GraphConnection& operator=(const GraphConnection&) = delete;

    class Lock {
    public:
        explicit Lock(const GraphConnection& connection) : loop_(connection.loop_) { pw_thread_loop_lock(loop_); }
        ~Lock() { pw_thread_loop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pw_thread_loop* loop_;
    };

    // The rest: lock held.
    bool connected() const { return core_ != nullptr && !lost_; }
    // Advanced on every new connection: ids and objects of an earlier one mean nothing now.
    std::uint64_t generation() const { return generation_; }
    const Graph& graph() const { return graph_; }
    pw_core* core() const { return core_; }
    pw_context* context() const { return context_; }
    pw_thread_loop* threadLoop() const { return loop_; }

    // Waits (not on the loop thread) until `condition` holds, the connection is lost, or
    // `seconds` pass. Returns whether the condition holds.
    bool waitFor(const std::function<bool()>& condition, double seconds);
    // Waits until the server has handled everything sent before; false when it did not answer.
    bool roundTrip(double seconds = 2.0);
    // Advanced whenever an event may have changed the graph.
    std::uint64_t version() const { return version_; }
    // Notes a change and wakes the waiters (from an event handler).
    void signal() {
        ++version_;
        pw_thread_loop_signal(loop_, false);
    }

    // Writes a metadata value; null `value` removes the key. False when that metadata object is
    // unknown or the connection is down.
    bool setMetadata(const std::string& metadata, std::uint32_t subject, const char* key, const char* type,
                     const char* value);
    bool hasMetadata(const std::string& metadata) const;
    // Sets a param on a node bound by this connection.
    bool setNodeParam(std::uint32_t node, std::uint32_t paramId, const spa_pod* param);
    bool setDeviceParam(std::uint32_t device, std::uint32_t paramId, const spa_pod* param);

    void addUser(ConnectionUser* user);
    void removeUser(ConnectionUser* user);

private:
    struct Bound;
    GraphConnection() = default;
    bool connect();
    void teardown();
    void bindGlobal(std::uint32_t id, const char* type, const spa_dict* props);
    void removeGlobal(std::uint32_t id);

    static void onGlobal(void* data, uint32_t id, uint32_t permissions, const char* type, uint32_t version,
                         const spa_dict* props);
    static void onGlobalRemove(void* data, uint32_t id);
    static void onCoreDone(void* data, uint32_t id, int seq);
    static void onCoreError(void* data, uint32_t id, int seq, int res, const char* message);
    static void onRetry(void* data, uint64_t expirations);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    spa_hook coreListener_{};
    spa_hook registryListener_{};
    spa_source* retry_ = nullptr;
    bool lost_ = false;
    int lastDone_ = -1;
    std::uint64_t generation_ = 0;
    std::uint64_t version_ = 0;
    Graph graph_;
    std::map<std::uint32_t, std::unique_ptr<Bound>> bound_;
    std::map<std::string, std::uint32_t> metadataIds_;  // by metadata.name
    std::vector<ConnectionUser*> users_;
};

}  // namespace korvane::pipewire_audio
