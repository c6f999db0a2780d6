// The device model's audio: cycles of devices and aggregates on a common timeline, output mixing,
// the KORVANE processing, taps, and the clock thread.
#include "audiosim/model/device_model.h"

#include "audiosim/model/device_records.h"
#include "platform/realtime_thread.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace audiosim {

using namespace platform::audio;

namespace {

constexpr double kTapSeconds = 10.0;  // taps keep at most this much audio
constexpr double kPi = 3.14159265358979323846;

float finiteOrZero(float v) { return std::isfinite(v) ? v : 0.0f; }

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

double gainOf(double gainDb) { return std::pow(10.0, std::clamp(gainDb, -60.0, 12.0) / 20.0); }

// Grows a scratch vector without ever shrinking it.
template <class T>
void reserveAtLeast(std::vector<T>& v, std::size_t size) {
    if (v.size() < size) v.resize(size);
}

}  // namespace

std::int64_t DeviceModel::memberPosition(const Device& member, const Device& device, std::int64_t position) {
    const double from = nominalRate(device);
    const double to = member.nominalRate;
    if (from <= 0 || to <= 0 || from == to) return position;
    return std::llround(double(position) * to / from);
}

void DeviceModel::ensureRing(Device& device) {
    const std::size_t size = std::size_t(ringFrames_) * device.outputChannels();
    if (device.outputRing.size() != size) device.outputRing.assign(size, 0.0f);
    // Ten seconds at the device's rate; a new rate starts a new tap.
    const auto tapSize = std::size_t(kTapSeconds * device.nominalRate) * device.outputChannels();
    if (!device.aggregate && !device.config.korvane && device.tap.ring.size() != tapSize) {
        device.tap.ring.assign(tapSize, 0.0f);
        device.tap.clear();
    }
}

// Writes `frames` frames of the member's input at `position` into `out` (interleaved with
// `channels` channels), starting at the member's input channel `firstChannel`.
void DeviceModel::produceInput(Device& member, std::int64_t position, std::uint32_t frames, float* out,
                               std::uint32_t channels, std::uint32_t firstChannel) {
    if (member.config.korvane) {
        ensureRing(member);
        const std::uint32_t ringChannels = member.outputChannels();
        const double gain = gainOf(member.gainDb);
        for (std::uint32_t f = 0; f < frames; ++f) {
            const std::int64_t source = position + f - latency_;
            const std::size_t slot = std::size_t(source & (ringFrames_ - 1)) * ringChannels;
            float left = finiteOrZero(member.outputRing[slot]);
            float right = ringChannels > 1 ? finiteOrZero(member.outputRing[slot + 1]) : left;
            if (member.channelMode == 1) left = right = (left + right) / 2;
            const float processed[2] = {float(left * gain), float(right * gain)};
            for (std::uint32_t c = 0; c < channels; ++c)
                out[std::size_t(f) * channels + c] = firstChannel + c < 2 ? processed[firstChannel + c] : 0.0f;
        }
        return;
    }
    for (std::uint32_t f = 0; f < frames; ++f) {
        const float value = signalAt(member.config.signal, member.nominalRate, position + f);
        for (std::uint32_t c = 0; c < channels; ++c) out[std::size_t(f) * channels + c] = value;
    }
}

