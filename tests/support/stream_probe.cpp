#include "tests/support/stream_probe.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace korvane::test {

struct StreamProbe::Stream {
    StreamProbe* probe = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    bool playback = false;
    std::atomic<spa_io_position*> position{nullptr};
    std::atomic<bool> playing{true};
    bool ownFrames = false;  // plays the probe's signal of its own frame numbers
};

namespace {

void ioChanged(void* data, uint32_t id, void* area, uint32_t size) {
    if (id == SPA_IO_Position)
        static_cast<StreamProbe::Stream*>(data)->position.store(
            area && size >= sizeof(spa_io_position) ? static_cast<spa_io_position*>(area) : nullptr);
}

}  // namespace

StreamProbe::StreamProbe(std::uint32_t latencyFrames) : latency_(latencyFrames) {
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("probe", nullptr);
    // Real-time priority where allowed, as a desktop's players and recorders have it.
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    pw_thread_loop_start(loop_);
    pw_thread_loop_lock(loop_);
    core_ = pw_context_connect(context_, nullptr, 0);
    pw_thread_loop_unlock(loop_);
}

StreamProbe::~StreamProbe() {
    pw_thread_loop_lock(loop_);
    for (auto& stream : streams_) {
        spa_hook_remove(&stream->listener);
        pw_stream_destroy(stream->stream);
    }
    if (core_) pw_core_disconnect(core_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_context_destroy(context_);
    pw_thread_loop_destroy(loop_);
}

StreamProbe::Stream* StreamProbe::open(const std::string& target, Kind kind) {
    const bool playback = kind == Kind::Play || kind == Kind::Source || kind == Kind::Frames;
    auto stream = std::make_unique<Stream>();
    stream->probe = this;
    stream->playback = playback;
    stream->ownFrames = kind == Kind::Frames;
    pw_thread_loop_lock(loop_);
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                             playback ? "Playback" : "Capture", nullptr);
    if (kind == Kind::Source) {
        // An input device of the test's hardware: a USB microphone.
        pw_properties_set(props, PW_KEY_MEDIA_CLASS, "Audio/Source");
        pw_properties_set(props, PW_KEY_NODE_NAME, target.c_str());
        pw_properties_set(props, PW_KEY_NODE_DESCRIPTION, "USB Microphone");
        pw_properties_set(props, "device.bus", "usb");
    } else {
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, target.c_str());
    }
    pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", latency_, kRate);
    if (kind == Kind::RecordMonitor) pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
    stream->stream = pw_stream_new(core_, playback ? "probe-play" : "probe-record", props);
    static const pw_stream_events kEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.io_changed = ioChanged;
        events.process = process;
        return events;
    }();
    pw_stream_add_listener(stream->stream, &stream->listener, &kEvents, stream.get());
    std::uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    pw_stream_connect(stream->stream, playback ? PW_DIRECTION_OUTPUT : PW_DIRECTION_INPUT, PW_ID_ANY,
                      pw_stream_flags((kind == Kind::Source ? 0 : PW_STREAM_FLAG_AUTOCONNECT) | PW_STREAM_FLAG_MAP_BUFFERS |
                                      PW_STREAM_FLAG_RT_PROCESS),
                      params, 1);
    streams_.push_back(std::move(stream));
    pw_thread_loop_unlock(loop_);
    return streams_.back().get();
}

void StreamProbe::play(const std::string& target, Signal signal) {
    signal_ = std::move(signal);
    open(target, Kind::Play);
}

void StreamProbe::playFrames(const std::string& target, Signal signal) {
    signal_ = std::move(signal);
    open(target, Kind::Frames);
}

void StreamProbe::playCounter(const std::string& target) {
    playFrames(target, [](std::int64_t n) { return counterFrame(std::uint32_t(n + 1)); });
}

std::vector<StreamProbe::Played> StreamProbe::played() const {
    std::lock_guard lock(mutex_);
    return played_;
}

void StreamProbe::presentSource(const std::string& name, Signal signal) {
    signal_ = std::move(signal);
    open(name, Kind::Source);
}

void StreamProbe::record(const std::string& target) { open(target, Kind::Record); }

void StreamProbe::recordMonitor(const std::string& sink) { open(sink, Kind::RecordMonitor); }

void StreamProbe::stopPlaying() {
    for (auto& stream : streams_)
        if (stream->playback) stream->playing.store(false);
}

std::vector<StreamProbe::Block> StreamProbe::recorded() const {
    std::lock_guard lock(mutex_);
    return blocks_;
}

std::size_t StreamProbe::recordedFrames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

