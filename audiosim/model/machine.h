// The description of a simulated machine: its devices, their streams, rates, volume controls and
// input signals, and the default outputs. Loaded from JSON; the built-in machine is the default.
#pragma once

#include "platform/audio_types.h"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace audiosim {

using platform::audio::AudioValueRange;
using platform::audio::FourCharCode;

inline constexpr std::string_view kKorvaneDeviceUID = "audio.ravlin.stereo.v1";

// What a physical input produces when nobody feeds it a chosen signal.
struct Signal {
    enum class Kind { Silence, Sine, Samples };
    Kind kind = Kind::Silence;
    double frequency = 0;       // Hz, for Sine
    double levelDbfs = 0;       // peak level, for Sine
    std::vector<float> samples; // mono, looped, for Samples
};

enum class SampleFormat { Float32, Float32BigEndian, Int16 };

struct VolumeControl {
    std::uint32_t element = 0;  // 0 = main, 1… = channels
    bool settable = true;
    float value = 1.0f;
};

struct DeviceSpec {
    std::string uid;
    std::string name;
    FourCharCode transport = 0;
    std::vector<std::uint32_t> inputStreams;   // channels of each input stream
    std::vector<std::uint32_t> outputStreams;  // channels of each output stream
    double nominalRate = 48000;
    std::vector<AudioValueRange> rates;
    std::uint32_t bufferFrames = 512;
    SampleFormat format = SampleFormat::Float32;
    std::vector<VolumeControl> volumes;  // output scope
    Signal signal;
    bool korvane = false;            // the KORVANE virtual device, with its processing
    double rateChangeDelay = 0.1;    // seconds until a written rate becomes visible (KORVANE only)
};

struct MachineSpec {
    std::vector<DeviceSpec> devices;
    std::string defaultOutput;        // UID; empty = none
    std::string defaultSystemOutput;  // UID; empty = none
};

// A machine description that cannot be used; what() names the offending entry.
class MachineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Largest machine description accepted, in bytes.
inline constexpr std::size_t kMaxMachineDescriptionBytes = 1 << 20;

// Parses and validates a JSON machine description. Throws MachineError.
MachineSpec parseMachine(std::string_view json);
// Reads and parses a file (at most kMaxMachineDescriptionBytes). Throws MachineError.
MachineSpec loadMachine(const std::string& path);
// The simulated computer every tool starts with.
MachineSpec builtinMachine();
// The KORVANE virtual device as the driver presents it.
DeviceSpec korvaneDevice();

}  // namespace audiosim
