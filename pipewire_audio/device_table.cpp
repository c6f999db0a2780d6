#include "pipewire_audio/device_table.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>

namespace korvane::pipewire_audio {

using namespace platform::audio;

namespace {

enum class Side { None, Sink, Source };

Side sideOf(const Node& node) {
    const std::string* mediaClass = Graph::property(node.props, "media.class");
    if (!mediaClass) return Side::None;
    if (*mediaClass == "Audio/Sink") return Side::Sink;
    if (*mediaClass == "Audio/Source" || *mediaClass == "Audio/Source/Virtual") return Side::Source;
    return Side::None;
}

std::string valueOr(const Properties& props, const char* key, const std::string& fallback = {}) {
    const std::string* value = Graph::property(props, key);
    return value && !value->empty() ? *value : fallback;
}

// The Device a node names by device.id: only a whole number does ("7x" is no 7).
std::optional<std::uint32_t> deviceIdOf(const Node& node) {
    const std::string* text = Graph::property(node.props, "device.id");
    if (!text) return std::nullopt;
    std::uint32_t id = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), id);
    if (error != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return id;
}

std::uint32_t channelsOf(const Graph& graph, const Node& node, bool output) {
    const auto ports = graph.channelPorts(node.id, output);
    if (!ports.empty()) return std::uint32_t(ports.size());
    // Ports come a moment after their node; until then the node's own word stands.
    const std::string channels = valueOr(node.props, "audio.channels");
    std::uint32_t count = 0;
    const auto [end, error] = std::from_chars(channels.data(), channels.data() + channels.size(), count);
    return error == std::errc() && end == channels.data() + channels.size() && count <= 64 ? count : 0;
}

bool isHDMI(const Node& node) {
    const std::string profile = valueOr(node.props, "device.profile.name");
    const std::string name = valueOr(node.props, "node.name");
    return profile.starts_with("hdmi") || name.find(".hdmi-") != std::string::npos;
}

FourCharCode transportOf(const Node& node, const DeviceObject* device) {
    const auto fromEither = [&](const char* key) {
        std::string value = device ? valueOr(device->props, key) : std::string();
        return value.empty() ? valueOr(node.props, key) : value;
    };
    const std::string bus = fromEither("device.bus");
    const std::string api = fromEither("device.api");
    if (bus == "bluetooth" || api == "bluez5") return kAudioDeviceTransportTypeBluetooth;
    if (isHDMI(node)) return kAudioDeviceTransportTypeHDMI;
    if (bus == "usb") return kAudioDeviceTransportTypeUSB;
    // udev gives a system-on-chip's codec no bus, only a path of "platform-...".
    if (bus == "pci" || bus == "platform" || fromEither("device.bus-path").starts_with("platform-") ||
        fromEither("device.form-factor") == "internal")
        return kAudioDeviceTransportTypeBuiltIn;
    return kAudioDeviceTransportTypeVirtual;
}

std::vector<std::string> subdevicesOf(const Node& node) {
    const std::string* text = Graph::property(node.props, kSubdevicesKey);
    if (!text) return {};
    const auto json = nlohmann::json::parse(*text, nullptr, false);
    std::vector<std::string> uids;
    if (!json.is_array()) return uids;
    for (const auto& uid : json)
        if (uid.is_string()) uids.push_back(uid.get<std::string>());
    return uids;
}

}  // namespace

std::vector<const Port*> Graph::channelPorts(std::uint32_t node, bool output) const {
    std::vector<const Port*> found;
    std::vector<const Port*> monitors;
    for (const auto& [id, port] : ports)
        if (port.node == node && port.output == output) (port.monitor ? monitors : found).push_back(&port);
    // A virtual source (a null sink presented as a source) gives its channels out as monitors.
    if (found.empty() && output) found = std::move(monitors);
    std::sort(found.begin(), found.end(), [](const Port* a, const Port* b) { return a->index < b->index; });
    return found;
}

const Node* Graph::nodeNamed(const std::string& name) const {
    for (const auto& [id, node] : nodes)
        if (const std::string* own = property(node.props, "node.name"); own && *own == name) return &node;
    return nullptr;
}

std::optional<std::string> nameInJSON(const std::string& text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    const auto name = json.find("name");
    if (name == json.end() || !name->is_string()) return std::nullopt;
    return name->get<std::string>();
}

