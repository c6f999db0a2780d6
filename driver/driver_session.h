// korvane-driver's life on the user's PipeWire server: it presents the KORVANE device and hosts the
// combined DAW devices while the server runs, comes back on its own when the server is restarted,
// and ends on SIGTERM or SIGINT with every node of its own removed. The device's settings and
// counters outlive connections and new rates; the DAW devices and the record of the configured
// default output are saved in the state directory and outlive the driver.
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

private:
    void connect();
    void disconnect();
    void buildDevice();
    void settingsChanged(const DeviceSettings& settings);
    void loadDawDevices();
    void saveDawDevices();
    static void coreError(void* data, uint32_t id, int seq, int res, const char* message);

    pw_main_loop* mainLoop_ = nullptr;
    pw_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    spa_source* retry_ = nullptr;      // connects again, or rebuilds the device, when it fires
    spa_source* signals_[2] = {};
    bool waitingNoted_ = false;
    bool rebuild_ = false;
    bool lost_ = false;  // the connection broke; the teardown is on its way

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
