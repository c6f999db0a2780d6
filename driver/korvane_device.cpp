#include "driver/korvane_device.h"

#include "driver/loop_timer.h"

#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace korvane::driver {

namespace {

constexpr std::uint32_t kStereoChannels = DeviceAudio::kChannels;
constexpr std::uint32_t kFrameBytes = kStereoChannels * sizeof(float);
constexpr const char* kGroup = "audio.ravlin.stereo.v1";

// "node.rate" that prefers no rate: PipeWire 0.3 keeps a node's rate once it was given one, and
// a rate of 0 is never the largest a graph is asked for, nor one it picks.
constexpr const char* kNoPreferredRate = "0/1";

constexpr long kLatencyPeriod = 100'000'000;

// The graph cycle a callback runs in, from its start time, the same for every node the driver runs.
std::uint32_t cycleOf(const spa_io_position* position) {
    return position ? FrameFifo::cycleKey(position->clock.nsec) : FrameFifo::kNoCycle;
}

}  // namespace

KorvaneDevice::KorvaneDevice(pw_core* core, DeviceAudio& audio, const DeviceSettings& settings,
                             std::function<void(const DeviceSettings&)> onSettings, std::function<void()> onFailure)
    : core_(core), audio_(audio), settings_(settings), onSettings_(std::move(onSettings)),
      onFailure_(std::move(onFailure)) {
    audio_.processing.setGainDb(settings_.gainDb);
    audio_.processing.setMode(settings_.mode);
    pw_loop* loop = mainLoopOf(core_);
    deferred_ = pw_loop_add_timer(loop, [](void* data, uint64_t) {
        auto& self = *static_cast<KorvaneDevice*>(data);
        if (self.failed_) {
            if (self.onFailure_) self.onFailure_();  // the owner replaces this device: nothing after it
            return;
        }
        if (const auto settings = std::exchange(self.pending_, std::nullopt); settings && self.onSettings_)
            self.onSettings_(*settings);
    }, this);
    rateTimer_ = pw_loop_add_timer(loop, [](void* data, uint64_t) { static_cast<KorvaneDevice*>(data)->rateDeadline(); },
                                   this);
    latencyTimer_ = pw_loop_add_timer(
        loop, [](void* data, uint64_t) { static_cast<KorvaneDevice*>(data)->refreshLatency(); }, this);
    armTimer(loop, latencyTimer_, kLatencyPeriod, kLatencyPeriod);
    sink_.device = source_.device = this;
    sink_.sink = true;
    const bool sinkMade = connectStream(sink_);
    const bool sourceMade = connectStream(source_);
    if (!sinkMade || !sourceMade) {
        failed_ = true;
        deliverLater();
    }
    publishProps();
    publishLatency();
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_) {
        static const pw_registry_events kEvents = {
            .version = PW_VERSION_REGISTRY_EVENTS, .global = globalAdded, .global_remove = globalRemoved};
        pw_registry_add_listener(registry_, &registryListener_, &kEvents, this);
    }
}

KorvaneDevice::~KorvaneDevice() {
    if (registry_) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    audio_.sourceRead.store(false, std::memory_order_relaxed);
    for (Side* side : {&source_, &sink_})
        if (side->stream) {
            spa_hook_remove(&side->listener);
            pw_stream_destroy(side->stream);  // disconnects: the data thread has left the node
        }
    pw_loop* loop = mainLoopOf(core_);
    if (rateTimer_) pw_loop_destroy_source(loop, rateTimer_);
    if (latencyTimer_) pw_loop_destroy_source(loop, latencyTimer_);
    if (deferred_) pw_loop_destroy_source(loop, deferred_);
}