// The data thread. Test code: it may allocate and lock.
void StreamProbe::process(void* data) {
    auto& stream = *static_cast<Stream*>(data);
    StreamProbe& probe = *stream.probe;
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream.stream);
    if (!buffer) return;
    spa_data& plane = buffer->buffer->datas[0];
    const spa_io_position* position = stream.position.load();
    if (plane.data && plane.chunk && position) {
        const auto at = std::int64_t(position->clock.position);
        const auto quantum = std::uint32_t(position->clock.duration);
        if (stream.playback) {
            std::uint32_t frames = plane.maxsize / (2 * sizeof(float));
            frames = std::min(frames, buffer->requested ? std::uint32_t(buffer->requested) : quantum);
            auto* out = static_cast<float*>(plane.data);
            const bool playing = stream.playing.load();
            if (stream.ownFrames) {
                std::lock_guard lock(probe.mutex_);
                probe.played_.push_back({at, probe.nextCount_ + 1, frames});
            }
            for (std::uint32_t f = 0; f < frames; ++f) {
                const auto frame = !playing            ? std::array<float, 2>{}
                                   : stream.ownFrames ? probe.signal_(probe.nextCount_++)
                                                    : probe.signal_(at + f);
                out[2 * f] = frame[0];
                out[2 * f + 1] = frame[1];
            }
            plane.chunk->offset = 0;
            plane.chunk->stride = 2 * sizeof(float);
            plane.chunk->size = frames * 2 * sizeof(float);
        } else {
            // Buffers that waited for a late callback belong to earlier cycles, whose positions are
            // gone: they are kept, in order, without one.
            std::vector<pw_buffer*> waiting{buffer};
            while (pw_buffer* later = pw_stream_dequeue_buffer(stream.stream)) waiting.push_back(later);
            std::lock_guard lock(probe.mutex_);
            for (std::size_t i = 0; i < waiting.size(); ++i) {
                const spa_data& data = waiting[i]->buffer->datas[0];
                if (!data.data || !data.chunk) continue;
                const auto* in = static_cast<const float*>(data.data) + data.chunk->offset / sizeof(float);
                const std::size_t samples = std::min(data.chunk->size, data.maxsize) / sizeof(float);
                const bool sound = std::any_of(in, in + samples, [](float v) { return v != 0.0f; });
                if (sound || !probe.blocks_.empty()) {
                    const std::int64_t position = i + 1 == waiting.size() ? at : -1;
                    probe.blocks_.push_back({position, quantum, std::vector<float>(in, in + samples)});
                    probe.frames_ += samples / 2;
                }
            }
            for (std::size_t i = 1; i < waiting.size(); ++i) pw_stream_queue_buffer(stream.stream, waiting[i]);
        }
    }
    pw_stream_queue_buffer(stream.stream, buffer);
}

std::array<float, 2> counterFrame(std::uint32_t n) {
    const float value = float(n % (1u << 22)) / float(1u << 22);
    return {value, -value};
}

std::int64_t counterValue(const std::array<float, 2>& frame) {
    if (frame[0] == 0.0f && frame[1] == 0.0f) return 0;
    const float scaled = frame[0] * float(1u << 22);
    if (frame[1] != -frame[0] || scaled < 1.0f || scaled != std::floor(scaled)) return -1;
    return std::int64_t(scaled);
}

CounterCheck checkCounter(const std::vector<StreamProbe::Block>& recorded, const std::vector<StreamProbe::Played>& played) {
    CounterCheck check;
    std::int64_t first = 0;
    std::int64_t last = 0;
    bool inSilence = false;
    for (const auto& block : recorded) {
        for (std::size_t f = 0; f < block.samples.size() / 2; ++f) {
            const std::int64_t value = counterValue({block.samples[2 * f], block.samples[2 * f + 1]});
            if (value < 0) {
                ++check.corrupt;
                continue;
            }
            if (value == 0) {
                inSilence = last > 0;
                continue;
            }
            if (inSilence) ++check.silenceRuns;
            inSilence = false;
            ++check.frames;
            if (last > 0 && value <= last) ++check.repeated;
            if (last > 0 && value > last + 1) check.lost += std::size_t(value - last - 1);
            if (first == 0) first = value;
            last = std::max(last, value);
            if (block.position < 0) continue;
            // The block that played this value, found by its first value (blocks come in order).
            const auto it = std::upper_bound(played.begin(), played.end(), std::uint32_t(value),
                                             [](std::uint32_t v, const StreamProbe::Played& p) { return v < p.first; });
            if (it == played.begin()) continue;
            const StreamProbe::Played& source = *std::prev(it);
            if (std::uint32_t(value) >= source.first + source.frames) continue;
            const std::int64_t delay = block.position + std::int64_t(f) - (source.position + (value - source.first));
            ++check.delays[delay];
        }
    }
    // The probe's own missed cycles while what was heard went through: a played block or a recorded
    // one that does not follow on (where the quantum changes, the graph's position may jump).
    for (std::size_t i = 1; i < played.size(); ++i)
        if (played[i].first > first && played[i].first <= last && played[i].frames == played[i - 1].frames &&
            played[i].position != played[i - 1].position + std::int64_t(played[i - 1].frames))
            ++check.missedCycles;
    for (std::size_t i = 1; i < recorded.size(); ++i)
        if (recorded[i].position < 0 ||
            (recorded[i].quantum == recorded[i - 1].quantum && recorded[i - 1].position >= 0 &&
             recorded[i].position != recorded[i - 1].position + std::int64_t(recorded[i - 1].samples.size() / 2)))
            ++check.missedCycles;
    return check;
}

std::int64_t CounterCheck::delay() const {
    const auto most = std::max_element(delays.begin(), delays.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    return most == delays.end() ? -1 : most->first;
}

std::size_t longestMatchingRun(const std::vector<StreamProbe::Block>& blocks,
                               const std::function<std::array<float, 2>(std::int64_t)>& expected) {
    std::size_t longest = 0;
    std::size_t run = 0;
    std::int64_t next = 0;
    for (const auto& block : blocks) {
        bool matches = !block.samples.empty();
        for (std::size_t f = 0; matches && f < block.samples.size() / 2; ++f) {
            const auto frame = expected(block.position + std::int64_t(f));
            matches = block.samples[2 * f] == frame[0] && block.samples[2 * f + 1] == frame[1];
        }
        const std::size_t frames = block.samples.size() / 2;
        run = matches ? (run > 0 && block.position == next ? run + frames : frames) : 0;
        next = block.position + std::int64_t(frames);
        longest = std::max(longest, run);
    }
    return longest;
}

}  // namespace korvane::test