std::vector<DeviceEntry> buildDeviceTable(const Graph& graph) {
    // The sinks and sources of each Device, and the nodes of no Device by name.
    std::map<std::uint32_t, std::vector<const Node*>> byDevice;
    std::map<std::string, const Node*> byName;
    std::vector<const Node*> candidates;
    for (const auto& [id, node] : graph.nodes) {
        if (sideOf(node) == Side::None || valueOr(node.props, "node.name").empty()) continue;
        candidates.push_back(&node);
        byName.emplace(valueOr(node.props, "node.name"), &node);
        if (const auto device = deviceIdOf(node); device && graph.devices.contains(*device))
            byDevice[*device].push_back(&node);
    }

    // A node's partner in a joined device, or null. A node that carries a device.id joins only
    // within that Device, and by name only a node that carries none: so the relation is
    // symmetric, and no node is listed twice.
    const auto partnerOf = [&](const Node& node) -> const Node* {
        if (Graph::property(node.props, "device.id")) {
            const auto device = deviceIdOf(node);
            const auto members = device ? byDevice.find(*device) : byDevice.end();
            if (members == byDevice.end() || members->second.size() != 2) return nullptr;
            const Node* other = members->second[0] == &node ? members->second[1] : members->second[0];
            return sideOf(*other) != sideOf(node) ? other : nullptr;
        }
        const std::string name = valueOr(node.props, "node.name");
        const bool sink = sideOf(node) == Side::Sink;
        const std::string partnerName = sink ? name + kPairedSourceSuffix
                                             : (name.ends_with(kPairedSourceSuffix)
                                                    ? name.substr(0, name.size() - std::string_view(kPairedSourceSuffix).size())
                                                    : std::string());
        const auto it = partnerName.empty() ? byName.end() : byName.find(partnerName);
        if (it == byName.end() || Graph::property(it->second->props, "device.id")) return nullptr;
        return sideOf(*it->second) != sideOf(node) ? it->second : nullptr;
    };

    std::vector<DeviceEntry> table;
    for (const Node* node : candidates) {
        const Node* partner = partnerOf(*node);
        if (partner && sideOf(*node) == Side::Source) continue;  // listed with its sink
        const Node* sink = sideOf(*node) == Side::Sink ? node : nullptr;
        const Node* source = sink ? partner : node;
        const Node& main = sink ? *sink : *source;

        DeviceEntry entry;
        entry.uid = valueOr(main.props, "node.name");
        const DeviceObject* device = nullptr;
        if (const auto number = deviceIdOf(main))
            if (const auto it = graph.devices.find(*number); it != graph.devices.end()) device = &it->second;
        const std::string nodeName = valueOr(main.props, "node.description", valueOr(main.props, "node.nick", entry.uid));
        entry.name = partner && device ? valueOr(device->props, "device.description", nodeName) : nodeName;
        entry.sinkNode = sink ? sink->id : 0;
        entry.sourceNode = source ? source->id : 0;
        entry.outputChannels = sink ? channelsOf(graph, *sink, false) : 0;
        entry.inputChannels = source ? channelsOf(graph, *source, true) : 0;
        entry.korvane = entry.uid == kKorvaneSink;
        entry.subdeviceUIDs = subdevicesOf(main);
        entry.transport = entry.korvane                  ? kAudioDeviceTransportTypeVirtual
                          : !entry.subdeviceUIDs.empty() ? kAudioDeviceTransportTypeAggregate
                                                         : transportOf(main, device);
        table.push_back(std::move(entry));
    }
    // Stable, over candidates in node id order: of two nodes of one name (a misconfigured
    // session), one UID for two devices, the first keeps it on every rebuild, and the other is left
    // out rather than answering for the wrong device.
    std::stable_sort(table.begin(), table.end(), [](const DeviceEntry& a, const DeviceEntry& b) { return a.uid < b.uid; });
    table.erase(std::unique(table.begin(), table.end(),
                            [](const DeviceEntry& a, const DeviceEntry& b) { return a.uid == b.uid; }),
                table.end());
    return table;
}

AudioObjectID IdTable::idFor(const std::string& key) {
    const auto [it, added] = ids_.try_emplace(key, next_);
    if (added) keys_.emplace(next_++, key);
    return it->second;
}

void IdTable::retainOnly(const std::set<std::string>& keep) {
    for (auto it = ids_.begin(); it != ids_.end();) {
        if (keep.contains(it->first)) {
            ++it;
            continue;
        }
        keys_.erase(it->second);
        it = ids_.erase(it);
    }
}

const std::string* IdTable::keyOf(AudioObjectID id) const {
    const auto it = keys_.find(id);
    return it == keys_.end() ? nullptr : &it->second;
}

}  // namespace korvane::pipewire_audio