bool KorvaneDevice::connectStream(Side& side) {
    const bool sink = side.sink;
    // Low priorities: KORVANE never becomes the desktop's default output or microphone over a real
    // device, nor drives a graph that has one. Suspended as soon as it is idle: an idle node keeps
    // its format, and one that starts again with the format of a rate the graph has left runs
    // converted; a suspended one takes the graph's rate when it starts.
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, sink ? "Playback" : "Capture",
        PW_KEY_MEDIA_CLASS, sink ? "Audio/Sink" : "Audio/Source", PW_KEY_NODE_NAME, sink ? kSinkName : kSourceName,
        PW_KEY_NODE_DESCRIPTION, kDescription, PW_KEY_NODE_GROUP, kGroup, PW_KEY_AUDIO_CHANNELS, "2",
        SPA_KEY_AUDIO_POSITION, "FL,FR", PW_KEY_PRIORITY_SESSION, "-1000", PW_KEY_PRIORITY_DRIVER, "1",
        PW_KEY_NODE_SUSPEND_ON_IDLE, "true", nullptr);
    if (!preference_.empty()) pw_properties_set(props, PW_KEY_NODE_RATE, preference_.c_str());
    pw_stream* stream = pw_stream_new(core_, sink ? kSinkName : kSourceName, props);
    if (!stream) return false;

    static const pw_stream_events kSinkEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = stateChanged;
        events.io_changed = ioChanged;
        events.param_changed = paramChanged;
        events.process = processSink;
        return events;
    }();
    static const pw_stream_events kSourceEvents = [] {
        pw_stream_events events = kSinkEvents;
        events.process = processSource;
        return events;
    }();
    pw_stream_add_listener(stream, &side.listener, sink ? &kSinkEvents : &kSourceEvents, &side);

    // No rate: the stream takes the graph's, and a new graph rate renegotiates it in place.
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.channels = kStereoChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const auto flags = pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    side.stream = stream;
    if (pw_stream_connect(stream, sink ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
        spa_hook_remove(&side.listener);
        pw_stream_destroy(stream);
        side.stream = nullptr;
        return false;
    }
    return true;
}

std::uint32_t KorvaneDevice::sinkNodeId() const {
    return sink_.stream ? pw_stream_get_node_id(sink_.stream) : SPA_ID_INVALID;
}

std::uint32_t KorvaneDevice::sourceNodeId() const {
    return source_.stream ? pw_stream_get_node_id(source_.stream) : SPA_ID_INVALID;
}

// The negotiated rate of the sink, else of the source; while neither has a format (suspended),
// the last one, which is what the graph ran when KORVANE last did.
std::uint32_t KorvaneDevice::rateInEffect() const {
    if (sink_.rate) return *sink_.rate;
    if (source_.rate) return *source_.rate;
    return settings_.rate;
}

void KorvaneDevice::publishProps() {
    if (!sink_.stream) return;
    std::uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    DeviceSettings applied = settings_;
    applied.gainDb = audio_.processing.gainDb();
    applied.mode = audio_.processing.mode();
    const spa_pod* params[] = {buildProps(builder, applied)};
    pw_stream_update_params(sink_.stream, params, 1);
}

// The source's capture latency: the FIFO's delay in frames while it runs (a reader's own idea of
// the quantum may not be the graph's), one quantum before. What the source's peer declared (the
// playback latency downstream) is kept beside it: a port's Latency params are replaced as a whole.
void KorvaneDevice::publishLatency() {
    if (!source_.stream) return;
    const std::uint32_t delay = audio_.fifo->delay();
    latencyPublished_ = delay;
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_latency_info capture = delay > 0 ? SPA_LATENCY_INFO(SPA_DIRECTION_OUTPUT, .min_rate = delay, .max_rate = delay)
                                         : SPA_LATENCY_INFO(SPA_DIRECTION_OUTPUT, .min_quantum = 1.0f, .max_quantum = 1.0f);
    const spa_pod* params[2] = {spa_latency_build(&builder, SPA_PARAM_Latency, &capture), nullptr};
    std::uint32_t count = 1;
    if (downstream_) params[count++] = spa_latency_build(&builder, SPA_PARAM_Latency, &*downstream_);
    pw_stream_update_params(source_.stream, params, count);
}

void KorvaneDevice::refreshLatency() {
    if (audio_.fifo->delay() != latencyPublished_) publishLatency();
}

void KorvaneDevice::resetVolume(Side& side) {
    float one = 1.0f;
    float off = 0.0f;
    float ones[kStereoChannels] = {1.0f, 1.0f};
    pw_stream_set_control(side.stream, SPA_PROP_volume, 1, &one, SPA_PROP_mute, 1, &off, SPA_PROP_channelVolumes,
                          kStereoChannels, ones, 0);
}

