#include "pipewire_audio/graph_connection.h"

#include <pipewire/extensions/metadata.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/props.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>
#include <spa/utils/result.h>

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstring>
#include <mutex>

namespace korvane::pipewire_audio {

namespace {

constexpr std::int64_t kRetryNanoseconds = 500'000'000;

Properties propertiesOf(const spa_dict* dict) {
    Properties props;
    if (!dict) return props;
    const spa_dict_item* item;
    spa_dict_for_each(item, dict) {
        if (item->key && item->value) props[item->key] = item->value;
    }
    return props;
}

std::optional<std::uint32_t> numberIn(const Properties& props, const char* key) {
    const std::string* text = Graph::property(props, key);
    std::uint32_t value = 0;
    if (!text || std::from_chars(text->data(), text->data() + text->size(), value).ec != std::errc()) return std::nullopt;
    return value;
}

std::optional<double> numberOf(const spa_pod* pod) {
    double d;
    float f;
    int32_t i;
    int64_t l;
    if (spa_pod_get_double(pod, &d) == 0) return d;
    if (spa_pod_get_float(pod, &f) == 0) return f;
    if (spa_pod_get_int(pod, &i) == 0) return i;
    if (spa_pod_get_long(pod, &l) == 0) return double(l);
    return std::nullopt;
}

void readKorvaneParams(const spa_pod* params, KorvaneSettings& settings) {
    spa_pod_parser parser;
    spa_pod_frame frame;
    spa_pod_parser_pod(&parser, params);
    if (spa_pod_parser_push_struct(&parser, &frame) < 0) return;
    for (;;) {
        const char* key = nullptr;
        spa_pod* value = nullptr;
        if (spa_pod_parser_get_string(&parser, &key) < 0 || spa_pod_parser_get_pod(&parser, &value) < 0) break;
        const auto number = numberOf(value);
        if (!number || !std::isfinite(*number)) continue;
        const std::string_view name(key);
        if (name == "korvane.gain-db") settings.gainDb = *number;
        if (name == "korvane.mode") settings.mode = std::int64_t(*number);
        if (name == "korvane.rate") settings.rate = *number;
    }
}

void readProps(const spa_pod* pod, Node& node) {
    if (!spa_pod_is_object_type(pod, SPA_TYPE_OBJECT_Props)) return;
    const auto* object = reinterpret_cast<const spa_pod_object*>(pod);
    const spa_pod_prop* prop;
    SPA_POD_OBJECT_FOREACH(object, prop) {
        switch (prop->key) {
        case SPA_PROP_channelVolumes: {
            float volumes[64];
            const std::uint32_t count = spa_pod_copy_array(&prop->value, SPA_TYPE_Float, volumes, 64);
            if (count > 0) node.channelVolumes.assign(volumes, volumes + count);
            break;
        }
        case SPA_PROP_mute: {
            bool mute = false;
            if (spa_pod_get_bool(&prop->value, &mute) == 0) node.mute = mute;
            break;
        }
        case SPA_PROP_params:
            readKorvaneParams(&prop->value, node.korvane);
            break;
        default:
            break;
        }
    }
}

void readFormat(const spa_pod* pod, Node& node) {
    uint32_t mediaType = 0;
    uint32_t mediaSubtype = 0;
    spa_audio_info_raw info{};
    if (!pod || spa_format_parse(pod, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_audio ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_audio_raw_parse(pod, &info) < 0 || info.rate == 0) {
        node.formatRate.reset();
        return;
    }
    node.formatRate = info.rate;
}

void readClockSetting(ClockSettings& clock, const char* key, const char* value) {
    const std::string_view name(key);
    if (name == "clock.allowed-rates") {
        clock.allowedRates.clear();
        // "[ 44100 48000 ]": numbers apart by spaces or commas.
        for (const char* p = value ? value : ""; *p;) {
            std::uint32_t rate = 0;
            const auto [end, error] = std::from_chars(p, p + std::strlen(p), rate);
            if (error == std::errc() && rate > 0) clock.allowedRates.push_back(rate);
            p = end == p ? p + 1 : end;
        }
        return;
    }
    std::uint32_t number = 0;
    if (!value || std::from_chars(value, value + std::strlen(value), number).ec != std::errc()) return;
    if (name == "clock.rate" && number > 0) clock.rate = number;
    if (name == "clock.quantum" && number > 0) clock.quantum = number;
    if (name == "clock.force-quantum") clock.forceQuantum = number;
    if (name == "clock.force-rate") clock.forceRate = number;
}

}  // namespace

struct GraphConnection::Bound {
    GraphConnection* owner = nullptr;
    std::uint32_t id = 0;
    std::string metadataName;  // of a metadata object
    pw_proxy* proxy = nullptr;
    spa_hook listener{};

