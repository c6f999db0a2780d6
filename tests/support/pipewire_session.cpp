#include "tests/support/pipewire_session.h"

#include "tests/support/daemon_fixture.h"

#include <pipewire/pipewire.h>

#include <csignal>
#include <regex>
#include <sstream>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvane::test {

namespace {

// WirePlumber starts once the server answers (a socket file alone may be one that a killed server
// left behind); both end with the session's process group. The shell stays, so the session bus
// outlives a WirePlumber that a test restarts.
constexpr const char* kSessionScript =
    "pipewire & i=0; until pw-cli info 0 >/dev/null 2>&1 || [ $i -ge 400 ]; do sleep 0.025; i=$((i+1)); done; "
    "wireplumber & wait";

}  // namespace

std::string driverProgram() { return KORVANE_DRIVER_PROGRAM; }

PipeWireSession::PipeWireSession() {
    for (const char* name : {"PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR", "DBUS_SESSION_BUS_ADDRESS",
                             "DISPLAY", "WAYLAND_DISPLAY"})
        ::unsetenv(name);
    environment_.set("XDG_CONFIG_HOME", (environment_.root() / "config").string());
    environment_.set("XDG_STATE_HOME", (environment_.root() / "state").string());
    ready_ = start();
}

PipeWireSession::~PipeWireSession() { stop(); }

bool PipeWireSession::start() {
    const std::string log = (environment_.root() / "session.log").string();
    group_ = ::fork();
    if (group_ == 0) {
        ::setsid();
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        ::execlp("dbus-run-session", "dbus-run-session", "--", "sh", "-c", kSessionScript, nullptr);
        ::_exit(127);
    }
    if (group_ < 0) return false;
    return waitUntil([&] {
        std::string output;
        return run({"pw-metadata", "-n", "default"}, &output) == 0 &&
               output.find("Found \"default\" metadata") != std::string::npos;
    }, std::chrono::seconds(20));
}

void PipeWireSession::stop() {
    if (group_ <= 0) return;
    ::kill(-group_, SIGTERM);
    const bool ended = waitUntil([&] { return ::waitpid(group_, nullptr, WNOHANG) == group_; }, std::chrono::seconds(3));
    // The server removes its socket as it ends; whatever of the group is left then is killed (a
    // socket it leaves behind is no sign of a server: the next start waits for one that answers).
    waitUntil([&] { return !std::filesystem::exists(environment_.runtimeDirectory() / "pipewire-0"); },
              std::chrono::seconds(1));
    ::kill(-group_, SIGKILL);
    if (!ended) ::waitpid(group_, nullptr, 0);
    group_ = -1;
}

bool PipeWireSession::restart() {
    stop();
    ready_ = start();
    return ready_;
}

pid_t PipeWireSession::sessionManager() const {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        if (::getpgid(pid) == group_ && readFile(entry.path() / "comm") == "wireplumber\n") return pid;
    }
    return -1;
}

int PipeWireSession::run(const std::vector<std::string>& arguments, std::string* output) const {
    std::vector<std::string> command = arguments;
    if (!command.empty()) command[0] = "/usr/bin/" + command[0];
    return runProgram(command, output, std::chrono::seconds(10));
}

nlohmann::json PipeWireSession::dump() const {
    std::string output;
    if (run({"pw-dump", "--no-colors"}, &output) != 0) return nlohmann::json::array();
    auto parsed = nlohmann::json::parse(output, nullptr, false);
    return parsed.is_array() ? parsed : nlohmann::json::array();
}

nlohmann::json PipeWireSession::node(const std::string& name) const {
    for (auto& object : dump())
        if (object.value("type", "") == "PipeWire:Interface:Node" && object.contains("info") &&
            object["info"]["props"].value("node.name", "") == name)
            return object;
    return nullptr;
}

std::optional<std::uint32_t> PipeWireSession::nodeId(const std::string& name) const {
    const auto found = node(name);
    if (found.is_null()) return std::nullopt;
    return found["id"].get<std::uint32_t>();
}

// pw-dump leaves out metadata objects that clients export, so this asks pw-metadata, which prints
// one "update: id:N key:'K' value:'V' type:'T'" line a property.
std::optional<nlohmann::json> PipeWireSession::metadataValue(const std::string& metadata, std::uint32_t subject,
                                                             const std::string& key) const {
    std::string output;
    if (run({"pw-metadata", "-n", metadata}, &output) != 0) return std::nullopt;
    static const std::regex kLine(R"(update: id:(\d+) key:'([^']*)' value:'(.*)' type:'([^']*)')");
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (!std::regex_match(line, match, kLine) || std::stoul(match[1]) != subject || match[2] != key) continue;
        if (match[4] != "Spa:String:JSON") return nlohmann::json(match[3].str());
        auto value = nlohmann::json::parse(match[3].str(), nullptr, false);
        return value.is_discarded() ? std::nullopt : std::optional<nlohmann::json>(value);
    }
    return std::nullopt;
}

nlohmann::json PipeWireSession::propsParams(const std::string& name, const std::string& prefix) const {
    nlohmann::json merged = nlohmann::json::object();
    const auto found = node(name);
    if (found.is_null() || !found["info"]["params"].contains("Props")) return merged;
    for (const auto& props : found["info"]["params"]["Props"]) {
        if (!props.contains("params") || !props["params"].is_array()) continue;
        const auto& pairs = props["params"];
        for (std::size_t i = 0; i + 1 < pairs.size(); i += 2)
            if (pairs[i].is_string() && pairs[i].get<std::string>().starts_with(prefix))
                merged[pairs[i].get<std::string>()] = pairs[i + 1];
    }
    return merged;
}

bool PipeWireSession::setProps(std::uint32_t node, const std::string& pod) const {
    return run({"pw-cli", "set-param", std::to_string(node), "Props", pod}) == 0;
}

void onDataThread(pw_context* context, void (*call)()) {
    pw_loop_invoke(pw_data_loop_get_loop(pw_context_get_data_loop(context)),
                   [](spa_loop*, bool, uint32_t, const void*, size_t, void* data) {
                       reinterpret_cast<void (*)()>(data)();
                       return 0;
                   },
                   0, nullptr, 0, true, reinterpret_cast<void*>(call));
}

}  // namespace korvane::test
