// The control side of the model's audio: describing the running devices in a render plan,
// publishing it to the renderer and freeing what the renderer has let go of.
#include "audiosim/model/device_model.h"

#include "audiosim/model/device_records.h"
#include "audiosim/model/render_plan.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>

namespace audiosim {

namespace {

constexpr double kTapSeconds = 10.0;          // taps keep at most this much audio
constexpr std::size_t kMaxCycleFrames = 8192;  // a tap holds at least two cycles of the longest

// Wrap-around order of plan generations.
bool atOrAfter(std::uint32_t generation, std::uint32_t reference) { return std::int32_t(generation - reference) >= 0; }

}  // namespace

TapRing::TapRing(std::size_t capacity, std::size_t channels) : slots_(capacity), channels_(std::max<std::size_t>(channels, 1)) {}

std::vector<float> TapRing::take(std::size_t maxSamples) {
    const std::uint64_t capacity = slots_.size();
    const std::uint64_t written = written_.load(std::memory_order_acquire);
    const std::uint64_t from = std::max(taken_, written > capacity ? written - capacity : 0);
    const auto count = std::size_t(std::min<std::uint64_t>(written - from, maxSamples / channels_ * channels_));
    std::vector<float> taken(count);
    for (std::size_t i = 0; i < count; ++i) taken[i] = slots_[(from + i) % capacity].load(std::memory_order_relaxed);
    // What the renderer began to overwrite while it was copied is lost (the fence pairs with the
    // renderer's: a copied sample that a later append wrote shows in `begun`).
    std::atomic_thread_fence(std::memory_order_acquire);
    const std::uint64_t begun = begun_.load(std::memory_order_relaxed);
    const std::uint64_t intact = begun > capacity ? begun - capacity : 0;
    if (intact > from) taken.erase(taken.begin(), taken.begin() + std::ptrdiff_t(std::min<std::uint64_t>(intact - from, count)));
    taken_ = from + count;
    return taken;
}

void DeviceModel::renewAudio(Device& device) {
    auto fresh = std::make_shared<DeviceAudio>(std::size_t(ringFrames_) * device.outputChannels());
    if (device.audio) {
        fresh->cycles.store(device.audio->cycles.load(std::memory_order_relaxed), std::memory_order_relaxed);
        fresh->xruns.store(device.audio->xruns.load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    if (device.config.korvane) fresh->wrappedBlock.resize(kMaxCycleFrames * device.outputChannels());
    fresh->korvane.setGainDb(device.gainDb);
    fresh->korvane.setMode(korvane::virtual_device::ChannelMode(device.channelMode));
    device.audio = std::move(fresh);
    device.tap.reset();
    device.playbacks.clear();
}

StreamConversion::StreamConversion(std::uint32_t channels, bool input) : channels(channels) {
    int error = 0;
    // An input pulls the member's frames a small piece at a time; an output's converted cycle may
    // be as long as the longest cycle at the largest ratio of two supported rates (192/44.1).
    buffer.resize(std::size_t(input ? 256 : kMaxCycleFrames * 9 / 2 + 64) * channels);
    state = input ? src_callback_new(&DeviceModel::supplyConversion, SRC_SINC_FASTEST, int(channels), &error, this)
                  : src_new(SRC_SINC_FASTEST, int(channels), &error);
}

StreamConversion::~StreamConversion() {
    if (state) src_delete(state);
}

void DeviceModel::collectPlaybacks(Device& device) {
    std::erase_if(device.playbacks, [](const auto& p) { return p->released.load(std::memory_order_acquire); });
}

// Adds a runner for `device` that runs `frames` frames a cycle. Its members are the device
// itself, or an aggregate's plugged sub-devices whether or not it is ready yet (the renderer
// checks the time). Members that run get their taps here, before the renderer needs them.
void DeviceModel::describe(RenderPlan& plan, Device& device, std::uint32_t frames, bool driven) {
    PlanRunner runner;
    runner.id = device.id;
    runner.audio = device.audio.get();
    plan.audio.push_back(device.audio);
    runner.aggregate = device.aggregate;
    runner.driven = driven;
    runner.frames = frames;
    runner.readyAt = device.aggregate ? device.readyAt : 0;
    runner.firstMember = std::uint32_t(plan.members.size());

    std::vector<Device*> members;
    if (!device.aggregate) members.push_back(&device);
    for (const auto& uid : device.subDeviceUIDs)
        if (Device* sub = findDevice(uid); sub && !sub->aggregate) members.push_back(sub);
    const Device* clockDevice = device.aggregate ? findDevice(device.clockUID) : &device;
    if (!clockDevice && !members.empty()) clockDevice = members.front();
    runner.rate = clockDevice ? clockDevice->nominalRate : 0;

    std::size_t inputSamples = 0;
    std::size_t outputSamples = 0;
    std::size_t buffers = 2;
    for (Device* member : members) {
        PlanMember entry;
        entry.audio = member->audio.get();
        plan.audio.push_back(member->audio);
        collectPlaybacks(*member);
        const std::uint32_t channels = member->outputChannels();
        if (!member->config.korvane && channels > 0 && member->nominalRate > 0 && (driven || !member->playbacks.empty())) {
            const std::size_t tapFrames = std::max(std::size_t(kTapSeconds * member->nominalRate), 2 * kMaxCycleFrames);
            if (!member->tap || member->tap->capacity() != tapFrames * channels)
                member->tap = std::make_shared<TapRing>(tapFrames * channels, channels);  // a new rate starts a new tap
        }
        if (member->tap) {
            entry.tap = member->tap.get();
            plan.taps.push_back(member->tap);
        }
        entry.signal = member->signal.get();
        plan.signals.push_back(member->signal);
        entry.rate = member->nominalRate;
        entry.korvane = member->config.korvane;
        entry.outputChannels = channels;
        entry.firstStream = std::uint32_t(plan.streamChannels.size());
        entry.inputStreams = std::uint32_t(member->inputs.size());
        entry.outputStreams = std::uint32_t(member->outputs.size());
        for (const auto& s : member->inputs) plan.streamChannels.push_back(s.channels), inputSamples += s.channels;
        for (const auto& s : member->outputs) plan.streamChannels.push_back(s.channels), outputSamples += s.channels;
        // A member at another rate than the clock device's is converted, stream by stream.
        const bool converted = device.aggregate && runner.rate > 0 && member->nominalRate > 0 &&
                               member->nominalRate != runner.rate;
        for (std::uint32_t stream = 0; stream < member->inputs.size() + member->outputs.size(); ++stream) {
            StreamConversion* conversion = nullptr;
            if (converted) {
                auto& slot = device.audio->conversions[{member->id, stream}];
                const bool input = stream < member->inputs.size();
                const std::uint32_t streamChannels = plan.streamChannels[entry.firstStream + stream];
                if (!slot || slot->channels != streamChannels) slot = std::make_unique<StreamConversion>(streamChannels, input);
                conversion = slot.get();
            }
            plan.conversions.push_back(conversion);
        }
        buffers += member->inputs.size() + member->outputs.size();
        plan.members.push_back(entry);
    }
    runner.memberCount = std::uint32_t(members.size());

    runner.firstProc = std::uint32_t(plan.procs.size());
    for (const auto& proc : device.procs)
        if (proc.running) plan.procs.push_back({proc.proc, proc.clientData});
    runner.procCount = std::uint32_t(plan.procs.size()) - runner.firstProc;

    // Input, the callbacks' output and their mix; both buffer lists.
    const std::size_t samples = (inputSamples + 2 * outputSamples) * frames;
    if (plan.scratch.size() < samples) plan.scratch.resize(samples);
    if (plan.bufferLists.size() < buffers) plan.bufferLists.resize(buffers);
    plan.runners.push_back(runner);
}

// Every plugged device may run (for its own callbacks, inside a running aggregate, for an output
// queue, or to drain what was written into it); an aggregate runs for its started callbacks.
std::unique_ptr<RenderPlan> DeviceModel::buildPlan() {
    const auto running = [](const Device& d) {
        return std::any_of(d.procs.begin(), d.procs.end(), [](const IOProc& p) { return p.running; });
    };
    auto plan = std::make_unique<RenderPlan>();
    for (auto& d : devices_) {
        if (!d->plugged) continue;
        if (d->aggregate) {
            if (running(*d)) describe(*plan, *d, bufferFrames(*d), true);
            continue;
        }
        bool driven = running(*d);
        for (const auto& other : devices_)
            if (!driven && other->plugged && other->aggregate && running(*other) &&
                std::find(other->subDeviceUIDs.begin(), other->subDeviceUIDs.end(), d->config.uid) !=
                    other->subDeviceUIDs.end())
                driven = true;
        describe(*plan, *d, d->config.bufferFrames, driven);
    }
    return plan;
}

void DeviceModel::publish(bool settled) {
    auto plan = buildPlan();
    const std::uint32_t generation = plan->generation = ++generation_;
    if (RenderPlan* replaced = plan_.exchange(plan.release(), std::memory_order_acq_rel)) retired_.emplace_back(replaced);
    if (!clockRunning_) {
        retired_.clear();  // nothing renders
        return;
    }
    wakeClock();
    if (settled) {
        // Announces the wait before reading the generation, and the clock thread stores the
        // generation before it reads the announcement (both sequentially consistent), so one of
        // the two sees the other and the wake-up is not lost.
        adoptionWaiters_.fetch_add(1, std::memory_order_seq_cst);
        for (std::uint32_t seen; !atOrAfter(seen = adopted_.load(std::memory_order_seq_cst), generation);)
            adopted_.wait(seen);
        adoptionWaiters_.fetch_sub(1, std::memory_order_relaxed);
    }
    freeAdoptedPlans();
}

// A plan older than the one the clock thread adopted last is no longer in use.
void DeviceModel::freeAdoptedPlans() {
    const std::uint32_t adopted = adopted_.load(std::memory_order_acquire);
    std::erase_if(retired_, [adopted](const auto& plan) { return !atOrAfter(plan->generation, adopted); });
}

void DeviceModel::wakeClock() {
    clockSignal_.fetchAdd(1);
    clockSignal_.wakeAll();
}

}  // namespace audiosim
