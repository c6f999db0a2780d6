// The combined DAW devices the driver hosts: what one is (a UID, a name, and the node.name of the
// physical output that carries its playback channels 3–4), the requests that make and remove one
// as they arrive in the "korvane" metadata, and the list as the driver saves it. Everything that
// comes from outside is checked here; a request or a saved list that fails a check is refused whole.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace korvane::driver {

inline constexpr const char* kDawCreateKey = "korvane.daw.create";
inline constexpr const char* kDawRemoveKey = "korvane.daw.remove";
inline constexpr const char* kDawUidPrefix = "audio.ravlin.daw.";
inline constexpr const char* kDawStateFile = "daw-devices.json";
inline constexpr std::size_t kMaxDawRequestBytes = 4096;
inline constexpr std::size_t kMaxDawTextBytes = 256;  // a UID, a name, an output's node.name
inline constexpr std::size_t kMaxDawDevices = 32;
inline constexpr std::size_t kMaxDawStateBytes = 64 * 1024;

struct DawDevice {
    std::string uid;     // the sink's node.name; the source's is uid + ".input"
    std::string name;    // node.description of both nodes
    std::string output;  // node.name of the physical output's sink node

    bool operator==(const DawDevice&) const = default;
};

// What a request asks, or why it is refused (`problem`, a sentence without the request in it).
struct DawRequest {
    enum class Kind { create, remove } kind = Kind::create;
    DawDevice device;  // remove: only the uid
};

// A write of `key` with `type` and `value` to subject 0 of the "korvane" metadata. A request is
// a JSON object of at most kMaxDawRequestBytes with type "Spa:String:JSON": create has "uid"
// (kDawUidPrefix and at least one more byte, at most kMaxDawTextBytes of [A-Za-z0-9+/=._-]),
// "name" (1 to kMaxDawTextBytes bytes of UTF-8) and "output" (1 to kMaxDawTextBytes bytes, not a
// node of the project's own); remove has "uid" alone. Other members are ignored.
std::optional<DawRequest> parseDawRequest(const char* key, const char* type, const char* value, std::string& problem);

// The saved list: {"devices": [{"uid": …, "name": …, "output": …}, …]}, each entry as a create
// request must be, no UID twice, at most kMaxDawDevices.
std::string dawDevicesText(const std::vector<DawDevice>& devices);
std::optional<std::vector<DawDevice>> parseDawDevices(const std::string& text, std::string& problem);

// True for the node.name of the KORVANE device or of another device the project makes.
bool isOwnNodeName(const std::string& name);

}  // namespace korvane::driver
