// The device model's renderer: cycles of devices and aggregates on a common timeline, output
// mixing, output queues, the KORVANE processing, taps, and the clock thread. It works from a
// render plan (render_plan.h) and takes no lock and allocates nothing, except in step(), which
// builds its own plan for the one cycle it runs.
#include "audiosim/model/device_model.h"

#include "audiosim/model/device_records.h"
#include "audiosim/model/render_plan.h"
#include "platform/realtime_thread.h"

#include <samplerate.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace audiosim {

using namespace platform::audio;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Physical inputs are a function of the absolute frame position, so any number of readers at
// any time see the same signal.
float signalAt(const Signal& signal, double rate, std::int64_t position) {
    switch (signal.kind) {
    case Signal::Kind::Silence:
        return 0.0f;
    case Signal::Kind::Sine: {
        const double cycles = std::fmod(double(position) * signal.frequency / rate, 1.0);
        return float(std::pow(10.0, signal.levelDbfs / 20.0) * std::sin(2 * kPi * cycles));
    }
    case Signal::Kind::Samples: {
        if (signal.samples.empty()) return 0.0f;
        const auto size = std::int64_t(signal.samples.size());
        return signal.samples[std::size_t(((position % size) + size) % size)];
    }
    }
    return 0.0f;
}

std::int64_t memberPosition(const PlanMember& member, const PlanRunner& runner, std::int64_t position) {
    if (runner.rate <= 0 || member.rate <= 0 || runner.rate == member.rate) return position;
    return std::llround(double(position) * member.rate / runner.rate);
}

}  // namespace


// An aggregate presents its sub-devices only once it is ready.
std::uint32_t DeviceModel::presentMembers(const PlanRunner& runner) const {
    return !runner.aggregate || clock_.uptime() >= runner.readyAt ? runner.memberCount : 0;
}

// Writes `frames` frames of the member's input at `position` into `out` (interleaved with
// `channels` channels), starting at the member's input channel `firstChannel`.
void DeviceModel::produceInput(const PlanMember& member, std::int64_t position, std::uint32_t frames, float* out,
                               std::uint32_t channels, std::uint32_t firstChannel) const {
    if (member.korvane) {
        // What its output received one latency ago, through the device's processing.
        const DeviceAudio& audio = *member.audio;
        const std::uint32_t ringChannels = member.outputChannels;
        const float gain = audio.korvane.gain();
        constexpr std::uint32_t kChunk = 256;
        float processed[2 * kChunk] = {};
        for (std::uint32_t done = 0; done < frames;) {
            const std::int64_t source = position + done - latency_;
            const std::size_t slot = std::size_t(source & (ringFrames_ - 1));
            const std::uint32_t count =
                std::min({kChunk, frames - done, std::uint32_t(std::size_t(ringFrames_) - slot)});
            if (ringChannels > 0)
                korvane::virtual_device::processBlock(audio.outputRing.data() + slot * ringChannels, ringChannels,
                                                      processed, count, gain, audio.korvane.mode());
            for (std::uint32_t f = 0; f < count; ++f)
                for (std::uint32_t c = 0; c < channels; ++c)
                    out[std::size_t(done + f) * channels + c] =
                        firstChannel + c < 2 ? processed[2 * f + firstChannel + c] : 0.0f;
            done += count;
        }
        return;
    }
    for (std::uint32_t f = 0; f < frames; ++f) {
        const float value = member.signal ? signalAt(*member.signal, member.rate, position + f) : 0.0f;
        for (std::uint32_t c = 0; c < channels; ++c) out[std::size_t(f) * channels + c] = value;
    }
}

// A conversion starts afresh (its history dropped, the member's position taken from the
// aggregate's) when a rate changed or the aggregate's cycles do not follow on; otherwise it
// carries on from the member frame where it stopped, so the audio never tears.
namespace {

bool restartConversion(StreamConversion& conversion, const PlanMember& member, const PlanRunner& runner,
                       std::int64_t position) {
    if (conversion.memberRate == member.rate && conversion.runnerRate == runner.rate && conversion.nextPosition == position)
        return false;
    conversion.memberRate = member.rate;
    conversion.runnerRate = runner.rate;
    conversion.memberCursor = std::llround(double(position) * member.rate / runner.rate);
    src_reset(conversion.state);
    return true;
}

}  // namespace

