// What the device model's renderer (the clock thread, or step()) works from, and the state it
// shares with the control side (every public call of the model). Not a public header.
//
// The control side describes what to run in an immutable RenderPlan and publishes it with one
// atomic exchange; the renderer adopts the newest plan at the top of each pass and acknowledges
// it, and only then may the control side free the plans before it. Everything else that crosses
// between the two is an atomic, or moves through a ring with one producer.
#pragma once

#include "audiosim/model/device_model.h"
#include "virtual_device/sink_processing.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <utility>
#include <vector>

typedef struct SRC_STATE_tag SRC_STATE;

namespace audiosim {

// A bounded first-in first-out queue for one producer and one consumer thread at a time (a
// side whose calls are serialised by a lock counts as one thread). Lock-free, no allocation.
template <class T, std::size_t N>
class SpscRing {
    static_assert((N & (N - 1)) == 0, "a power of two");

public:
    // Producer. False when full.
    bool push(T value) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == N) return false;
        slots_[tail % N] = value;
        tail_.store(tail + 1, std::memory_order_release);  // publishes the slot
        return true;
    }
    // Consumer. False when empty.
    bool pop(T& value) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) return false;
        value = slots_[head % N];
        head_.store(head + 1, std::memory_order_release);  // hands the slot back
        return true;
    }
    // Consumer.
    bool empty() const { return head_.load(std::memory_order_relaxed) == tail_.load(std::memory_order_acquire); }

private:
    std::array<T, N> slots_{};
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
};

// What a physical output received: the renderer appends, the control side takes, the oldest first.
// When the taker falls behind, the oldest samples give way: the renderer never waits, and the
// taker drops what was overwritten while it copied.
class TapRing {
public:
    // `capacity` samples, a multiple of `channels`.
    TapRing(std::size_t capacity, std::size_t channels);

    std::size_t capacity() const { return slots_.size(); }

    // Renderer. Appends `frames` frames (at most the capacity), frame f from `frameAt(f)`, a
    // pointer to one sample per channel. Wait-free.
    template <class FrameAt>
    void appendFrames(std::size_t frames, FrameAt frameAt) {
        const std::uint64_t written = written_.load(std::memory_order_relaxed);
        const std::size_t count = frames * channels_;
        // Announces the samples about to be overwritten before overwriting them; the fence orders
        // the announcement before the stores below (the taker reads it after its copy).
        begun_.store(written + count, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        std::size_t slot = std::size_t(written % slots_.size());
        for (std::size_t f = 0; f < frames; ++f) {
            const float* frame = frameAt(f);
            for (std::size_t c = 0; c < channels_; ++c) {
                slots_[slot].store(frame[c], std::memory_order_relaxed);
                if (++slot == slots_.size()) slot = 0;
            }
        }
        written_.store(written + count, std::memory_order_release);  // publishes them
    }

    // Control side (one thread at a time). Takes at most `maxSamples` (whole frames), the oldest.
    std::vector<float> take(std::size_t maxSamples);

private:
    std::vector<std::atomic<float>> slots_;
    std::size_t channels_;
    std::atomic<std::uint64_t> written_{0};  // samples ever appended
    std::atomic<std::uint64_t> begun_{0};    // samples ever appended or being appended
    std::uint64_t taken_ = 0;                // control side: samples ever taken or given way
};

// A piece of audio that an output queue plays into a device's output. Made and freed by the
// control side; between the two it moves to the renderer through the device's ring.
struct Playback {
    std::uint64_t id = 0;  // pieces appended to a playback share its id and play in order
    std::uint32_t channels = 0;
    std::vector<float> samples;  // interleaved; not changed once queued

    std::size_t frames() const { return samples.size() / channels; }

    std::atomic<std::size_t> frame{0};      // renderer writes: the next frame to play
    std::atomic<bool> cancelled{false};     // control side writes
    std::atomic<bool> released{false};      // renderer: it no longer refers to this piece
};

// One stream of an aggregate's sub-device that runs at another rate than the aggregate's clock
// device, converted as a real aggregate with drift compensation does: an input from the member's
// rate to the clock's, an output from the clock's to the member's (libsamplerate, whose
// conversion allocates nothing once made). Made on the control side; used by the renderer only.
// It lives with the aggregate's audio state, so a new plan carries on where the last one was.
struct StreamConversion {
    StreamConversion(std::uint32_t channels, bool input);
    ~StreamConversion();
    StreamConversion(const StreamConversion&) = delete;
    StreamConversion& operator=(const StreamConversion&) = delete;

