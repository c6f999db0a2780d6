#include "driver/korvane_device.h"

#include "driver/loop_timer.h"

#include <spa/param/audio/format-utils.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace korvane::driver {

namespace {

constexpr std::uint32_t kFrameBytes = DelayLine::kChannels * sizeof(float);
constexpr const char* kGroup = "audio.ravlin.stereo.v1";

pw_stream_events streamEvents(void (*process)(void*),
                              void (*paramChanged)(void*, uint32_t, const spa_pod*),
                              void (*ioChanged)(void*, uint32_t, void*, uint32_t),
                              void (*stateChanged)(void*, pw_stream_state, pw_stream_state, const char*)) {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = stateChanged;
    events.io_changed = ioChanged;
    events.param_changed = paramChanged;
    events.process = process;
    return events;
}

}  // namespace

KorvaneDevice::KorvaneDevice(pw_core* core, DeviceAudio& audio, const DeviceSettings& settings,
                             std::function<void(const DeviceSettings&)> onSettings, std::function<void()> onFailure)
    : core_(core), audio_(audio), settings_(settings), onSettings_(std::move(onSettings)),
      onFailure_(std::move(onFailure)) {
    audio_.processing.setGainDb(settings_.gainDb);
    audio_.processing.setMode(settings_.mode);
    deferred_ = pw_loop_add_timer(mainLoopOf(core_), [](void* data, uint64_t) {
        auto& self = *static_cast<KorvaneDevice*>(data);
        if (self.failed_) {
            if (self.onFailure_) self.onFailure_();  // the owner replaces this device: nothing after it
            return;
        }
        if (const auto settings = std::exchange(self.pending_, std::nullopt); settings && self.onSettings_)
            self.onSettings_(*settings);
    }, this);
    sink_.device = source_.device = this;
    const bool sinkMade = connectStream(sink_, true);
    const bool sourceMade = connectStream(source_, false);
    if (!sinkMade || !sourceMade) {
        failed_ = true;
        deliverLater();
    }
    publishProps();
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
    if (deferred_) pw_loop_destroy_source(mainLoopOf(core_), deferred_);
}

bool KorvaneDevice::connectStream(Side& side, bool sink) {
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, sink ? "Playback" : "Capture",
        PW_KEY_MEDIA_CLASS, sink ? "Audio/Sink" : "Audio/Source", PW_KEY_NODE_NAME, sink ? kSinkName : kSourceName,
        PW_KEY_NODE_DESCRIPTION, kDescription, PW_KEY_NODE_GROUP, kGroup, PW_KEY_AUDIO_CHANNELS, "2",
        SPA_KEY_AUDIO_POSITION, "FL,FR", nullptr);
    pw_properties_setf(props, PW_KEY_NODE_RATE, "1/%u", settings_.rate);
    pw_stream* stream = pw_stream_new(core_, sink ? kSinkName : kSourceName, props);
    if (!stream) return false;

    static const pw_stream_events kSinkEvents =
        streamEvents(processSink, sinkParamChanged, ioChanged, stateChanged);
    static const pw_stream_events kSourceEvents = streamEvents(processSource, nullptr, ioChanged, stateChanged);
    pw_stream_add_listener(stream, &side.listener, sink ? &kSinkEvents : &kSourceEvents, &side);

    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = settings_.rate;
    info.channels = DelayLine::kChannels;
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

void KorvaneDevice::resetVolume() {
    float one = 1.0f;
    float off = 0.0f;
    float ones[DelayLine::kChannels] = {1.0f, 1.0f};
    pw_stream_set_control(sink_.stream, SPA_PROP_volume, 1, &one, SPA_PROP_mute, 1, &off, SPA_PROP_channelVolumes,
                          DelayLine::kChannels, ones, 0);
}

// A writer's Props: a desktop's volume or mute is undone at once; the device's own keys take
// effect here (gain and mode) and reach the owner once this call has returned.
void KorvaneDevice::settingsReceived(const spa_pod* props) {
    if (leavesUnity(props)) resetVolume();
    const DeviceSettings asked = applyProps(props, settings_);
    if (asked != settings_) {
        audio_.processing.setGainDb(asked.gainDb);
        audio_.processing.setMode(asked.mode);
        settings_.gainDb = asked.gainDb;
        settings_.mode = asked.mode;
        pending_ = asked;
        deliverLater();
    }
    publishProps();  // what the writer set is replaced by what is in effect
}

