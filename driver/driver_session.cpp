#include "driver/driver_session.h"

#include "driver/loop_timer.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

namespace korvane::driver {

namespace {

constexpr long kRetryNanoseconds = 200'000'000;
constexpr long kRebuildNanoseconds = 1'000'000'000;

}  // namespace

DriverSession::DriverSession() {
    mainLoop_ = pw_main_loop_new(nullptr);
    loop_ = pw_main_loop_get_loop(mainLoop_);
    // client-rt.conf: the data thread runs with real-time priority where the user may have it, as
    // the desktop's own players do; the device's callbacks must not miss a cycle on a busy machine.
    context_ = pw_context_new(loop_, pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    reconnect_ = pw_loop_add_timer(loop_, [](void* data, uint64_t) {
        auto& self = *static_cast<DriverSession*>(data);
        if (self.phase_ == State::lost) self.disconnect();
        if (self.phase_ == State::waiting) self.connect();
    }, this);
    rebuild_ = pw_loop_add_timer(loop_, [](void* data, uint64_t) {
        auto& self = *static_cast<DriverSession*>(data);
        if (self.phase_ == State::running) self.buildDevice();
    }, this);
    loadDawDevices();
    int index = 0;
    for (int signal : {SIGTERM, SIGINT})
        signals_[index++] = pw_loop_add_signal(loop_, signal, [](void* data, int) {
            pw_main_loop_quit(static_cast<DriverSession*>(data)->mainLoop_);
        }, this);
}

DriverSession::~DriverSession() {
    disconnect();
    for (spa_source* signal : signals_) pw_loop_destroy_source(loop_, signal);
    pw_loop_destroy_source(loop_, rebuild_);
    pw_loop_destroy_source(loop_, reconnect_);
    pw_context_destroy(context_);
    pw_main_loop_destroy(mainLoop_);
}

int DriverSession::run() {
    if (!mainLoop_ || !context_) {
        std::fprintf(stderr, "korvane-driver: could not start a PipeWire client: %s\n", std::strerror(errno));
        return 1;
    }
    connect();
    pw_main_loop_run(mainLoop_);
    disconnect();  // removes the device before the program ends
    return 0;
}

void DriverSession::enter(State state) {
    phase_ = state;
    switch (state) {
    case State::waiting:
        armTimer(loop_, reconnect_, kRetryNanoseconds);
        break;
    case State::lost:
        armTimer(loop_, reconnect_, 0);  // the teardown runs from the loop, outside the core's callback
        break;
    case State::connecting:
    case State::running:
        break;
    }
}

// Connected, the driver waits for the server's own description (its quantum limit sizes the
// device's FIFO) before it makes anything.
void DriverSession::connect() {
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        if (!waitingNoted_) std::fprintf(stderr, "korvane-driver: waiting for the PipeWire server…\n");
        waitingNoted_ = true;
        enter(State::waiting);
        return;
    }
    waitingNoted_ = false;
    static const pw_core_events kEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.info = coreInfo;
        events.error = coreError;
        return events;
    }();
    pw_core_add_listener(core_, &coreListener_, &kEvents, this);
    enter(State::connecting);
}

void DriverSession::start(std::uint32_t quantumLimit) {
    audio_->prepare(quantumLimit);  // no stream exists yet
    enter(State::running);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_) {
        static const pw_registry_events kEvents = {
            .version = PW_VERSION_REGISTRY_EVENTS, .global = globalAdded, .global_remove = globalRemoved};
        pw_registry_add_listener(registry_, &registryListener_, &kEvents, this);
    }
    status_ = std::make_unique<StatusPublisher>(core_, *audio_, [this] {
        return device_ ? device_->sinkNodeId() : SPA_ID_INVALID;
    });
    buildDevice();
    daw_ = std::make_unique<DawHost>(
        core_, status_->store(), dawDevices_, [this] { saveDawDevices(); },
        [this] {
            return device_ ? DawHost::KorvaneNodes{device_->sinkNodeId(), device_->sourceNodeId()} : DawHost::KorvaneNodes{};
        });
    defaultOutput_ = std::make_unique<DefaultOutputKeeper>(core_, state_);
}

