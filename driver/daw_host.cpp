#include "driver/daw_host.h"

#include "driver/korvane_device.h"
#include "driver/loop_timer.h"

#include <nlohmann/json.hpp>
#include <spa/param/audio/raw.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace korvane::driver {

namespace {

constexpr std::size_t kMaxPendingRequests = 16;
constexpr const char* kChannels[] = {"AUX0", "AUX1", "AUX2", "AUX3"};
constexpr const char* kStereo[] = {"FL", "FR"};

const char* lookup(const spa_dict* props, const char* key) { return props ? spa_dict_lookup(props, key) : nullptr; }

std::uint32_t idOf(const spa_dict* props, const char* key) {
    std::uint32_t id = SPA_ID_INVALID;
    const char* text = lookup(props, key);
    if (!text || !spa_atou32(text, &id, 10)) return SPA_ID_INVALID;
    return id;
}

}  // namespace

// A proxy of an object the driver made on the server (a node or a link), with what the server
// said of it. The object goes when the proxy does (neither lingers).
struct DawHost::OwnedProxy {
    DawHost* host = nullptr;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
    std::uint32_t id = SPA_ID_INVALID;  // the global's, once bound
    bool gone = false;                  // the server removed it
    bool failed = false;                // the server refused it

    OwnedProxy(DawHost* owner, pw_proxy* made) : host(owner), proxy(made) {
        static const pw_proxy_events kEvents = [] {
            pw_proxy_events events{};
            events.version = PW_VERSION_PROXY_EVENTS;
            events.bound = [](void* data, uint32_t global) {
                auto& self = *static_cast<OwnedProxy*>(data);
                self.id = global;
                self.host->scheduleReconcile();
            };
            events.removed = [](void* data) {
                auto& self = *static_cast<OwnedProxy*>(data);
                self.gone = true;
                self.host->scheduleReconcile();
            };
            events.error = [](void* data, int, int res, const char* message) {
                auto& self = *static_cast<OwnedProxy*>(data);
                std::fprintf(stderr, "korvane-driver: the server refused a DAW device's %s: %s (%s)\n",
                             pw_proxy_get_type(self.proxy, nullptr), message ? message : "", std::strerror(-res));
                self.failed = true;
                self.host->scheduleReconcile();
            };
            return events;
        }();
        pw_proxy_add_listener(proxy, &listener, &kEvents, this);
    }
    ~OwnedProxy() {
        spa_hook_remove(&listener);
        pw_proxy_destroy(proxy);
    }
    OwnedProxy(const OwnedProxy&) = delete;
    OwnedProxy& operator=(const OwnedProxy&) = delete;
};

struct DawHost::Made {
    DawDevice device;
    std::unique_ptr<OwnedProxy> sink;
    std::unique_ptr<OwnedProxy> source;

    std::uint32_t sinkId() const { return sink && !sink->gone ? sink->id : SPA_ID_INVALID; }
    std::uint32_t sourceId() const { return source && !source->gone ? source->id : SPA_ID_INVALID; }
};

DawHost::DawHost(pw_core* core, pw_impl_metadata* requests, std::vector<DawDevice>& devices,
                 std::function<void()> save, std::function<KorvaneNodes()> korvane)
    : core_(core), requests_(requests),
      requestsMetadata_(requests ? pw_impl_metadata_get_implementation(requests) : nullptr), devices_(devices),
      save_(std::move(save)), korvane_(std::move(korvane)) {
    pw_loop* loop = mainLoopOf(core_);
    requestTimer_ = pw_loop_add_timer(loop, [](void* data, uint64_t) { static_cast<DawHost*>(data)->handleRequests(); }, this);
    reconcileTimer_ = pw_loop_add_timer(loop, [](void* data, uint64_t) { static_cast<DawHost*>(data)->reconcile(); }, this);
    if (requests_) {
        static const pw_impl_metadata_events kEvents = {PW_VERSION_IMPL_METADATA_EVENTS, nullptr, nullptr,
                                                        metadataProperty};
        pw_impl_metadata_add_listener(requests_, &requestsListener_, &kEvents, this);
    }
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_) {
        static const pw_registry_events kEvents = {
            .version = PW_VERSION_REGISTRY_EVENTS, .global = globalAdded, .global_remove = globalRemoved};
        pw_registry_add_listener(registry_, &registryListener_, &kEvents, this);
    }
    for (const DawDevice& device : devices_) make(device);
}

DawHost::~DawHost() {
    if (requests_) spa_hook_remove(&requestsListener_);
    if (registry_) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    ownLinks_.clear();
    made_.clear();
    pw_loop* loop = mainLoopOf(core_);
    pw_loop_destroy_source(loop, reconcileTimer_);
    pw_loop_destroy_source(loop, requestTimer_);
}

