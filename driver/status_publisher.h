// The KORVANE device's telemetry on a PipeWire connection: a metadata object "korvane" that the
// driver owns, holding "korvane.status" on the sink node's id: a JSON array of the 7 status
// numbers (peaks before and after the gain, a counter of publications with new peaks, a counter
// of the source's reads, and 0). Republished every 25 ms while audio flows, with the highest
// peaks since the last publication, and whenever it changes; what anyone else writes to it is
// put back within one period. Metadata, not Props: desktop volume applets follow every Props change.
#pragma once

#include "driver/device_audio.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/impl-metadata.h>
#include <pipewire/pipewire.h>

#include <cstdint>
#include <functional>
#include <string>

namespace korvane::driver {

inline constexpr const char* kMetadataName = "korvane";
inline constexpr const char* kStatusKey = "korvane.status";

class StatusPublisher {
public:
    // Main loop. `audio` must outlive it; `subject` answers the sink node's id (SPA_ID_INVALID
    // while there is none), asked at every tick, so a new node takes the status along.
    StatusPublisher(pw_core* core, DeviceAudio& audio, std::function<std::uint32_t()> subject);
    // Main loop. The metadata object goes with it.
    ~StatusPublisher();
    StatusPublisher(const StatusPublisher&) = delete;
    StatusPublisher& operator=(const StatusPublisher&) = delete;

    // The "korvane" metadata's store, for others who answer writes to it; null when it could not
    // be made. It lives as long as this publisher.
    pw_impl_metadata* store() const { return store_; }

private:
    void setSubject(std::uint32_t sinkNodeId);
    void tick();
    void publish();
    static int propertyChanged(void* data, uint32_t subject, const char* key, const char* type, const char* value);

    pw_core* core_;
    DeviceAudio& audio_;
    std::function<std::uint32_t()> subjectOf_;
    // The store lives in this process and is exported to the server, so what anyone writes to it
    // reaches the listener here first.
    pw_impl_metadata* store_ = nullptr;
    pw_metadata* metadata_ = nullptr;  // the store's implementation
    pw_proxy* exported_ = nullptr;
    spa_hook listener_{};
    bool overwritten_ = false;  // someone else wrote the status: put back on the next tick
    spa_source* timer_ = nullptr;
    std::uint32_t subject_ = SPA_ID_INVALID;
    virtual_device::Peaks peaks_{};   // the last published
    std::string status_;              // the value in effect
    std::uint64_t publicationsShown_ = 0;  // the counters status_ shows
    std::uint64_t readsShown_ = 0;
};

// The status text of the seven numbers: peaks, publications, reads, 0.
std::string statusText(const virtual_device::Peaks& peaks, std::uint64_t publications, std::uint64_t reads);

}  // namespace korvane::driver