// A writer's Props: a desktop's volume or mute on either node is undone at once (the levels are
// the device's gain, which the panel sets), and the session stores the unity it then sees. The
// device's own keys arrive on the sink: gain and mode take effect here and reach the owner once
// this call has returned; a rate is asked of the graph.
void KorvaneDevice::settingsReceived(Side& side, const spa_pod* props) {
    if (leavesUnity(props)) resetVolume(side);
    if (!side.sink) return;
    const DeviceSettings asked = applyProps(props, settings_);
    if (asked.gainDb != settings_.gainDb || asked.mode != settings_.mode) {
        audio_.processing.setGainDb(asked.gainDb);
        audio_.processing.setMode(asked.mode);
        settings_.gainDb = asked.gainDb;
        settings_.mode = asked.mode;
        pending_ = settings_;
        deliverLater();
    }
    if (asked.rate != settings_.rate) askRate(asked.rate);
    publishProps();  // what the writer set is replaced by what is in effect
}

// A rate other than the one in effect is offered to the graph; it is withdrawn unless the graph
// follows in time. The graph switches only while it is idle and the session allows the rate.
void KorvaneDevice::askRate(std::uint32_t rate) {
    const std::optional<std::uint32_t> running = sink_.rate ? sink_.rate : source_.rate;
    if (running && rate == *running) {
        // The rate in effect: nothing to ask, and an earlier ask not yet followed is withdrawn.
        if (askedRate_) {
            disarmTimer(mainLoopOf(core_), rateTimer_);
            rateDeadline();
        }
        return;
    }
    if (!askedRate_) earlierPreference_ = preference_;
    askedRate_ = rate;
    preferRate(("1/" + std::to_string(rate)).c_str());
    armTimer(mainLoopOf(core_), rateTimer_, kRateNanoseconds);
}

void KorvaneDevice::preferRate(const char* value) {
    preference_ = value;
    const spa_dict_item item = SPA_DICT_ITEM_INIT(PW_KEY_NODE_RATE, value);
    const spa_dict dict = SPA_DICT_INIT(&item, 1);
    for (Side* side : {&sink_, &source_})
        if (side->stream) pw_stream_update_properties(side->stream, &dict);
}

void KorvaneDevice::rateDeadline() {
    if (!askedRate_) return;
    if (rateInEffect() != *askedRate_) {
        // Not followed: nothing of it stays.
        preferRate(earlierPreference_.empty() ? kNoPreferredRate : earlierPreference_.c_str());
    }
    askedRate_.reset();
}

// A new format (the graph's rate changed, or the node started) or none (suspended).
void KorvaneDevice::formatChanged(Side& side, const spa_pod* format) {
    spa_audio_info_raw info{};
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    if (format && spa_format_parse(format, &mediaType, &mediaSubtype) >= 0 && mediaType == SPA_MEDIA_TYPE_audio &&
        mediaSubtype == SPA_MEDIA_SUBTYPE_raw && spa_format_audio_raw_parse(format, &info) >= 0 && info.rate > 0)
        side.rate = info.rate;
    else
        side.rate.reset();
    if (!side.sink && side.rate) audio_.fifo->restart();  // what it held was at the old rate
    const std::uint32_t rate = rateInEffect();
    if (rate != settings_.rate) {
        settings_.rate = rate;
        publishProps();
        if (askedRate_ && rate == *askedRate_) askedRate_.reset();  // followed: the preference stays
    }
}

void KorvaneDevice::deliverLater() { armTimer(mainLoopOf(core_), deferred_, 0); }

void KorvaneDevice::paramChanged(void* data, uint32_t id, const spa_pod* param) {
    auto& side = *static_cast<Side*>(data);
    KorvaneDevice& self = *side.device;
    switch (id) {
    case SPA_PARAM_Props:
        if (param) self.settingsReceived(side, param);
        break;
    case SPA_PARAM_Format:
        self.formatChanged(side, param);
        break;
    case SPA_PARAM_Latency: {
        // The peer's latency (or its absence) replaced the source's own: keep the peer's and
        // declare ours again.
        if (side.sink) break;
        spa_latency_info info{};
        if (!param) self.downstream_.reset();
        else if (spa_latency_parse(param, &info) >= 0 && info.direction == SPA_DIRECTION_INPUT) self.downstream_ = info;
        else break;
        self.publishLatency();
        break;
    }
    default:
        break;
    }
}