long DeviceModel::supplyConversion(void* data, float** samples) {
    auto& conversion = *static_cast<StreamConversion*>(data);
    const auto frames = std::uint32_t(conversion.buffer.size() / conversion.channels);
    conversion.model->produceInput(*conversion.member, conversion.memberCursor, frames, conversion.buffer.data(),
                                   conversion.channels, conversion.firstChannel);
    conversion.memberCursor += frames;
    *samples = conversion.buffer.data();
    return long(frames);
}

// An input of a member at another rate: `frames` frames at the aggregate's rate, pulled from the
// member's own through the conversion.
void DeviceModel::convertInput(StreamConversion& conversion, const PlanMember& member, const PlanRunner& runner,
                               std::int64_t position, std::uint32_t frames, float* out,
                               std::uint32_t firstChannel) const {
    const std::size_t samples = std::size_t(frames) * conversion.channels;
    long made = 0;
    if (conversion.state) {
        restartConversion(conversion, member, runner, position);
        conversion.model = this;
        conversion.member = &member;
        conversion.firstChannel = firstChannel;
        made = src_callback_read(conversion.state, runner.rate / member.rate, long(frames), out);
    }
    std::fill(out + std::size_t(std::max(made, 0L)) * conversion.channels, out + samples, 0.0f);
    conversion.nextPosition = position + frames;
}

// An output of a member at another rate: the aggregate's `frames` frames converted to the member's
// rate and mixed into its output from where the last cycle's ended.
void DeviceModel::convertOutput(StreamConversion& conversion, const PlanMember& member, const PlanRunner& runner,
                                std::int64_t position, std::uint32_t frames, const float* mix,
                                std::uint32_t firstChannel) const {
    if (conversion.state) {
        restartConversion(conversion, member, runner, position);
        SRC_DATA data{};
        data.data_in = mix;
        data.input_frames = long(frames);
        data.data_out = conversion.buffer.data();
        data.output_frames = long(conversion.buffer.size() / conversion.channels);
        data.src_ratio = member.rate / runner.rate;
        if (src_process(conversion.state, &data) == 0) {
            DeviceAudio& audio = *member.audio;
            const std::uint32_t ringChannels = member.outputChannels;
            for (long f = 0; f < data.output_frames_gen; ++f) {
                float* slot = audio.outputRing.data() +
                              std::size_t((conversion.memberCursor + f) & (ringFrames_ - 1)) * ringChannels;
                for (std::uint32_t c = 0; c < conversion.channels; ++c)
                    slot[firstChannel + c] += conversion.buffer[std::size_t(f) * conversion.channels + c];
            }
            conversion.memberCursor += data.output_frames_gen;
            audio.drainUntil = std::max(audio.drainUntil, conversion.memberCursor + latency_);
        }
    }
    conversion.nextPosition = position + frames;
}

