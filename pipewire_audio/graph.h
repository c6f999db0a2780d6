// What the backend knows of the PipeWire graph: plain records of the nodes, Devices, ports and
// metadata values it has seen, kept up to date by the connection's events. No libpipewire types,
// so that the device table built from it can be tested over hand-written fixtures.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvane::pipewire_audio {

using Properties = std::map<std::string, std::string>;

// The KORVANE device's settings as its sink publishes them in Props.
struct KorvaneSettings {
    std::optional<double> gainDb;
    std::optional<std::int64_t> mode;
    std::optional<double> rate;
};

struct Node {
    std::uint32_t id = 0;
    Properties props;
    bool running = false;
    std::optional<std::uint32_t> formatRate;  // of the negotiated format, while it has one
    std::vector<float> channelVolumes;        // linear, from Props
    bool mute = false;
    KorvaneSettings korvane;
};

struct DeviceObject {
    std::uint32_t id = 0;
    Properties props;
};

struct Port {
    std::uint32_t id = 0;
    std::uint32_t node = 0;
    bool output = false;   // direction "out"
    bool monitor = false;  // a sink's monitor of what it plays
    std::uint32_t index = 0;  // port.id within its node and direction
};

// The graph's clock settings ("settings" metadata).
struct ClockSettings {
    std::uint32_t rate = 48000;
    std::vector<std::uint32_t> allowedRates;
    std::uint32_t quantum = 1024;
    std::uint32_t forceQuantum = 0;
    std::uint32_t forceRate = 0;
    // The rate the graph runs at: a forced one, else its configured one.
    std::uint32_t graphRate() const { return forceRate ? forceRate : rate; }
};

struct Graph {
    std::map<std::uint32_t, Node> nodes;
    std::map<std::uint32_t, DeviceObject> devices;
    std::map<std::uint32_t, Port> ports;
    ClockSettings clock;
    std::optional<std::string> defaultSink;            // node.name from default.audio.sink
    std::optional<std::string> configuredSink;         // default.configured.audio.sink, raw JSON
    std::map<std::uint32_t, std::string> korvaneStatus;  // "korvane.status" by subject
    std::optional<std::string> earlierDefault;           // "korvane.earlier-default", raw JSON

    // A node's property, or nothing.
    static const std::string* property(const Properties& props, const std::string& key) {
        const auto it = props.find(key);
        return it == props.end() ? nullptr : &it->second;
    }
    // The node of this node.name, or null.
    const Node* nodeNamed(const std::string& name) const;
    // The ports of `node` that carry its channels, in channel order: a sink's inputs, or a
    // source's outputs (its monitors only when it has nothing else, as a virtual source).
    std::vector<const Port*> channelPorts(std::uint32_t node, bool output) const;
};

// "name" of a JSON object such as {"name": "alsa_output.pci"}; nothing when it is not one.
std::optional<std::string> nameInJSON(const std::string& json);

}  // namespace korvane::pipewire_audio