    static void nodeInfo(void* data, const pw_node_info* info) {
        auto* self = static_cast<Bound*>(data);
        const auto it = self->owner->graph_.nodes.find(self->id);
        if (it == self->owner->graph_.nodes.end()) return;
        Node& node = it->second;
        if (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) node.props = propertiesOf(info->props);
        node.running = info->state == PW_NODE_STATE_RUNNING;
        self->owner->signal();
    }
    static void nodeParam(void* data, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
        auto* self = static_cast<Bound*>(data);
        const auto it = self->owner->graph_.nodes.find(self->id);
        if (it == self->owner->graph_.nodes.end() || !param) return;
        if (id == SPA_PARAM_Props) readProps(param, it->second);
        if (id == SPA_PARAM_Format) readFormat(param, it->second);
        self->owner->signal();
    }
    static void deviceInfo(void* data, const pw_device_info* info) {
        auto* self = static_cast<Bound*>(data);
        const auto it = self->owner->graph_.devices.find(self->id);
        if (it != self->owner->graph_.devices.end() && (info->change_mask & PW_DEVICE_CHANGE_MASK_PROPS))
            it->second.props = propertiesOf(info->props);
        self->owner->signal();
    }
    static int metadataProperty(void* data, uint32_t subject, const char* key, const char* type, const char* value) {
        (void)type;
        auto* self = static_cast<Bound*>(data);
        Graph& graph = self->owner->graph_;
        const std::string& name = self->metadataName;
        if (name == "default" && subject == PW_ID_CORE) {
            if (!key || std::string_view(key) == "default.audio.sink")
                graph.defaultSink = value ? nameInJSON(value) : std::nullopt;
            if (!key || std::string_view(key) == "default.configured.audio.sink")
                graph.configuredSink = value ? std::optional<std::string>(value) : std::nullopt;
        } else if (name == "settings" && subject == PW_ID_CORE && key) {
            readClockSetting(graph.clock, key, value);
        } else if (name == "korvane" && subject == PW_ID_CORE && (!key || std::string_view(key) == "korvane.earlier-default")) {
            graph.earlierDefault = value && key ? std::optional<std::string>(value) : std::nullopt;
        } else if (name == "korvane" && (!key || std::string_view(key) == "korvane.status")) {
            if (value && key)
                graph.korvaneStatus[subject] = value;
            else
                graph.korvaneStatus.erase(subject);
        }
        self->owner->signal();
        return 0;
    }
};


std::unique_ptr<GraphConnection> GraphConnection::open(std::string& error) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    std::unique_ptr<GraphConnection> connection(new GraphConnection);
    connection->loop_ = pw_thread_loop_new("korvane-audio", nullptr);
    if (!connection->loop_) {
        error = "Could not start PipeWire's loop";
        return nullptr;
    }
    // client-rt.conf: the route's callback runs with real-time priority where the user may have it.
    connection->context_ = pw_context_new(pw_thread_loop_get_loop(connection->loop_),
                                          pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!connection->context_ || pw_thread_loop_start(connection->loop_) < 0) {
        error = "Could not start PipeWire's loop";
        return nullptr;
    }
    Lock lock(*connection);
    if (!connection->connect()) {
        error = "No PipeWire server answers for this user";
        return nullptr;
    }
    connection->retry_ = pw_loop_add_timer(pw_thread_loop_get_loop(connection->loop_), &onRetry, connection.get());
    timespec interval{0, kRetryNanoseconds};
    pw_loop_update_timer(pw_thread_loop_get_loop(connection->loop_), connection->retry_, &interval, &interval, false);
    // The first round trip brings every global; the second, what the bound objects say of themselves.
    if (!connection->roundTrip() || !connection->roundTrip()) {
        error = "The PipeWire server does not answer";
        return nullptr;
    }
    return connection;
}

GraphConnection::~GraphConnection() {
    if (!loop_) return;
    pw_thread_loop_lock(loop_);
    if (retry_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retry_);
    teardown();
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    if (context_) pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

bool GraphConnection::connect() {
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) return false;
    static const pw_core_events coreEvents = {
        .version = PW_VERSION_CORE_EVENTS, .done = &onCoreDone, .error = &onCoreError};
    pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events registryEvents = {
        .version = PW_VERSION_REGISTRY_EVENTS, .global = &onGlobal, .global_remove = &onGlobalRemove};
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
    lost_ = false;
    ++generation_;
    return true;
}

void GraphConnection::teardown() {
    if (!core_) return;
    for (ConnectionUser* user : std::vector(users_)) user->connectionLost();
    for (auto& [id, bound] : bound_) {
        spa_hook_remove(&bound->listener);
        pw_proxy_destroy(bound->proxy);
    }
    bound_.clear();
    metadataIds_.clear();
    spa_hook_remove(&registryListener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    registry_ = nullptr;
    spa_hook_remove(&coreListener_);
    pw_core_disconnect(core_);
    core_ = nullptr;
    graph_ = Graph();
    signal();
}

void GraphConnection::onRetry(void* data, uint64_t) {
    auto* self = static_cast<GraphConnection*>(data);
    if (self->lost_) self->teardown();
    if (!self->core_ && self->connect()) pw_core_sync(self->core_, PW_ID_CORE, 0);
}

void GraphConnection::onCoreDone(void* data, uint32_t id, int seq) {
    auto* self = static_cast<GraphConnection*>(data);
    if (id != PW_ID_CORE) return;
    self->lastDone_ = seq;
    self->signal();
}

void GraphConnection::onCoreError(void* data, uint32_t id, int, int res, const char*) {
    auto* self = static_cast<GraphConnection*>(data);
    if (id == PW_ID_CORE && res == -EPIPE) {
        self->lost_ = true;
        self->signal();
    }
}

void GraphConnection::onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    static_cast<GraphConnection*>(data)->bindGlobal(id, type, props);
}

void GraphConnection::onGlobalRemove(void* data, uint32_t id) { static_cast<GraphConnection*>(data)->removeGlobal(id); }

void GraphConnection::bindGlobal(std::uint32_t id, const char* type, const spa_dict* dict) {
    static const pw_node_events kNodeEvents = {
        .version = PW_VERSION_NODE_EVENTS, .info = &Bound::nodeInfo, .param = &Bound::nodeParam};
    static const pw_device_events kDeviceEvents = {.version = PW_VERSION_DEVICE_EVENTS, .info = &Bound::deviceInfo};
    static const pw_metadata_events kMetadataEvents = {.version = PW_VERSION_METADATA_EVENTS,
                                                       .property = &Bound::metadataProperty};
    const std::string_view kind(type ? type : "");
    Properties props = propertiesOf(dict);
    auto bound = std::make_unique<Bound>();
    bound->owner = this;
    bound->id = id;
    if (kind == PW_TYPE_INTERFACE_Port) {
        Port port;
        port.id = id;
        port.node = numberIn(props, PW_KEY_NODE_ID).value_or(0);
        const std::string* direction = Graph::property(props, PW_KEY_PORT_DIRECTION);
        port.output = direction && *direction == "out";
        const std::string* monitor = Graph::property(props, PW_KEY_PORT_MONITOR);
        port.monitor = monitor && *monitor == "true";
        port.index = numberIn(props, PW_KEY_PORT_ID).value_or(id);
        graph_.ports[id] = port;
        signal();
        return;
    }
    if (kind == PW_TYPE_INTERFACE_Node) {
        const std::string* mediaClass = Graph::property(props, PW_KEY_MEDIA_CLASS);
        graph_.nodes[id] = Node{.id = id, .props = props};
        if (!mediaClass || !mediaClass->starts_with("Audio/")) return;  // streams and others: no device
        bound->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry_, id, type, PW_VERSION_NODE, 0));
        if (!bound->proxy) return;
        pw_node_add_listener(reinterpret_cast<pw_node*>(bound->proxy), &bound->listener, &kNodeEvents, bound.get());
        uint32_t params[] = {SPA_PARAM_Props, SPA_PARAM_Format};
        pw_node_subscribe_params(reinterpret_cast<pw_node*>(bound->proxy), params, 2);
    } else if (kind == PW_TYPE_INTERFACE_Device) {
        graph_.devices[id] = DeviceObject{.id = id, .props = props};
        bound->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry_, id, type, PW_VERSION_DEVICE, 0));
        if (!bound->proxy) return;
        pw_device_add_listener(reinterpret_cast<pw_device*>(bound->proxy), &bound->listener, &kDeviceEvents, bound.get());
    } else if (kind == PW_TYPE_INTERFACE_Metadata) {
        const std::string* name = Graph::property(props, PW_KEY_METADATA_NAME);
        if (!name || (*name != "default" && *name != "settings" && *name != "korvane")) return;
        bound->metadataName = *name;
        bound->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry_, id, type, PW_VERSION_METADATA, 0));
        if (!bound->proxy) return;
        metadataIds_[*name] = id;
        pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(bound->proxy), &bound->listener, &kMetadataEvents,
                                 bound.get());
    } else {
        return;
    }
    bound_[id] = std::move(bound);
    signal();
}

