// The device model's internal records, shared by its translation units. Not a public header.
#pragma once

#include "audiosim/model/device_model.h"

#include <deque>

namespace audiosim {

using platform::audio::AudioBuffer;

struct DeviceModel::Stream {
    AudioObjectID id = 0;
    std::uint32_t channels = 0;
    SampleFormat format = SampleFormat::Float32;
};

struct DeviceModel::IOProc {
    std::uint64_t handle = 0;  // the value behind AudioDeviceIOProcID
    ClientId client = 0;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    bool running = false;
};

struct DeviceModel::Device {
    AudioObjectID id = 0;
    DeviceSpec config;
    bool plugged = true;
    std::vector<Stream> inputs;
    std::vector<Stream> outputs;
    std::vector<VolumeControl> volumes;
    double nominalRate = 0;

    // The KORVANE device: a written rate becomes visible at `pendingRateAt`.
    std::optional<double> pendingRate;
    double pendingRateAt = 0;
    double gainDb = 0;
    std::int64_t channelMode = 0;  // 1 = mono
    KorvaneTelemetry telemetry;

    // Aggregates.
    bool aggregate = false;
    bool isPrivate = false;
    ClientId owner = 0;
    std::vector<std::string> subDeviceUIDs;
    std::string clockUID;
    double readyAt = 0;

    // Audio. What writers play into the device's outputs is mixed into `outputRing` (interleaved
    // over all output channels, indexed by absolute frame position modulo the ring) and consumed
    // `latency` frames later: into `tap` for a physical output, into the processing for KORVANE,
    // whose input at position p is its processed output at p - latency.
    std::vector<float> outputRing;
    // What a physical output received, oldest first: a ring allocated when the device first runs,
    // so that cycles only copy into it. When full, the oldest samples give way.
    struct Tap {
        std::vector<float> ring;
        std::size_t start = 0;  // the oldest sample
        std::size_t size = 0;

        void append(const float* samples, std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) {
                ring[(start + size) % ring.size()] = samples[i];
                if (size < ring.size())
                    ++size;
                else
                    start = (start + 1) % ring.size();
            }
        }
        std::vector<float> take(std::size_t count) {
            count = std::min(count, size);
            std::vector<float> taken(count);
            for (std::size_t i = 0; i < count; ++i) taken[i] = ring[(start + i) % ring.size()];
            start = ring.empty() ? 0 : (start + count) % ring.size();
            size -= count;
            return taken;
        }
        void clear() { start = size = 0; }
    } tap;
    std::int64_t position = 0;  // the next frame a step of this device runs
    std::int64_t drainUntil = 0;  // the clock keeps running the device until what was written arrived
    std::uint64_t cycles = 0;
    std::uint64_t xruns = 0;

    struct Playback {
        std::uint64_t id = 0;
        std::uint32_t channels = 0;
        std::vector<float> samples;
        std::size_t frame = 0;  // the next frame to play
    };
    std::deque<Playback> playbacks;
    PropertyList description;  // of a public aggregate, to restore it

    std::vector<IOProc> procs;
    // Scratch for one cycle, grown as needed and kept, so that steady cycles do not allocate.
    std::vector<float> inputScratch;
    std::vector<float> outputScratch;
    std::vector<float> mixScratch;
    std::vector<AudioBuffer> inputList;
    std::vector<AudioBuffer> outputList;

    std::uint32_t inputChannels() const { return sum(inputs); }
    std::uint32_t outputChannels() const { return sum(outputs); }

private:
    static std::uint32_t sum(const std::vector<Stream>& streams) {
        std::uint32_t total = 0;
        for (const auto& s : streams) total += s.channels;
        return total;
    }
};

}  // namespace audiosim