void KorvaneDevice::ioChanged(void* data, uint32_t id, void* area, uint32_t size) {
    if (id != SPA_IO_Position) return;
    auto* position = area && size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr;
    static_cast<Side*>(data)->position.store(position, std::memory_order_release);
}

void KorvaneDevice::countReaders() {
    const std::uint32_t source = source_.stream ? pw_stream_get_node_id(source_.stream) : SPA_ID_INVALID;
    const bool read = source != SPA_ID_INVALID &&
                      std::any_of(links_.begin(), links_.end(), [&](const auto& link) { return link.second == source; });
    audio_.sourceRead.store(read, std::memory_order_relaxed);
}

void KorvaneDevice::globalAdded(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0) return;
    auto& self = *static_cast<KorvaneDevice*>(data);
    const char* output = props ? spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE) : nullptr;
    std::uint32_t node = SPA_ID_INVALID;
    if (output && spa_atou32(output, &node, 10)) self.links_[id] = node;
    self.countReaders();
}

void KorvaneDevice::globalRemoved(void* data, uint32_t id) {
    auto& self = *static_cast<KorvaneDevice*>(data);
    if (self.links_.erase(id) > 0) self.countReaders();
}

void KorvaneDevice::stateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto& side = *static_cast<Side*>(data);
    KorvaneDevice& self = *side.device;
    self.countReaders();  // the source's id may be new
    if (state != PW_STREAM_STATE_ERROR) return;
    std::fprintf(stderr, "korvane-driver: %s: %s\n", pw_stream_get_name(side.stream), error ? error : "stream error");
    self.failed_ = true;
    self.deliverLater();
}

// Data thread. Wait-free, allocates nothing: the block through the device's processing into the
// FIFO, in pieces when it is longer than the processing's buffer.
void KorvaneDevice::processSink(void* data) {
    auto& side = *static_cast<Side*>(data);
    DeviceAudio& audio = side.device->audio_;
    pw_buffer* buffer = pw_stream_dequeue_buffer(side.stream);
    if (!buffer) return;
    const spa_data& plane = buffer->buffer->datas[0];
    if (plane.data && plane.chunk) {
        const std::uint32_t offset = std::min(plane.chunk->offset, plane.maxsize);
        const std::uint32_t bytes = std::min(plane.chunk->size, plane.maxsize - offset);
        const std::uint32_t cycle = cycleOf(side.position.load(std::memory_order_acquire));
        const auto* in = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(plane.data) + offset);
        for (std::uint32_t done = 0, frames = bytes / kFrameBytes; done < frames;) {
            const std::uint32_t piece = std::min(frames - done, DeviceAudio::kBlockFrames);
            audio.processing.receive(in + std::size_t(done) * kStereoChannels, kStereoChannels, audio.block.data(), piece);
            audio.fifo->push(cycle, audio.block.data(), piece);
            done += piece;
        }
    }
    pw_stream_queue_buffer(side.stream, buffer);
}

// Data thread. Wait-free, allocates nothing.
void KorvaneDevice::processSource(void* data) {
    auto& side = *static_cast<Side*>(data);
    DeviceAudio& audio = side.device->audio_;
    pw_buffer* buffer = pw_stream_dequeue_buffer(side.stream);
    if (!buffer) return;
    spa_data& plane = buffer->buffer->datas[0];
    if (plane.data && plane.chunk) {
        const spa_io_position* position = side.position.load(std::memory_order_acquire);
        std::uint32_t frames = plane.maxsize / kFrameBytes;
        if (buffer->requested > 0) frames = std::min<std::uint32_t>(frames, std::uint32_t(buffer->requested));
        else if (position) frames = std::min<std::uint32_t>(frames, std::uint32_t(position->clock.duration));
        audio.fifo->pop(cycleOf(position), static_cast<float*>(plane.data), frames);
        plane.chunk->offset = 0;
        plane.chunk->stride = kFrameBytes;
        plane.chunk->size = frames * kFrameBytes;
        buffer->size = frames;
        if (audio.sourceRead.load(std::memory_order_relaxed)) audio.reads.fetch_add(1, std::memory_order_relaxed);
    }
    pw_stream_queue_buffer(side.stream, buffer);
}

}  // namespace korvane::driver