void DeviceModel::runCycle(Device& device, std::int64_t position, std::uint32_t frames,
                           const std::vector<std::vector<float>>* input, std::vector<std::vector<float>>* mixed) {
    const auto active = members(device);
    const bool anyRunning = std::any_of(device.procs.begin(), device.procs.end(), [](const IOProc& p) { return p.running; });

    // Lay out both buffer lists over the scratch storage: one buffer per stream, in member order.
    std::size_t inputSamples = 0;
    std::size_t outputSamples = 0;
    std::size_t inputBuffers = 0;
    std::size_t outputBuffers = 0;
    for (const Device* member : active) {
        for (const auto& s : member->inputs) inputSamples += std::size_t(s.channels) * frames, ++inputBuffers;
        for (const auto& s : member->outputs) outputSamples += std::size_t(s.channels) * frames, ++outputBuffers;
    }
    reserveAtLeast(device.inputScratch, inputSamples);
    reserveAtLeast(device.outputScratch, outputSamples);
    reserveAtLeast(device.mixScratch, outputSamples);
    reserveAtLeast(device.inputList, inputBuffers + 1);
    reserveAtLeast(device.outputList, outputBuffers + 1);
    auto* inputList = reinterpret_cast<AudioBufferList*>(device.inputList.data());
    auto* outputList = reinterpret_cast<AudioBufferList*>(device.outputList.data());
    inputList->mNumberBuffers = std::uint32_t(inputBuffers);
    outputList->mNumberBuffers = std::uint32_t(outputBuffers);

    std::size_t offset = 0;
    std::size_t index = 0;
    for (Device* member : active) {
        std::uint32_t firstChannel = 0;
        for (const auto& stream : member->inputs) {
            float* data = device.inputScratch.data() + offset;
            const std::size_t size = std::size_t(stream.channels) * frames;
            if (input) {
                std::fill_n(data, size, 0.0f);
                if (index < input->size()) std::copy_n((*input)[index].begin(), std::min((*input)[index].size(), size), data);
            } else if (anyRunning) {
                produceInput(*member, memberPosition(*member, device, position), frames, data, stream.channels, firstChannel);
            }
            inputList->mBuffers[index] = {stream.channels, std::uint32_t(size * sizeof(float)), data};
            offset += size;
            firstChannel += stream.channels;
            ++index;
        }
        if (member->config.korvane && !member->inputs.empty() && anyRunning && !input) ++member->telemetry.readCounter;
    }

    std::fill_n(device.mixScratch.begin(), outputSamples, 0.0f);
    const AudioTimeStamp now{double(position), std::uint64_t(clock_.uptime() * 1e9)};
    for (const auto& proc : device.procs) {
        if (!proc.running) continue;
        offset = 0;
        index = 0;
        for (const Device* member : active)
            for (const auto& stream : member->outputs) {
                const std::size_t size = std::size_t(stream.channels) * frames;
                outputList->mBuffers[index++] = {stream.channels, std::uint32_t(size * sizeof(float)),
                                                 device.outputScratch.data() + offset};
                offset += size;
            }
        std::fill_n(device.outputScratch.begin(), outputSamples, 0.0f);
        proc.proc(device.id, &now, inputList, &now, outputList, &now, proc.clientData);
        for (std::size_t i = 0; i < outputSamples; ++i) device.mixScratch[i] += device.outputScratch[i];
    }

    // Mix into each member's output at its position.
    offset = 0;
    for (Device* member : active) {
        ensureRing(*member);
        const std::uint32_t ringChannels = member->outputChannels();
        const std::int64_t start = memberPosition(*member, device, position);
        std::uint32_t firstChannel = 0;
        for (const auto& stream : member->outputs) {
            for (std::uint32_t f = 0; f < frames; ++f) {
                float* slot = member->outputRing.data() + std::size_t((start + f) & (ringFrames_ - 1)) * ringChannels;
                for (std::uint32_t c = 0; c < stream.channels; ++c)
                    slot[firstChannel + c] += device.mixScratch[offset + std::size_t(f) * stream.channels + c];
            }
            offset += std::size_t(stream.channels) * frames;
            firstChannel += stream.channels;
        }
        member->drainUntil = std::max(member->drainUntil, start + frames + latency_);
    }
    if (mixed) {
        mixed->clear();
        offset = 0;
        for (const Device* member : active)
            for (const auto& stream : member->outputs) {
                const std::size_t size = std::size_t(stream.channels) * frames;
                mixed->emplace_back(device.mixScratch.begin() + std::ptrdiff_t(offset),
                                    device.mixScratch.begin() + std::ptrdiff_t(offset + size));
                offset += size;
            }
    }
}

// The device's side of a cycle: output queues play into it, and what was written `latency`
// frames ago arrives. Then the block two latencies back, which every reader has passed, is
// cleared for the writers of the next lap.
void DeviceModel::consume(Device& device, std::int64_t position, std::uint32_t frames) {
    ensureRing(device);
    const std::uint32_t channels = device.outputChannels();
    if (channels == 0) return;
    for (auto& playback : device.playbacks) {
        const std::size_t total = playback.samples.size() / playback.channels;
        for (std::uint32_t f = 0; f < frames && playback.frame < total; ++f, ++playback.frame) {
            float* slot = device.outputRing.data() + std::size_t((position + f) & (ringFrames_ - 1)) * channels;
            const float* source = playback.samples.data() + playback.frame * playback.channels;
            for (std::uint32_t c = 0; c < std::min(channels, playback.channels); ++c) slot[c] += source[c];
        }
        device.drainUntil = std::max(device.drainUntil, position + frames + latency_);
    }
    std::erase_if(device.playbacks, [](const Device::Playback& p) { return p.frame * p.channels >= p.samples.size(); });
    const std::int64_t start = position - latency_;
    if (device.config.korvane) {
        const double gain = gainOf(device.gainDb);
        std::array<double, 4> peaks{};
        for (std::uint32_t f = 0; f < frames; ++f) {
            const float* slot = device.outputRing.data() + std::size_t((start + f) & (ringFrames_ - 1)) * channels;
            float left = finiteOrZero(slot[0]);
            float right = channels > 1 ? finiteOrZero(slot[1]) : left;
            peaks[0] = std::max(peaks[0], double(std::fabs(left)));
            peaks[1] = std::max(peaks[1], double(std::fabs(right)));
            if (device.channelMode == 1) left = right = (left + right) / 2;
            peaks[2] = std::max(peaks[2], std::fabs(left * gain));
            peaks[3] = std::max(peaks[3], std::fabs(right * gain));
        }
        device.telemetry.peaks = peaks;
        ++device.telemetry.writeCounter;
    } else {
        for (std::uint32_t f = 0; f < frames; ++f)
            device.tap.append(device.outputRing.data() + std::size_t((start + f) & (ringFrames_ - 1)) * channels, channels);
    }
    for (std::uint32_t f = 0; f < frames; ++f) {
        float* slot = device.outputRing.data() + std::size_t((start - latency_ + f) & (ringFrames_ - 1)) * channels;
        std::fill_n(slot, channels, 0.0f);
    }
}

