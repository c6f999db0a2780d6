// The device model's internal records, shared by its translation units. Not a public header.
#pragma once

#include "audiosim/model/device_model.h"

namespace audiosim {

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
    std::deque<float> loopback;  // processed stereo frames waiting on the input, interleaved

    // Aggregates.
    bool aggregate = false;
    bool isPrivate = false;
    ClientId owner = 0;
    std::vector<std::string> subDeviceUIDs;
    std::string clockUID;
    double readyAt = 0;

    // Physical inputs: the generator's position; physical outputs: what they received.
    double phase = 0;
    std::size_t samplePosition = 0;
    std::deque<float> tap;

    std::vector<IOProc> procs;
    double sampleTime = 0;

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
