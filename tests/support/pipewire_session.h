// Test support: a private PipeWire server and WirePlumber session for one test, started under
// dbus-run-session in the test's own XDG_RUNTIME_DIR (never the developer's session), and what
// tests ask of it through PipeWire's own command-line tools.
#pragma once

#include "tests/support/test_environment.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct pw_context;

namespace korvane::test {

// korvane-driver of this build.
std::string driverProgram();

// Runs `call` on the data thread of `context` (where its real-time callbacks run) and waits for it.
void onDataThread(pw_context* context, void (*call)());

class PipeWireSession {
public:
    // Starts the session and waits until the server answers and WirePlumber has made its
    // "default" metadata; ready() says whether it did.
    PipeWireSession();
    ~PipeWireSession();
    PipeWireSession(const PipeWireSession&) = delete;
    PipeWireSession& operator=(const PipeWireSession&) = delete;

    bool ready() const { return ready_; }
    TestEnvironment& environment() { return environment_; }

    // Ends the server and WirePlumber, as a user restarting them does, and starts them again.
    bool restart();
    // The session's own WirePlumber, or -1.
    pid_t sessionManager() const;

    // Every object, as pw-dump shows them; an empty array when it fails.
    nlohmann::json dump() const;
    // The node named `name` as pw-dump shows it, or null.
    nlohmann::json node(const std::string& name) const;
    std::optional<std::uint32_t> nodeId(const std::string& name) const;
    // The value of `key` for `subject` in the metadata object `metadata`.
    std::optional<nlohmann::json> metadataValue(const std::string& metadata, std::uint32_t subject,
                                                const std::string& key) const;
    // The "params" pairs of a node's Props whose keys start with `prefix`, every Props object merged.
    nlohmann::json propsParams(const std::string& name, const std::string& prefix = "korvane.") const;

    // Runs one of the session's tools (a name in /usr/bin) to its end; its exit status.
    int run(const std::vector<std::string>& arguments, std::string* output = nullptr) const;
    // pw-cli set-param NODE Props POD.
    bool setProps(std::uint32_t node, const std::string& pod) const;

private:
    bool start();
    void stop();

    TestEnvironment environment_;
    pid_t group_ = -1;
    bool ready_ = false;
};

}  // namespace korvane::test