void KorvaneDevice::deliverLater() { armTimer(mainLoopOf(core_), deferred_, 0); }

void KorvaneDevice::sinkParamChanged(void* data, uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Props && param) static_cast<Side*>(data)->device->settingsReceived(param);
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
    side.device->countReaders();  // the source's id may be new
    if (state != PW_STREAM_STATE_ERROR) return;
    std::fprintf(stderr, "korvane-driver: %s: %s\n", pw_stream_get_name(side.stream), error ? error : "stream error");
    side.device->failed_ = true;
    side.device->deliverLater();
}

// The frame at the device's rate where a block of `frames` starts: the graph's clock position,
// `behind` graph frames back, scaled when the graph runs at another rate. Consecutive blocks
// follow on from each other, so a resampler's few frames of jitter never tear the audio; a block
// more than half a block away from the clock (a cycle without a buffer, a jump) starts afresh.
std::int64_t KorvaneDevice::framePosition(Side& side, const spa_io_position& position, std::int64_t behind,
                                          std::uint32_t frames) const {
    const std::uint32_t graphRate = position.clock.rate.denom ? position.clock.rate.denom : settings_.rate;
    const std::int64_t graphFrame = std::int64_t(position.clock.position) - behind;
    const std::int64_t expected =
        graphRate == settings_.rate ? graphFrame
                                    : std::int64_t(static_cast<__int128>(graphFrame) * settings_.rate / graphRate);
    const std::int64_t tolerance = frames / 2;
    if (!side.anchored || side.cursor > expected + tolerance || side.cursor + tolerance < expected) side.cursor = expected;
    side.anchored = true;
    const std::int64_t at = side.cursor;
    side.cursor += frames;
    return at;
}

// Data thread. Wait-free, allocates nothing.
void KorvaneDevice::processSink(void* data) {
    auto& side = *static_cast<Side*>(data);
    KorvaneDevice& self = *side.device;
    pw_buffer* buffer = pw_stream_dequeue_buffer(side.stream);
    if (!buffer) return;
    const spa_data& plane = buffer->buffer->datas[0];
    if (plane.data && plane.chunk) {
        const std::uint32_t offset = std::min(plane.chunk->offset, plane.maxsize);
        const std::uint32_t bytes = std::min(plane.chunk->size, plane.maxsize - offset);
        const std::uint32_t frames = std::min(bytes / kFrameBytes, DeviceAudio::kMaxBlockFrames);
        const spa_io_position* position = side.position.load(std::memory_order_acquire);
        if (frames > 0) {
            const auto* in = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(plane.data) + offset);
            DeviceAudio& audio = self.audio_;
            audio.processing.receive(in, DelayLine::kChannels, audio.block.data(), frames);
            if (position) audio.delay.write(self.framePosition(side, *position, 0, frames), audio.block.data(), frames);
        }
    }
    pw_stream_queue_buffer(side.stream, buffer);
}

// Data thread. Wait-free, allocates nothing.
void KorvaneDevice::processSource(void* data) {
    auto& side = *static_cast<Side*>(data);
    KorvaneDevice& self = *side.device;
    pw_buffer* buffer = pw_stream_dequeue_buffer(side.stream);
    if (!buffer) return;
    spa_data& plane = buffer->buffer->datas[0];
    if (plane.data && plane.chunk) {
        const spa_io_position* position = side.position.load(std::memory_order_acquire);
        std::uint32_t frames = plane.maxsize / kFrameBytes;
        if (buffer->requested > 0) frames = std::min<std::uint32_t>(frames, std::uint32_t(buffer->requested));
        else if (position) frames = std::min<std::uint32_t>(frames, std::uint32_t(position->clock.duration));
        auto* out = static_cast<float*>(plane.data);
        if (position) {
            const auto quantum = std::int64_t(position->clock.duration);
            self.audio_.delay.read(self.framePosition(side, *position, quantum, frames), out, frames);
        } else {
            std::memset(out, 0, std::size_t(frames) * kFrameBytes);
        }
        plane.chunk->offset = 0;
        plane.chunk->stride = kFrameBytes;
        plane.chunk->size = frames * kFrameBytes;
        buffer->size = frames;
        if (self.audio_.sourceRead.load(std::memory_order_relaxed)) self.audio_.reads.fetch_add(1, std::memory_order_relaxed);
    }
    pw_stream_queue_buffer(side.stream, buffer);
}

}  // namespace korvane::driver