void DeviceModel::runCycle(RenderPlan& plan, const PlanRunner& runner, std::int64_t position,
                           const std::vector<std::vector<float>>* input, std::vector<std::vector<float>>* mixed) const {
    const std::uint32_t frames = runner.frames;
    const PlanMember* members = plan.members.data() + runner.firstMember;
    const std::uint32_t memberCount = presentMembers(runner);
    const bool anyRunning = runner.procCount > 0;
    const auto channelsOf = [&](const PlanMember& member, std::uint32_t stream) {
        return plan.streamChannels[member.firstStream + stream];
    };

    // Lay out both buffer lists over the plan's scratch: one buffer per stream, in member order.
    std::size_t inputSamples = 0;
    std::size_t outputSamples = 0;
    std::uint32_t inputBuffers = 0;
    std::uint32_t outputBuffers = 0;
    for (std::uint32_t m = 0; m < memberCount; ++m) {
        for (std::uint32_t s = 0; s < members[m].inputStreams; ++s)
            inputSamples += std::size_t(channelsOf(members[m], s)) * frames, ++inputBuffers;
        for (std::uint32_t s = 0; s < members[m].outputStreams; ++s)
            outputSamples += std::size_t(channelsOf(members[m], members[m].inputStreams + s)) * frames, ++outputBuffers;
    }
    float* inputScratch = plan.scratch.data();
    float* outputScratch = inputScratch + inputSamples;
    float* mix = outputScratch + outputSamples;
    auto* inputList = reinterpret_cast<AudioBufferList*>(plan.bufferLists.data());
    auto* outputList = reinterpret_cast<AudioBufferList*>(plan.bufferLists.data() + inputBuffers + 1);
    inputList->mNumberBuffers = inputBuffers;
    outputList->mNumberBuffers = outputBuffers;

    std::size_t offset = 0;
    std::size_t index = 0;
    for (std::uint32_t m = 0; m < memberCount; ++m) {
        const PlanMember& member = members[m];
        std::uint32_t firstChannel = 0;
        for (std::uint32_t s = 0; s < member.inputStreams; ++s) {
            const std::uint32_t channels = channelsOf(member, s);
            float* data = inputScratch + offset;
            const std::size_t size = std::size_t(channels) * frames;
            if (input) {
                std::fill_n(data, size, 0.0f);
                if (index < input->size()) std::copy_n((*input)[index].begin(), std::min((*input)[index].size(), size), data);
            } else if (anyRunning) {
                if (StreamConversion* conversion = plan.conversions[member.firstStream + s])
                    convertInput(*conversion, member, runner, position, frames, data, firstChannel);
                else
                    produceInput(member, memberPosition(member, runner, position), frames, data, channels, firstChannel);
            }
            inputList->mBuffers[index] = {channels, std::uint32_t(size * sizeof(float)), data};
            offset += size;
            firstChannel += channels;
            ++index;
        }
        if (member.korvane && member.inputStreams > 0 && anyRunning && !input)
            member.audio->korvaneReads.fetch_add(1, std::memory_order_relaxed);
    }

    std::fill_n(mix, outputSamples, 0.0f);
    const AudioTimeStamp now{double(position), std::uint64_t(clock_.uptime() * 1e9)};
    for (std::uint32_t p = 0; p < runner.procCount; ++p) {
        const PlanProc& proc = plan.procs[runner.firstProc + p];
        offset = 0;
        index = 0;
        for (std::uint32_t m = 0; m < memberCount; ++m)
            for (std::uint32_t s = 0; s < members[m].outputStreams; ++s) {
                const std::uint32_t channels = channelsOf(members[m], members[m].inputStreams + s);
                const std::size_t size = std::size_t(channels) * frames;
                outputList->mBuffers[index++] = {channels, std::uint32_t(size * sizeof(float)), outputScratch + offset};
                offset += size;
            }
        std::fill_n(outputScratch, outputSamples, 0.0f);
        proc.proc(runner.id, &now, inputList, &now, outputList, &now, proc.clientData);
        for (std::size_t i = 0; i < outputSamples; ++i) mix[i] += outputScratch[i];
    }

    // Mix into each member's output at its position.
    offset = 0;
    for (std::uint32_t m = 0; m < memberCount; ++m) {
        const PlanMember& member = members[m];
        DeviceAudio& audio = *member.audio;
        const std::uint32_t ringChannels = member.outputChannels;
        const std::int64_t start = memberPosition(member, runner, position);
        std::uint32_t firstChannel = 0;
        for (std::uint32_t s = 0; s < member.outputStreams; ++s) {
            const std::uint32_t channels = channelsOf(member, member.inputStreams + s);
            if (StreamConversion* conversion = plan.conversions[member.firstStream + member.inputStreams + s]) {
                convertOutput(*conversion, member, runner, position, frames, mix + offset, firstChannel);
                offset += std::size_t(channels) * frames;
                firstChannel += channels;
                continue;
            }
            for (std::uint32_t f = 0; f < frames; ++f) {
                float* slot = audio.outputRing.data() + std::size_t((start + f) & (ringFrames_ - 1)) * ringChannels;
                for (std::uint32_t c = 0; c < channels; ++c)
                    slot[firstChannel + c] += mix[offset + std::size_t(f) * channels + c];
            }
            offset += std::size_t(channels) * frames;
            firstChannel += channels;
        }
        audio.drainUntil = std::max(audio.drainUntil, start + frames + latency_);
    }
    if (mixed) {
        mixed->clear();
        offset = 0;
        for (std::uint32_t m = 0; m < memberCount; ++m)
            for (std::uint32_t s = 0; s < members[m].outputStreams; ++s) {
                const std::size_t size = std::size_t(channelsOf(members[m], members[m].inputStreams + s)) * frames;
                mixed->emplace_back(mix + offset, mix + offset + size);
                offset += size;
            }
    }
}