std::vector<std::vector<float>> DeviceModel::step(AudioObjectID id, std::uint32_t frames,
                                                  const std::vector<std::vector<float>>* input) {
    std::lock_guard lock(mutex_);
    std::vector<std::vector<float>> output;
    Device* device = findDevice(id);
    if (!device || frames == 0 || frames > 8192) return output;
    const std::int64_t position = device->position;
    runCycle(*device, position, frames, input, &output);
    for (Device* member : members(*device)) consume(*member, memberPosition(*member, *device, position), frames);
    device->position += frames;
    ++device->cycles;
    return output;
}

std::vector<DeviceModel::DeviceStats> DeviceModel::stats() const {
    std::lock_guard lock(mutex_);
    std::vector<DeviceStats> result;
    for (const auto& d : devices_)
        if (d->plugged) result.push_back({d->config.uid, d->cycles, d->xruns});
    return result;
}

void DeviceModel::startClock(bool realTime) {
    std::lock_guard lock(mutex_);
    if (clockRunning_) return;
    clockRunning_ = true;
    clockThread_ = std::thread([this, realTime] {
        if (realTime) platform::requestRealTimeScheduling(platform::kClockThreadPriority);
        clockLoop();
    });
}

void DeviceModel::stopClock() {
    {
        std::lock_guard lock(mutex_);
        if (!clockRunning_) return;
        clockRunning_ = false;
        clockWake_.notify_all();
    }
    clockThread_.join();
}

// Every device that runs somewhere (its own callbacks, or an aggregate's that contains it) and
// every aggregate with started callbacks advances on a grid from one epoch: cycle k of a device
// starts at epoch + k × period, so it never drifts, and devices of one rate share positions. A
// cycle found more than one period late is an xrun; the device then rejoins the grid at the next
// cycle instead of running the missed ones.
void DeviceModel::clockLoop() {
    using Clock = std::chrono::steady_clock;
    const auto epoch = Clock::now();
    struct Schedule {
        AudioObjectID device;
        std::int64_t position;  // of the next cycle
    };
    std::vector<Schedule> schedules;
    std::vector<Schedule> next;
    std::unique_lock lock(mutex_);
    while (clockRunning_) {
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - epoch).count();
        auto wake = now + std::chrono::milliseconds(50);
        next.clear();
        for (auto& d : devices_) {
            if (!d->plugged) continue;
            const bool ownProcs = std::any_of(d->procs.begin(), d->procs.end(), [](const IOProc& p) { return p.running; });
            const auto it = std::find_if(schedules.begin(), schedules.end(), [&](const Schedule& s) { return s.device == d->id; });
            const bool draining = it != schedules.end() && it->position < d->drainUntil;
            if (!(d->aggregate ? ownProcs : runningSomewhere(*d) || draining)) continue;
            const double rate = nominalRate(*d);
            const auto active = members(*d);
            if (rate <= 0 || active.empty()) continue;
            const std::uint32_t frames = bufferFrames(*d);
            const auto gridAfter = [&](double seconds) {
                return std::int64_t(std::ceil(seconds * rate / frames)) * frames;
            };
            Schedule schedule = it != schedules.end() ? *it : Schedule{d->id, gridAfter(elapsed)};
            const double due = double(schedule.position) / rate;
            if (due <= elapsed) {
                if (elapsed - due > double(frames) / rate) {
                    ++d->xruns;
                    schedule.position = gridAfter(elapsed);
                } else {
                    if (ownProcs) runCycle(*d, schedule.position, frames, nullptr, nullptr);
                    if (!d->aggregate) consume(*d, schedule.position, frames);
                    schedule.position += frames;
                    ++d->cycles;
                }
            }
            wake = std::min(wake, epoch + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(double(schedule.position) / rate)));
            next.push_back(schedule);
        }
        std::swap(schedules, next);
        clockWake_.wait_until(lock, wake);
    }
}

}  // namespace audiosim
