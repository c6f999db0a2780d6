// korvane-driver's life on the user's PipeWire server: it presents the KORVANE device and hosts the
// combined DAW devices while the server runs, comes back on its own when the server is restarted,
// and ends on SIGTERM or SIGINT with every node of its own removed. The device's settings and
// counters outlive connections; the DAW devices and the record of the configured default output
// are saved in the state directory and outlive the driver.
//
// Its states: waiting (no server: a connection is tried every 200 ms), connecting (connected, the
// server's settings not yet read), running (the device is up), lost (the server went away: the
// old connection is dropped and waiting begins at once). Every way out of running goes through
// lost, so a server that comes back is always found again.
#pragma once

#include "driver/daw_devices.h"
#include "driver/daw_host.h"
#include "driver/default_output_keeper.h"
#include "driver/device_audio.h"
#include "driver/device_settings.h"
#include "driver/korvane_device.h"
#include "driver/state_directory.h"
#include "driver/status_publisher.h"

#include <pipewire/pipewire.h>

#include <memory>
#include <vector>

namespace korvane::driver {

class DriverSession {
public:
    DriverSession();
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    // Runs until SIGTERM or SIGINT. Returns the program's exit status.
    int run();

    enum class State { waiting, connecting, running, lost };

private:
    void enter(State state);
    void connect();
    void disconnect();
    void start(std::uint32_t quantumLimit);
    void buildDevice();
    void loadDawDevices();
    void saveDawDevices();
    void sessionManagerSeen(bool present);
    static void coreInfo(void* data, const pw_core_info* info);
    static void coreError(void* data, uint32_t id, int seq, int res, const char* message);
    static void globalAdded(void* data, uint32_t id, uint32_t permissions, const char* type, uint32_t version,
                            const spa_dict* props);
    static void globalRemoved(void* data, uint32_t id);

    pw_main_loop* mainLoop_ = nullptr;
    pw_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    State phase_ = State::waiting;
    spa_source* reconnect_ = nullptr;  // waiting: tries again; lost: drops the old connection
    spa_source* rebuild_ = nullptr;    // running: makes the device anew
    spa_source* signals_[2] = {};
    bool waitingNoted_ = false;

    // The session manager's "default" metadata: while it is gone no one configures new nodes, and
    // one that starts while KORVANE's nodes exist waits for them forever (their ports already have
    // the configuration it asks for, so they announce nothing), so they are made anew for it.
    std::uint32_t sessionMetadata_ = SPA_ID_INVALID;
    bool sessionManagerLeft_ = false;

    std::unique_ptr<DeviceAudio> audio_ = std::make_unique<DeviceAudio>();
    DeviceSettings settings_;
    std::unique_ptr<KorvaneDevice> device_;
    std::unique_ptr<StatusPublisher> status_;

    StateDirectory state_{StateDirectory::userPath()};
    std::vector<DawDevice> dawDevices_;  // read once at start; saved at every change
    std::unique_ptr<DawHost> daw_;
    std::unique_ptr<DefaultOutputKeeper> defaultOutput_;
};

}  // namespace korvane::driver