// The device's side of a cycle: output queues play into it, and what was written `latency`
// frames ago arrives. Then the block two latencies back, which every reader has passed, is
// cleared for the writers of the next lap.
void DeviceModel::consume(const PlanMember& member, std::int64_t position, std::uint32_t frames) const {
    DeviceAudio& audio = *member.audio;
    const std::uint32_t channels = member.outputChannels;
    if (channels == 0) return;
    const auto frameAt = [&](std::int64_t at) {
        return audio.outputRing.data() + std::size_t(at & (ringFrames_ - 1)) * channels;
    };

    // Output queues. The pieces of one playback play in order, each from where the one before it
    // ended; pieces that finished or were cancelled are handed back.
    for (Playback* piece = nullptr; audio.playingCount < audio.playing.size() && audio.queued.pop(piece);)
        audio.playing[audio.playingCount++] = piece;
    std::array<std::uint32_t, DeviceAudio::kMaxPlaying> endedAt{};
    for (std::size_t i = 0; i < audio.playingCount; ++i) {
        Playback& piece = *audio.playing[i];
        std::uint32_t f = 0;
        for (std::size_t j = i; j-- > 0;)
            if (audio.playing[j]->id == piece.id) {
                f = endedAt[j];
                break;
            }
        if (!piece.cancelled.load(std::memory_order_relaxed)) {
            std::size_t frame = piece.frame.load(std::memory_order_relaxed);
            const std::size_t total = piece.frames();
            const std::uint32_t shared = std::min(channels, piece.channels);
            for (; f < frames && frame < total; ++f, ++frame) {
                float* slot = frameAt(position + f);
                const float* source = piece.samples.data() + frame * piece.channels;
                for (std::uint32_t c = 0; c < shared; ++c) slot[c] += source[c];
            }
            piece.frame.store(frame, std::memory_order_relaxed);
            audio.drainUntil = std::max(audio.drainUntil, position + frames + latency_);
        }
        endedAt[i] = f;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < audio.playingCount; ++i) {
        Playback* piece = audio.playing[i];
        if (piece->cancelled.load(std::memory_order_relaxed) ||
            piece->frame.load(std::memory_order_relaxed) >= piece->frames())
            piece->released.store(true, std::memory_order_release);  // the last touch: the control side frees it
        else
            audio.playing[kept++] = piece;
    }
    audio.playingCount = kept;

    const std::int64_t start = position - latency_;
    if (member.korvane) {
        // The sink side: peaks and the write counter. A block that wraps the ring is made whole first.
        const std::size_t slot = std::size_t(start & (ringFrames_ - 1));
        const float* block = frameAt(start);
        if (slot + frames > std::size_t(ringFrames_)) {
            const std::size_t first = (std::size_t(ringFrames_) - slot) * channels;
            std::copy_n(block, first, audio.wrappedBlock.data());
            std::copy_n(frameAt(0), std::size_t(frames) * channels - first, audio.wrappedBlock.data() + first);
            block = audio.wrappedBlock.data();
        }
        audio.korvane.receive(block, channels, nullptr, frames);
    } else if (member.tap) {
        member.tap->appendFrames(frames, [&](std::size_t f) { return frameAt(start + std::int64_t(f)); });
    }
    for (std::uint32_t f = 0; f < frames; ++f) std::fill_n(frameAt(start - latency_ + f), channels, 0.0f);
}

std::vector<std::vector<float>> DeviceModel::step(AudioObjectID id, std::uint32_t frames,
                                                  const std::vector<std::vector<float>>* input) {
    std::lock_guard lock(mutex_);
    std::vector<std::vector<float>> output;
    Device* device = findDevice(id);
    if (clockRunning_ || !device || frames == 0 || frames > 8192) return output;
    RenderPlan plan;
    describe(plan, *device, frames, true);
    const PlanRunner& runner = plan.runners.front();
    const std::int64_t position = device->position;
    runCycle(plan, runner, position, input, &output);
    const std::uint32_t memberCount = presentMembers(runner);
    for (std::uint32_t m = 0; m < memberCount; ++m) {
        const PlanMember& member = plan.members[runner.firstMember + m];
        consume(member, memberPosition(member, runner, position), frames);
    }
    device->position += frames;
    device->audio->cycles.fetch_add(1, std::memory_order_relaxed);
    return output;
}

