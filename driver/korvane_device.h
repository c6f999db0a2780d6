// The KORVANE device on a PipeWire connection: a sink "audio.ravlin.stereo.v1" (playback 1–2)
// and a source "audio.ravlin.stereo.v1.input" (input 1–2, what a DAW records), two stream nodes
// of one group, neither triggered. What reaches the sink leaves the source one quantum later,
// through the device's processing and a FrameFifo. Both run at the graph's rate and follow it in
// place; both stay at unity volume; the source declares the delay it adds as its latency.
#pragma once

#include "driver/device_audio.h"
#include "driver/device_settings.h"

#include <pipewire/pipewire.h>
#include <spa/param/latency.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace korvane::driver {

inline constexpr const char* kSinkName = "audio.ravlin.stereo.v1";
inline constexpr const char* kSourceName = "audio.ravlin.stereo.v1.input";
inline constexpr const char* kDescription = "KORVANE";

class KorvaneDevice {
public:
    // Main loop. Presents the device on `core`; `audio` must outlive it. `onSettings` runs on the
    // main loop, after the call that delivered them has returned, when a writer changed the gain or
    // the mode (in effect by then); `onFailure` likewise when a stream could not be made or the
    // server put one in error.
    KorvaneDevice(pw_core* core, DeviceAudio& audio, const DeviceSettings& settings,
                  std::function<void(const DeviceSettings&)> onSettings, std::function<void()> onFailure);
    // Main loop. Removes both nodes; no process callback runs once it returns.
    ~KorvaneDevice();
    KorvaneDevice(const KorvaneDevice&) = delete;
    KorvaneDevice& operator=(const KorvaneDevice&) = delete;

    // The sink's node id, or SPA_ID_INVALID until the server has given one.
    std::uint32_t sinkNodeId() const;
    // The source's node id, likewise.
    std::uint32_t sourceNodeId() const;

    // How long the graph is given to follow a rate asked of KORVANE.
    static constexpr long kRateNanoseconds = 2'000'000'000;

private:
    // One stream of the pair and where the graph's clock stands for it.
    struct Side {
        KorvaneDevice* device = nullptr;
        pw_stream* stream = nullptr;
        spa_hook listener{};
        bool sink = false;
        std::atomic<spa_io_position*> position{nullptr};  // set on the main loop, read by the data thread
        std::optional<std::uint32_t> rate;                 // main loop: the negotiated format's rate
    };

    // Makes and connects `side`'s stream; false (and no stream) when that fails.
    bool connectStream(Side& side);
    void publishProps();
    void publishLatency();
    void refreshLatency();
    void settingsReceived(Side& side, const spa_pod* props);
    void formatChanged(Side& side, const spa_pod* format);
    void askRate(std::uint32_t rate);
    void preferRate(const char* value);
    void rateDeadline();
    std::uint32_t rateInEffect() const;
    void resetVolume(Side& side);
    void deliverLater();

    // Data thread.
    static void processSink(void* data);
    static void processSource(void* data);

    // Main loop.
    void countReaders();
    static void globalAdded(void* data, uint32_t id, uint32_t permissions, const char* type, uint32_t version,
                            const spa_dict* props);
    static void globalRemoved(void* data, uint32_t id);
    static void ioChanged(void* data, uint32_t id, void* area, uint32_t size);
    static void paramChanged(void* data, uint32_t id, const spa_pod* param);
    static void stateChanged(void* data, pw_stream_state old, pw_stream_state state, const char* error);

    pw_core* core_;
    DeviceAudio& audio_;
    DeviceSettings settings_;  // gain and mode as set; the rate as last published
    std::function<void(const DeviceSettings&)> onSettings_;
    std::function<void()> onFailure_;
    Side sink_;
    Side source_;
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    std::map<std::uint32_t, std::uint32_t> links_;  // every link's id → the node it takes output from
    spa_source* deferred_ = nullptr;  // delivers news after the callback that carried it
    spa_source* latencyTimer_ = nullptr;  // the declared latency follows the FIFO's delay
    std::optional<DeviceSettings> pending_;
    bool failed_ = false;

    // A rate asked of KORVANE is offered to the graph as the nodes' preferred rate ("node.rate")
    // and withdrawn when the graph has not followed within kRateNanoseconds.
    spa_source* rateTimer_ = nullptr;
    std::optional<std::uint32_t> askedRate_;
    std::string preference_;  // "node.rate" as the nodes carry it; empty: never set
    std::string earlierPreference_;
    std::uint32_t latencyPublished_ = ~0u;  // the delay last declared, in frames (0: one quantum)
    std::optional<spa_latency_info> downstream_;  // the source's peer's playback latency
};

}  // namespace korvane::driver