// Adapter nodes of the null sink: they carry the audio from port to port and keep no clock the
// graph prefers (the lowest driver priority, so any hardware in the same graph drives), and the
// session manager neither links them anywhere nor makes them a default (the lowest priority).
void DawHost::make(const DawDevice& device) {
    const std::string subdevices = nlohmann::json::array({kSinkName, device.output}).dump();
    auto made = std::make_unique<Made>();
    made->device = device;
    for (const bool sink : {true, false}) {
        const std::string name = sink ? device.uid : device.uid + ".input";
        pw_properties* props = pw_properties_new(
            "factory.name", "support.null-audio-sink", PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_DESCRIPTION,
            device.name.c_str(), PW_KEY_MEDIA_CLASS, sink ? "Audio/Sink" : "Audio/Source/Virtual", PW_KEY_AUDIO_CHANNELS,
            sink ? "4" : "2", SPA_KEY_AUDIO_POSITION, sink ? "[ AUX0 AUX1 AUX2 AUX3 ]" : "[ FL FR ]",
            PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_PRIORITY_SESSION, "-1000", PW_KEY_PRIORITY_DRIVER, "1",
            PW_KEY_OBJECT_LINGER, "false", kSubdevicesKey, subdevices.c_str(), kDawOutputKey, device.output.c_str(),
            nullptr);
        auto* proxy = static_cast<pw_proxy*>(
            pw_core_create_object(core_, "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props->dict, 0));
        pw_properties_free(props);
        if (!proxy) {
            std::fprintf(stderr, "korvane-driver: could not make the DAW device %s\n", device.uid.c_str());
            continue;
        }
        (sink ? made->sink : made->source) = std::make_unique<OwnedProxy>(this, proxy);
    }
    made_.push_back(std::move(made));
}

// Writes are queued as they arrive and answered from the loop, outside the metadata's own call;
// the keys are cleared once answered, so that the same request written again is news.
int DawHost::metadataProperty(void* data, uint32_t subject, const char* key, const char* type, const char* value) {
    auto& self = *static_cast<DawHost*>(data);
    if (subject != 0 || !key || !value || (std::strcmp(key, kDawCreateKey) != 0 && std::strcmp(key, kDawRemoveKey) != 0))
        return 0;
    if (self.pending_.size() >= kMaxPendingRequests) {
        std::fprintf(stderr, "korvane-driver: refused a DAW device request (%s): too many at once\n", key);
        self.pending_.push_back({key, "", "", true});
    } else {
        // No more than one byte past the limit is kept: enough for the check to refuse it.
        self.pending_.push_back({key, type ? type : "", std::string(value, strnlen(value, kMaxDawRequestBytes + 1)), false});
    }
    armTimer(mainLoopOf(self.core_), self.requestTimer_, 0);
    return 0;
}

void DawHost::handleRequests() {
    std::vector<Request> requests = std::move(pending_);
    pending_.clear();
    bool changed = false;
    for (const Request& request : requests) {
        if (request.overflow) continue;
        std::string problem;
        const auto parsed = parseDawRequest(request.key.c_str(), request.type.c_str(), request.value.c_str(), problem);
        if (!parsed) {
            std::fprintf(stderr, "korvane-driver: refused a DAW device request (%s): %s\n", request.key.c_str(),
                         problem.c_str());
            continue;
        }
        const DawDevice& device = parsed->device;
        const auto known = std::find_if(devices_.begin(), devices_.end(),
                                        [&](const DawDevice& d) { return d.uid == device.uid; });
        if (parsed->kind == DawRequest::Kind::create) {
            if (known != devices_.end()) continue;  // made already: the UID, not the name, says which
            if (devices_.size() >= kMaxDawDevices) {
                std::fprintf(stderr, "korvane-driver: refused a DAW device request (%s): there are %zu already\n",
                             request.key.c_str(), devices_.size());
                continue;
            }
            devices_.push_back(device);
            make(device);
        } else {
            if (known == devices_.end()) continue;
            devices_.erase(known);
            std::erase_if(made_, [&](const auto& made) { return made->device.uid == device.uid; });
        }
        changed = true;
    }
    if (changed) {
        save_();
        scheduleReconcile();
    }
    if (requestsMetadata_)
        for (const char* key : {kDawCreateKey, kDawRemoveKey})
            if (std::any_of(requests.begin(), requests.end(), [&](const Request& r) { return r.key == key; }))
                pw_metadata_set_property(requestsMetadata_, 0, key, nullptr, nullptr);
}

void DawHost::scheduleReconcile() { armTimer(mainLoopOf(core_), reconcileTimer_, 0); }

std::uint32_t DawHost::findPort(std::uint32_t node, bool output, bool monitor, const std::string& channel) const {
    if (node == SPA_ID_INVALID) return SPA_ID_INVALID;
    for (const auto& [id, port] : ports_)
        if (port.node == node && port.output == output && port.monitor == monitor && port.channel == channel) return id;
    return SPA_ID_INVALID;
}

// The node's playback ports in their own order, whatever their channels are called.
std::vector<std::uint32_t> DawHost::playbackPorts(std::uint32_t node) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> found;  // index, id
    for (const auto& [id, port] : ports_)
        if (port.node == node && !port.output) found.emplace_back(port.index, id);
    std::sort(found.begin(), found.end());
    std::vector<std::uint32_t> ids;
    for (const auto& entry : found) ids.push_back(entry.second);
    return ids;
}

std::uint32_t DawHost::outputNode(const std::string& name) const {
    for (const auto& [id, node] : nodes_) {
        if (node.first != name || node.second != "Audio/Sink") continue;
        const bool ours = std::any_of(made_.begin(), made_.end(), [id = id](const auto& made) {
            return made->sinkId() == id || made->sourceId() == id;
        });
        if (!ours) return id;
    }
    return SPA_ID_INVALID;
}

void DawHost::link(std::uint32_t outputPort, std::uint32_t inputPort) {
    pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", PW_KEY_LINK_PASSIVE, "true", nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", ports_.at(outputPort).node);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", outputPort);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", ports_.at(inputPort).node);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inputPort);
    auto* proxy = static_cast<pw_proxy*>(
        pw_core_create_object(core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    if (proxy) ownLinks_.emplace(PortPair{outputPort, inputPort}, std::make_unique<OwnedProxy>(this, proxy));
}

// The links every device needs with the ports there are now: made when missing, dropped when no
// longer wanted (a device removed, an output replaced). Passive, so that they never keep the
// output or KORVANE running on their own; audio flows once a DAW plays or records.
void DawHost::reconcile() {
    for (auto it = ownLinks_.begin(); it != ownLinks_.end();) {
        const auto& [pair, proxy] = *it;
        if (proxy->failed) failedLinks_.insert(pair);
        const bool portsThere = ports_.contains(pair.first) && ports_.contains(pair.second);
        it = proxy->gone || proxy->failed || !portsThere ? ownLinks_.erase(it) : std::next(it);
    }
    const KorvaneNodes korvane = korvane_ ? korvane_() : KorvaneNodes{};
    std::set<PortPair> wanted;
    const auto want = [&](std::uint32_t from, std::uint32_t to) {
        if (from != SPA_ID_INVALID && to != SPA_ID_INVALID) wanted.emplace(from, to);
    };
    for (const auto& made : made_) {
        const std::uint32_t sink = made->sinkId();
        const std::uint32_t source = made->sourceId();
        for (int i = 0; i < 2; ++i) {
            want(findPort(sink, true, true, kChannels[i]), findPort(korvane.sink, false, false, kStereo[i]));
            want(findPort(korvane.source, true, false, kStereo[i]), findPort(source, false, false, kStereo[i]));
        }
        if (sink == SPA_ID_INVALID) continue;
        const std::vector<std::uint32_t> playback = playbackPorts(outputNode(made->device.output));
        for (std::size_t i = 0; i < 2 && i < playback.size(); ++i)
            want(findPort(sink, true, true, kChannels[2 + i]), playback[i]);
    }
    std::erase_if(ownLinks_, [&](const auto& entry) { return !wanted.contains(entry.first); });
    for (const PortPair& pair : wanted) {
        if (ownLinks_.contains(pair) || failedLinks_.contains(pair)) continue;
        const bool exists = std::any_of(links_.begin(), links_.end(), [&](const auto& l) { return l.second == pair; });
        if (!exists) link(pair.first, pair.second);
    }
}

void DawHost::globalAdded(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    auto& self = *static_cast<DawHost*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        const char* name = lookup(props, PW_KEY_NODE_NAME);
        const char* mediaClass = lookup(props, PW_KEY_MEDIA_CLASS);
        self.nodes_[id] = {name ? name : "", mediaClass ? mediaClass : ""};
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        Port port;
        port.node = idOf(props, PW_KEY_NODE_ID);
        const char* direction = lookup(props, PW_KEY_PORT_DIRECTION);
        port.output = direction && std::strcmp(direction, "out") == 0;
        const char* monitor = lookup(props, PW_KEY_PORT_MONITOR);
        port.monitor = monitor && spa_atob(monitor);
        const char* channel = lookup(props, PW_KEY_AUDIO_CHANNEL);
        port.channel = channel ? channel : "";
        port.index = idOf(props, PW_KEY_PORT_ID);
        self.ports_[id] = std::move(port);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        self.links_[id] = {idOf(props, PW_KEY_LINK_OUTPUT_PORT), idOf(props, PW_KEY_LINK_INPUT_PORT)};
        return;  // a new link needs nothing of ours
    } else {
        return;
    }
    self.scheduleReconcile();
}

void DawHost::globalRemoved(void* data, uint32_t id) {
    auto& self = *static_cast<DawHost*>(data);
    const bool known = self.nodes_.erase(id) + self.ports_.erase(id) + self.links_.erase(id) > 0;
    std::erase_if(self.failedLinks_, [id](const PortPair& pair) { return pair.first == id || pair.second == id; });
    if (known) self.scheduleReconcile();
}

}  // namespace korvane::driver
