// The platform's devices as the PipeWire graph presents them: a Device's sink and source joined
// into one device when it has exactly one of each, the KORVANE pair (and each hosted DAW device)
// joined by name, every other sink or source a device of its own. Application streams are no
// devices. Pure functions of a Graph, so the mapping is tested over fixtures of real desktops.
#pragma once

#include "pipewire_audio/graph.h"
#include "platform/audio_types.h"

#include <set>
#include <string>
#include <vector>

namespace korvane::pipewire_audio {

using platform::audio::AudioObjectID;
using platform::audio::FourCharCode;

inline constexpr const char* kKorvaneSink = "audio.ravlin.stereo.v1";
inline constexpr const char* kPairedSourceSuffix = ".input";  // the source of a joined pair by name
inline constexpr const char* kSubdevicesKey = "korvane.subdevices";  // a hosted DAW device's members

struct DeviceEntry {
    std::string uid;   // node.name of the sink, else of the source
    std::string name;
    FourCharCode transport = 0;
    std::uint32_t sinkNode = 0;    // 0: no output side
    std::uint32_t sourceNode = 0;  // 0: no input side
    std::uint32_t outputChannels = 0;
    std::uint32_t inputChannels = 0;
    bool korvane = false;
    std::vector<std::string> subdeviceUIDs;  // a hosted DAW device's, else empty
};

// Every device of the graph, in a stable order (by UID).
std::vector<DeviceEntry> buildDeviceTable(const Graph& graph);

// The backend's own object ids: one per key (a device UID, or a stream's key), handed out when a
// key appears and never reused within the run, as PipeWire's global ids are at once.
class IdTable {
public:
    AudioObjectID idFor(const std::string& key);
    // Forgets every key not in `keep`: a device that comes back gets a new id.
    void retainOnly(const std::set<std::string>& keep);
    // The key of an id still held, or null.
    const std::string* keyOf(AudioObjectID id) const;

private:
    std::map<std::string, AudioObjectID> ids_;
    std::map<AudioObjectID, std::string> keys_;
    AudioObjectID next_ = 32;  // clear of the system object and the unknown id
};

}  // namespace korvane::pipewire_audio
