// The combined DAW devices on a PipeWire connection. Each is two nodes the driver makes in its
// own connection, so that they go with it and come back when it connects again: a sink (node.name
// = the UID, 4 channels AUX0–AUX3) and a source (UID + ".input", 2 channels FL FR), both
// described by the device's name. The driver links them and keeps the links: the sink's monitor
// AUX0/AUX1 to KORVANE's sink, AUX2/AUX3 to the physical output's first two playback ports, and
// KORVANE's source to the DAW source. A DAW opening both records KORVANE on inputs 1–2 and plays
// to KORVANE on 1–2 and to the output on 3–4. Requests arrive as writes to the "korvane" metadata.
#pragma once

#include "driver/daw_devices.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/impl-metadata.h>
#include <pipewire/pipewire.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace korvane::driver {

// Props of the DAW nodes beside the usual ones: the sub-devices' UIDs (a JSON array: KORVANE,
// then the output) and the output's node.name.
inline constexpr const char* kSubdevicesKey = "korvane.subdevices";
inline constexpr const char* kDawOutputKey = "korvane.daw.output";

class DawHost {
public:
    struct KorvaneNodes {
        std::uint32_t sink = SPA_ID_INVALID;
        std::uint32_t source = SPA_ID_INVALID;
    };

    // Main loop. Makes every device of `devices` (the list in effect, which outlives connections)
    // and answers the DAW requests written to subject 0 of `requests` (the "korvane" metadata
    // store, which outlives this host). `save` runs after every change of the list; `korvane`
    // answers KORVANE's node ids at the moment.
    DawHost(pw_core* core, pw_impl_metadata* requests, std::vector<DawDevice>& devices, std::function<void()> save,
            std::function<KorvaneNodes()> korvane);
    // Main loop. The nodes and links go with it.
    ~DawHost();
    DawHost(const DawHost&) = delete;
    DawHost& operator=(const DawHost&) = delete;

private:
    struct Port {
        std::uint32_t node = SPA_ID_INVALID;
        bool output = false;
        bool monitor = false;
        std::string channel;
        std::uint32_t index = 0;
    };
    using PortPair = std::pair<std::uint32_t, std::uint32_t>;  // output port, input port
    struct Made;
    struct OwnedProxy;

    void make(const DawDevice& device);
    void handleRequests();
    void reconcile();
    void scheduleReconcile();
    void link(std::uint32_t outputPort, std::uint32_t inputPort);
    std::uint32_t findPort(std::uint32_t node, bool output, bool monitor, const std::string& channel) const;
    std::vector<std::uint32_t> playbackPorts(std::uint32_t node) const;
    std::uint32_t outputNode(const std::string& name) const;

    static int metadataProperty(void* data, uint32_t subject, const char* key, const char* type, const char* value);
    static void globalAdded(void* data, uint32_t id, uint32_t permissions, const char* type, uint32_t version,
                            const spa_dict* props);
    static void globalRemoved(void* data, uint32_t id);

    pw_core* core_;
    pw_impl_metadata* requests_;
    pw_metadata* requestsMetadata_;
    spa_hook requestsListener_{};
    std::vector<DawDevice>& devices_;
    std::function<void()> save_;
    std::function<KorvaneNodes()> korvane_;

    struct Request {
        std::string key;
        std::string type;
        std::string value;
        bool overflow = false;  // refused already: kept only to clear its key
    };
    std::vector<Request> pending_;  // written since the last look, in order; bounded
    spa_source* requestTimer_ = nullptr;
    spa_source* reconcileTimer_ = nullptr;

    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    std::map<std::uint32_t, std::pair<std::string, std::string>> nodes_;  // id → node.name, media.class
    std::map<std::uint32_t, Port> ports_;
    std::map<std::uint32_t, PortPair> links_;  // every link in the graph, anyone's

    std::vector<std::unique_ptr<Made>> made_;
    std::map<PortPair, std::unique_ptr<OwnedProxy>> ownLinks_;
    std::set<PortPair> failedLinks_;  // refused by the server; tried again once a port is new
};

}  // namespace korvane::driver