std::vector<DeviceModel::DeviceStats> DeviceModel::stats() const {
    std::lock_guard lock(mutex_);
    std::vector<DeviceStats> result;
    for (const auto& d : devices_)
        if (d->plugged)
            result.push_back({d->config.uid, d->audio->cycles.load(std::memory_order_relaxed),
                              d->audio->xruns.load(std::memory_order_relaxed)});
    return result;
}

// The clock thread never takes the model's lock, so it joins under it: no plan is published
// while it stops, and none waits for it once it has.
void DeviceModel::startClock(bool realTime) {
    std::lock_guard lock(mutex_);
    if (clockRunning_) return;
    clockRunning_ = true;
    clockContinues_.store(true, std::memory_order_relaxed);
    clockThread_ = std::thread([this, realTime] {
        if (realTime) platform::requestRealTimeScheduling(platform::kClockThreadPriority);
        clockLoop();
    });
}

void DeviceModel::stopClock() {
    std::lock_guard lock(mutex_);
    if (!clockRunning_) return;
    clockContinues_.store(false, std::memory_order_relaxed);
    wakeClock();
    clockThread_.join();
    clockRunning_ = false;
    retired_.clear();
}

// Every device that runs somewhere (its own callbacks, or an aggregate's that contains it, an
// output queue, or what was written into it still to arrive) and every aggregate with started
// callbacks advances on a grid from one epoch: cycle k of a device starts at epoch + k × period,
// so it never drifts, and devices of one rate share positions. A cycle found more than one period
// late is an xrun; the device then rejoins the grid at the next cycle instead of running the
// missed ones. A device that a pass neither ran nor scheduled leaves the grid.
//
// Each pass adopts the newest plan and acknowledges it; the control side frees a plan only after
// a newer one was acknowledged. Between passes the thread sleeps until its next cycle is due or
// the control side wakes it.
void DeviceModel::clockLoop() {
    using Clock = std::chrono::steady_clock;
    const auto epoch = Clock::now();
    std::uint64_t pass = 0;
    while (clockContinues_.load(std::memory_order_relaxed)) {
        const std::uint32_t signal = clockSignal_.load(std::memory_order_acquire);
        RenderPlan& plan = *plan_.load(std::memory_order_acquire);
        if (plan.generation != adopted_.load(std::memory_order_relaxed)) {
            // Sequentially consistent: pairs with the waiter's announcement (see publish()).
            adopted_.store(plan.generation, std::memory_order_seq_cst);
            if (adoptionWaiters_.load(std::memory_order_seq_cst) > 0) adopted_.wakeAll();
        }
        ++pass;
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - epoch).count();
        auto wake = now + std::chrono::milliseconds(50);
        for (const PlanRunner& runner : plan.runners) {
            DeviceAudio& audio = *runner.audio;
            const bool onGrid = audio.lastPass + 1 == pass;
            const bool playing = !runner.aggregate && (audio.playingCount > 0 || !audio.queued.empty());
            const bool draining = onGrid && audio.gridPosition < audio.drainUntil;
            if (!(runner.driven || playing || draining)) continue;
            if (runner.rate <= 0 || runner.frames == 0 || presentMembers(runner) == 0) continue;
            const double rate = runner.rate;
            const std::uint32_t frames = runner.frames;
            const auto gridAfter = [&](double seconds) { return std::int64_t(std::ceil(seconds * rate / frames)) * frames; };
            std::int64_t position = onGrid ? audio.gridPosition : gridAfter(elapsed);
            const double due = double(position) / rate;
            if (due <= elapsed) {
                if (elapsed - due > double(frames) / rate) {
                    audio.xruns.fetch_add(1, std::memory_order_relaxed);
                    position = gridAfter(elapsed);
                } else {
                    if (runner.procCount > 0) runCycle(plan, runner, position, nullptr, nullptr);
                    if (!runner.aggregate) consume(plan.members[runner.firstMember], position, frames);
                    position += frames;
                    audio.cycles.fetch_add(1, std::memory_order_relaxed);
                }
            }
            audio.gridPosition = position;
            audio.lastPass = pass;
            wake = std::min(wake, epoch + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(double(position) / rate)));
        }
        clockSignal_.waitUntil(signal, wake);
    }
}

}  // namespace audiosim