void DriverSession::disconnect() {
    disarmTimer(loop_, rebuild_);  // a rebuild asked of the old connection is none of the next one's
    defaultOutput_.reset();
    daw_.reset();
    device_.reset();
    status_.reset();
    if (registry_) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        registry_ = nullptr;
    }
    sessionMetadata_ = SPA_ID_INVALID;
    sessionManagerLeft_ = false;
    if (core_) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    phase_ = State::waiting;
}

void DriverSession::buildDevice() {
    device_.reset();  // the old nodes go before the new ones take their names
    device_ = std::make_unique<KorvaneDevice>(
        core_, *audio_, settings_, [this](const DeviceSettings& settings) { settings_ = settings; },
        [this] {
            // A stream the server refused or put in error: the device is made again shortly.
            std::fprintf(stderr, "korvane-driver: the KORVANE device failed; making it again\n");
            armTimer(loop_, rebuild_, kRebuildNanoseconds);
        });
}

// A file that is not a list of DAW devices is set aside and the driver starts with none.
void DriverSession::loadDawDevices() {
    const StateDirectory::Read read = state_.read(kDawStateFile, kMaxDawStateBytes);
    if (read.outcome == StateDirectory::Read::Outcome::absent) return;
    std::string problem = read.problem;
    if (read.outcome == StateDirectory::Read::Outcome::read) {
        if (auto devices = parseDawDevices(read.text, problem)) {
            dawDevices_ = std::move(*devices);
            return;
        }
    }
    std::fprintf(stderr, "korvane-driver: %s is not a list of DAW devices: %s. %s\n",
                 (state_.path() / kDawStateFile).c_str(), problem.c_str(), state_.setAside(kDawStateFile).c_str());
}

void DriverSession::saveDawDevices() {
    if (const std::string error = state_.write(kDawStateFile, dawDevicesText(dawDevices_)); !error.empty())
        std::fprintf(stderr, "korvane-driver: %s\n", error.c_str());
}

// A session manager that comes back after one left finds KORVANE's nodes as new ones.
void DriverSession::sessionManagerSeen(bool present) {
    if (!present) {
        sessionManagerLeft_ = true;
        return;
    }
    if (!std::exchange(sessionManagerLeft_, false)) return;
    std::printf("korvane-driver: the session manager started again; presenting the KORVANE device anew\n");
    std::fflush(stdout);
    armTimer(loop_, rebuild_, 0);
}

void DriverSession::coreInfo(void* data, const pw_core_info* info) {
    auto& self = *static_cast<DriverSession*>(data);
    if (self.phase_ != State::connecting || !info) return;
    std::uint32_t limit = DeviceAudio::kDefaultQuantumLimit;
    if (const char* value = info->props ? spa_dict_lookup(info->props, "default.clock.quantum-limit") : nullptr)
        spa_atou32(value, &limit, 10);
    self.start(limit);
}

// The server went away (it ended or was restarted): everything on the old connection is gone.
// The protocol reports a broken connection with the socket's own error.
void DriverSession::coreError(void* data, uint32_t id, int /*seq*/, int res, const char* message) {
    auto& self = *static_cast<DriverSession*>(data);
    const bool broken = res == -EPIPE || res == -ECONNRESET || res == -ENOTCONN || res == -ECONNREFUSED;
    if (id != PW_ID_CORE || !broken || self.phase_ == State::lost || self.phase_ == State::waiting) return;
    std::fprintf(stderr, "korvane-driver: the PipeWire server went away (%s); reconnecting\n", message ? message : "");
    self.enter(State::lost);
}

void DriverSession::globalAdded(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    auto& self = *static_cast<DriverSession*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) != 0 || !props) return;
    const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
    if (!name || std::strcmp(name, "default") != 0) return;
    self.sessionMetadata_ = id;
    self.sessionManagerSeen(true);
}

void DriverSession::globalRemoved(void* data, uint32_t id) {
    auto& self = *static_cast<DriverSession*>(data);
    if (id != self.sessionMetadata_) return;
    self.sessionMetadata_ = SPA_ID_INVALID;
    self.sessionManagerSeen(false);
}

}  // namespace korvane::driver