void GraphConnection::removeGlobal(std::uint32_t id) {
    if (const auto it = bound_.find(id); it != bound_.end()) {
        spa_hook_remove(&it->second->listener);
        pw_proxy_destroy(it->second->proxy);
        if (!it->second->metadataName.empty()) {
            metadataIds_.erase(it->second->metadataName);
            if (it->second->metadataName == "korvane") {
                graph_.korvaneStatus.clear();
                graph_.earlierDefault.reset();
            }
        }
        bound_.erase(it);
    }
    const bool node = graph_.nodes.erase(id) > 0;
    graph_.devices.erase(id);
    graph_.ports.erase(id);
    if (node)
        for (ConnectionUser* user : std::vector(users_)) user->nodeRemoved(id);
    signal();
}

bool GraphConnection::waitFor(const std::function<bool()>& condition, double seconds) {
    timespec deadline{};
    pw_thread_loop_get_time(loop_, &deadline, std::int64_t(seconds * 1e9));
    while (!condition()) {
        if (!connected() || pw_thread_loop_in_thread(loop_)) return false;
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT) return condition();
    }
    return true;
}

bool GraphConnection::roundTrip(double seconds) {
    if (!connected()) return false;
    const int seq = pw_core_sync(core_, PW_ID_CORE, 0);
    return waitFor([&] { return lastDone_ == seq; }, seconds);
}

