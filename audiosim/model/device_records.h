// The device model's internal records, shared by its translation units. Not a public header.
#pragma once

#include "audiosim/model/device_model.h"
#include "audiosim/model/render_plan.h"

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

    // Aggregates.
    bool aggregate = false;
    bool isPrivate = false;
    ClientId owner = 0;
    std::vector<std::string> subDeviceUIDs;
    std::string clockUID;
    double readyAt = 0;
    PropertyList description;  // of a public aggregate, to restore it

    std::vector<IOProc> procs;

    // Audio (see render_plan.h). `audio` and `tap` are shared with the plans that refer to them;
    // the tap is made when the device first runs, and anew for a new rate.
    std::shared_ptr<DeviceAudio> audio;
    std::shared_ptr<TapRing> tap;
    std::shared_ptr<const Signal> signal;  // the physical input's, as the renderer reads it
    std::vector<std::unique_ptr<Playback>> playbacks;  // queued or playing; freed once released
    std::int64_t position = 0;  // the next frame a step() of this device runs

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
