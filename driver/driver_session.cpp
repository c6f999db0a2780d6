#include "driver/driver_session.h"

#include "driver/loop_timer.h"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace korvane::driver {

namespace {

constexpr long kRetryNanoseconds = 200'000'000;
constexpr long kRebuildNanoseconds = 1'000'000'000;

}  // namespace

DriverSession::DriverSession() {
    mainLoop_ = pw_main_loop_new(nullptr);
    loop_ = pw_main_loop_get_loop(mainLoop_);
    context_ = pw_context_new(loop_, nullptr, 0);
    retry_ = pw_loop_add_timer(loop_, [](void* data, uint64_t) {
        auto& self = *static_cast<DriverSession*>(data);
        if (self.rebuild_) {
            self.rebuild_ = false;
            self.buildDevice();
        } else {
            self.disconnect();
            self.connect();
        }
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
    pw_loop_destroy_source(loop_, retry_);
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

void DriverSession::connect() {
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        if (!waitingNoted_) std::fprintf(stderr, "korvane-driver: waiting for the PipeWire server…\n");
        waitingNoted_ = true;
        armTimer(loop_, retry_, kRetryNanoseconds);
        return;
    }
    waitingNoted_ = false;
    lost_ = false;
    static const pw_core_events kEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = coreError;
        return events;
    }();
    pw_core_add_listener(core_, &coreListener_, &kEvents, this);
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
    defaultOutput_.reset();
    daw_.reset();
    device_.reset();
    status_.reset();
    if (core_) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
}

void DriverSession::buildDevice() {
    device_.reset();  // the old nodes go before the new ones take their names
    device_ = std::make_unique<KorvaneDevice>(
        core_, *audio_, settings_, [this](const DeviceSettings& settings) { settingsChanged(settings); },
        [this] {
            // A stream the server refused or put in error: the device is made again shortly.
            std::fprintf(stderr, "korvane-driver: the KORVANE device failed; making it again\n");
            rebuild_ = true;
            armTimer(loop_, retry_, kRebuildNanoseconds);
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

// Gain and mode are in effect already; a new rate needs the streams negotiated again, which is
// done from the loop, outside the device's own callbacks.
void DriverSession::settingsChanged(const DeviceSettings& settings) {
    const bool newRate = settings.rate != settings_.rate;
    settings_ = settings;
    if (newRate && core_) {
        rebuild_ = true;
        armTimer(loop_, retry_, 0);
    }
}

// The server went away (it ended or was restarted): everything on the old connection is gone.
// The teardown happens from the loop, outside this callback of the connection itself.
void DriverSession::coreError(void* data, uint32_t id, int /*seq*/, int res, const char* message) {
    auto& self = *static_cast<DriverSession*>(data);
    if (id != PW_ID_CORE || res != -EPIPE || self.lost_) return;
    self.lost_ = true;
    std::fprintf(stderr, "korvane-driver: the PipeWire server went away (%s); reconnecting\n", message ? message : "");
    self.rebuild_ = false;
    armTimer(self.loop_, self.retry_, 0);
}

}  // namespace korvane::driver