bool GraphConnection::hasMetadata(const std::string& metadata) const { return metadataIds_.contains(metadata); }

bool GraphConnection::setMetadata(const std::string& metadata, std::uint32_t subject, const char* key,
                                  const char* type, const char* value) {
    const auto id = metadataIds_.find(metadata);
    if (!connected() || id == metadataIds_.end()) return false;
    pw_metadata_set_property(reinterpret_cast<pw_metadata*>(bound_.at(id->second)->proxy), subject, key, type, value);
    return true;
}

bool GraphConnection::setNodeParam(std::uint32_t node, std::uint32_t paramId, const spa_pod* param) {
    const auto it = bound_.find(node);
    if (!connected() || it == bound_.end() || !graph_.nodes.contains(node)) return false;
    return pw_node_set_param(reinterpret_cast<pw_node*>(it->second->proxy), paramId, 0, param) >= 0;
}

bool GraphConnection::setDeviceParam(std::uint32_t device, std::uint32_t paramId, const spa_pod* param) {
    const auto it = bound_.find(device);
    if (!connected() || it == bound_.end() || !graph_.devices.contains(device)) return false;
    return pw_device_set_param(reinterpret_cast<pw_device*>(it->second->proxy), paramId, 0, param) >= 0;
}

void GraphConnection::addUser(ConnectionUser* user) { users_.push_back(user); }

void GraphConnection::removeUser(ConnectionUser* user) { std::erase(users_, user); }

}  // namespace korvane::pipewire_audio