    SRC_STATE* state = nullptr;  // null when libsamplerate could not make one: the stream is silent
    std::uint32_t channels;
    std::vector<float> buffer;  // member-rate frames: produced for an input, converted for an output

    // Renderer. Where the conversion stands: it starts afresh when a rate changes or the
    // aggregate's cycles do not follow on.
    double memberRate = 0;
    double runnerRate = 0;
    std::int64_t nextPosition = std::numeric_limits<std::int64_t>::min();  // the aggregate's next cycle
    std::int64_t memberCursor = 0;  // the member frame produced or written next
    // Renderer, an input's source while it converts.
    const DeviceModel* model = nullptr;
    const PlanMember* member = nullptr;
    std::uint32_t firstChannel = 0;
};

// A device's audio state. Owned jointly by its device record and the plans that refer to it, so
// it outlives the last plan the renderer may still use. A device that is unplugged gets a new
// one, so that what the renderer held of the old one is never reused.
struct DeviceAudio {
    DeviceAudio(std::size_t ringSamples) : outputRing(ringSamples, 0.0f) {}

    // Renderer only. What writers play into the device's outputs is mixed into `outputRing`
    // (interleaved over all output channels, indexed by absolute frame position modulo the ring)
    // and consumed one latency later.
    std::vector<float> outputRing;
    std::int64_t drainUntil = 0;    // the clock keeps running the device until what was written arrived
    std::int64_t gridPosition = 0;  // the clock's next cycle
    std::uint64_t lastPass = 0;     // the clock's last pass that ran or scheduled it
    static constexpr std::size_t kMaxPlaying = 16;
    std::array<Playback*, kMaxPlaying> playing{};  // adopted from `queued`, in order
    std::size_t playingCount = 0;
    std::vector<float> wrappedBlock;  // KORVANE: room for one block of the largest buffer size

    // Control side → renderer.
    SpscRing<Playback*, 64> queued;
    // KORVANE: the settings in, the sink side's telemetry out (the driver's own processing).
    korvane::virtual_device::SinkProcessing korvane;

    // Aggregates: the conversions of members at other rates, by (member, stream). The control side
    // adds to it while building a plan; the renderer uses the conversions through the plans.
    std::map<std::pair<AudioObjectID, std::uint32_t>, std::unique_ptr<StreamConversion>> conversions;

    // Renderer → control side.
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<std::uint64_t> xruns{0};  // cycles the clock thread ran late
    std::atomic<std::uint64_t> korvaneReads{0};  // KORVANE: cycles in which a client read its input
};

// A device whose streams a runner's cycle reads and writes.
struct PlanMember {
    DeviceAudio* audio = nullptr;
    TapRing* tap = nullptr;          // physical outputs; null for KORVANE
    const Signal* signal = nullptr;  // physical inputs
    double rate = 0;
    bool korvane = false;
    std::uint32_t outputChannels = 0;  // of the whole device: its ring's frame width
    std::uint32_t firstStream = 0;     // into RenderPlan::streamChannels: inputs, then outputs
    std::uint32_t inputStreams = 0;
    std::uint32_t outputStreams = 0;
};

// A device or aggregate the clock may run.
struct PlanRunner {
    AudioObjectID id = 0;
    DeviceAudio* audio = nullptr;
    bool aggregate = false;
    bool driven = false;  // has started callbacks, or (a device) is inside an aggregate that has
    double rate = 0;
    std::uint32_t frames = 0;
    double readyAt = 0;  // an aggregate presents its sub-devices from then on
    std::uint32_t firstMember = 0;
    std::uint32_t memberCount = 0;
    std::uint32_t firstProc = 0;
    std::uint32_t procCount = 0;  // started ones only
};

struct PlanProc {
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
};

// One pass's worth of work, immutable once published. Indices refer into the plan's own arrays.
struct RenderPlan {
    std::uint32_t generation = 0;
    std::vector<PlanRunner> runners;
    std::vector<PlanMember> members;
    std::vector<PlanProc> procs;
    std::vector<std::uint32_t> streamChannels;
    std::vector<StreamConversion*> conversions;  // beside streamChannels; null where none is needed

    // Room for one cycle of any runner; the renderer's alone while the plan is current.
    std::vector<float> scratch;
    std::vector<platform::audio::AudioBuffer> bufferLists;

    // Keep alive what the raw pointers above refer to.
    std::vector<std::shared_ptr<DeviceAudio>> audio;
    std::vector<std::shared_ptr<TapRing>> taps;
    std::vector<std::shared_ptr<const Signal>> signals;
};

}  // namespace audiosim
