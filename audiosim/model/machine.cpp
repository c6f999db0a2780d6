#include "audiosim/model/machine.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace audiosim {

using nlohmann::json;
using platform::audio::fourCC;
using platform::audio::fourCCFromText;

namespace {

constexpr std::uint32_t kMaxChannelsPerStream = 64;
constexpr std::size_t kMaxStreams = 16;
constexpr std::size_t kMaxDevices = 256;

// Read from a parsed description with the device's position in every message.
class Reader {
public:
    Reader(const json& object, std::string where) : object_(object), where_(std::move(where)) {
        if (!object_.is_object()) fail("must be an object");
    }

    [[noreturn]] void fail(const std::string& what) const { throw MachineError(where_ + ": " + what); }

    void allowOnly(std::initializer_list<std::string_view> keys) const {
        for (const auto& [key, _] : object_.items()) {
            if (std::find(keys.begin(), keys.end(), key) == keys.end()) fail("unknown key \"" + key + "\"");
        }
    }

    const json* find(const char* key) const {
        const auto it = object_.find(key);
        return it == object_.end() ? nullptr : &*it;
    }

    std::string string(const char* key, std::optional<std::string> fallback = std::nullopt) const {
        const json* value = find(key);
        if (!value) {
            if (fallback) return *fallback;
            fail(std::string("missing \"") + key + "\"");
        }
        if (!value->is_string()) fail(std::string("\"") + key + "\" must be a string");
        return value->get<std::string>();
    }

    double number(const char* key, double fallback, double min, double max) const {
        const json* value = find(key);
        if (!value) return fallback;
        if (!value->is_number()) fail(std::string("\"") + key + "\" must be a number");
        const double n = value->get<double>();
        if (!std::isfinite(n) || n < min || n > max)
            fail(std::string("\"") + key + "\" must lie between " + trim(min) + " and " + trim(max));
        return n;
    }

    bool boolean(const char* key, bool fallback) const {
        const json* value = find(key);
        if (!value) return fallback;
        if (!value->is_boolean()) fail(std::string("\"") + key + "\" must be true or false");
        return value->get<bool>();
    }

    const std::string& where() const { return where_; }

private:
    static std::string trim(double n) {
        std::string text = std::to_string(n);
        text.erase(text.find_last_not_of('0') + 1);
        if (!text.empty() && text.back() == '.') text.pop_back();
        return text;
    }

    const json& object_;
    std::string where_;
};

std::vector<std::uint32_t> parseStreams(const Reader& device, const char* key) {
    std::vector<std::uint32_t> streams;
    const json* value = device.find(key);
    if (!value) return streams;
    if (!value->is_array() || value->size() > kMaxStreams)
        device.fail(std::string("\"") + key + "\" must be a list of at most 16 channel counts");
    for (const auto& entry : *value) {
        if (!entry.is_number_unsigned() || entry.get<std::uint64_t>() < 1 ||
            entry.get<std::uint64_t>() > kMaxChannelsPerStream)
            device.fail(std::string("\"") + key + "\" entries must be channel counts from 1 to 64");
        streams.push_back(entry.get<std::uint32_t>());
    }
    return streams;
}

std::vector<AudioValueRange> parseRates(const Reader& device) {
    std::vector<AudioValueRange> rates;
    const json* value = device.find("rates");
    if (!value) return rates;
    if (!value->is_array()) device.fail("\"rates\" must be a list");
    const auto valid = [](const json& n) {
        return n.is_number() && std::isfinite(n.get<double>()) && n.get<double>() > 0 && n.get<double>() <= 1e6;
    };
    for (const auto& entry : *value) {
        if (valid(entry)) {
            rates.push_back({entry.get<double>(), entry.get<double>()});
        } else if (entry.is_array() && entry.size() == 2 && valid(entry[0]) && valid(entry[1]) &&
                   entry[0].get<double>() <= entry[1].get<double>()) {
            rates.push_back({entry[0].get<double>(), entry[1].get<double>()});
        } else {
            device.fail("\"rates\" entries must be rates in Hz or [minimum, maximum] pairs");
        }
    }
    return rates;
}

std::vector<VolumeControl> parseVolumes(const Reader& device) {
    std::vector<VolumeControl> volumes;
    const json* value = device.find("volumes");
    if (!value) return volumes;
    if (!value->is_array()) device.fail("\"volumes\" must be a list");
    std::set<std::uint32_t> seen;
    for (const auto& entry : *value) {
        const Reader control(entry, device.where() + " volume control");
        control.allowOnly({"element", "settable", "value"});
        VolumeControl volume;
        volume.element = std::uint32_t(control.number("element", 0, 0, 64));
        volume.settable = control.boolean("settable", true);
        volume.value = float(control.number("value", 1.0, 0.0, 1.0));
        if (!seen.insert(volume.element).second) control.fail("element listed twice");
        volumes.push_back(volume);
    }
    return volumes;
}

Signal parseSignal(const Reader& device, double nominalRate) {
    Signal signal;
    const json* value = device.find("signal");
    if (!value) return signal;
    const Reader description(*value, device.where() + " signal");
    description.allowOnly({"sine", "levelDbfs", "silence"});
    if (description.boolean("silence", false)) return signal;
    if (!description.find("sine")) description.fail("needs \"sine\" (Hz) or \"silence\": true");
    signal.kind = Signal::Kind::Sine;
    signal.frequency = description.number("sine", 0, 1, nominalRate / 2);
    signal.levelDbfs = description.number("levelDbfs", 0, -200, 0);
    return signal;
}

SampleFormat parseFormat(const Reader& device) {
    const std::string format = device.string("format", std::string("float32"));
    if (format == "float32") return SampleFormat::Float32;
    if (format == "float32be") return SampleFormat::Float32BigEndian;
    if (format == "int16") return SampleFormat::Int16;
    device.fail("\"format\" must be \"float32\", \"float32be\" or \"int16\"");
}

bool rateListed(const std::vector<AudioValueRange>& rates, double rate) {
    return std::any_of(rates.begin(), rates.end(),
                       [rate](const AudioValueRange& r) { return r.mMinimum <= rate && rate <= r.mMaximum; });
}

DeviceSpec parseDevice(const json& entry, std::size_t index) {
    const Reader device(entry, "device " + std::to_string(index + 1));
    if (device.boolean("korvane", false)) {
        device.allowOnly({"korvane", "rateChangeDelay", "nominalRate"});
        DeviceSpec result = korvaneDevice();
        result.rateChangeDelay = device.number("rateChangeDelay", result.rateChangeDelay, 0, 60);
        result.nominalRate = device.number("nominalRate", result.nominalRate, 1, 1e6);
        if (!rateListed(result.rates, result.nominalRate)) device.fail("\"nominalRate\" is not a supported KORVANE rate");
        return result;
    }
    device.allowOnly({"uid", "name", "transport", "inputs", "outputs", "nominalRate", "rates", "bufferFrames",
                      "format", "volumes", "signal"});
    DeviceSpec result;
    result.uid = device.string("uid");
    result.name = device.string("name");
    if (result.uid.empty()) device.fail("\"uid\" must not be empty");
    if (result.uid == kKorvaneDeviceUID) device.fail("the KORVANE device is written as {\"korvane\": true}");
    result.transport = fourCCFromText(device.string("transport"));
    if (result.transport == 0) device.fail("\"transport\" must be four characters, such as \"usb \"");
    if (result.transport == fourCC("grup") || result.transport == fourCC("virt"))
        device.fail("\"transport\" of a physical device cannot be \"grup\" or \"virt\"");
    result.inputStreams = parseStreams(device, "inputs");
    result.outputStreams = parseStreams(device, "outputs");
    result.nominalRate = device.number("nominalRate", 48000, 1, 1e6);
    result.rates = parseRates(device);
    if (result.rates.empty()) result.rates.push_back({result.nominalRate, result.nominalRate});
    if (!rateListed(result.rates, result.nominalRate)) device.fail("\"nominalRate\" is not among \"rates\"");
    result.bufferFrames = std::uint32_t(device.number("bufferFrames", 512, 16, 8192));
    result.format = parseFormat(device);
    result.volumes = parseVolumes(device);
    result.signal = parseSignal(device, result.nominalRate);
    return result;
}

std::uint32_t outputChannels(const DeviceSpec& device) {
    std::uint32_t sum = 0;
    for (const auto channels : device.outputStreams) sum += channels;
    return sum;
}

}  // namespace

DeviceSpec korvaneDevice() {
    DeviceSpec result;
    result.uid = std::string(kKorvaneDeviceUID);
    result.name = "KORVANE";
    result.transport = fourCC("virt");
    result.inputStreams = {2};
    result.outputStreams = {2};
    result.nominalRate = 48000;
    for (const double rate : {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0})
        result.rates.push_back({rate, rate});
    result.bufferFrames = 512;
    result.korvane = true;
    return result;
}

MachineSpec parseMachine(std::string_view text) {
    if (text.size() > kMaxMachineDescriptionBytes) throw MachineError("machine description is larger than 1 MiB");
    const json root = json::parse(text, nullptr, false);
    if (root.is_discarded()) throw MachineError("machine description is not valid JSON");
    const Reader machine(root, "machine");
    machine.allowOnly({"devices", "defaultOutput", "defaultSystemOutput"});
    const json* devices = machine.find("devices");
    if (!devices || !devices->is_array()) machine.fail("\"devices\" must be a list");
    if (devices->size() > kMaxDevices) machine.fail("at most 256 devices are supported");

    MachineSpec result;
    std::set<std::string> uids;
    for (std::size_t i = 0; i < devices->size(); ++i) {
        result.devices.push_back(parseDevice((*devices)[i], i));
        if (!uids.insert(result.devices.back().uid).second)
            machine.fail("two devices share the UID \"" + result.devices.back().uid + "\"");
    }
    const auto checkOutput = [&](const char* key) {
        std::string uid = machine.string(key, std::string());
        if (uid.empty()) return uid;
        const auto it = std::find_if(result.devices.begin(), result.devices.end(),
                                     [&](const DeviceSpec& d) { return d.uid == uid; });
        if (it == result.devices.end()) machine.fail(std::string("\"") + key + "\" names no listed device");
        if (outputChannels(*it) == 0) machine.fail(std::string("\"") + key + "\" names a device without outputs");
        return uid;
    };
    result.defaultOutput = checkOutput("defaultOutput");
    result.defaultSystemOutput = checkOutput("defaultSystemOutput");
    return result;
}

MachineSpec loadMachine(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw MachineError("cannot open machine description " + path);
    struct stat info {};
    std::string text;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              std::size_t(info.st_size) <= kMaxMachineDescriptionBytes;
    if (ok) {
        text.resize(kMaxMachineDescriptionBytes + 1);
        std::size_t filled = 0;
        while (filled < text.size()) {
            const ssize_t n = ::read(fd, text.data() + filled, text.size() - filled);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = n == 0;
                break;
            }
            filled += std::size_t(n);
        }
        text.resize(filled);
    }
    ::close(fd);
    if (!ok) throw MachineError("machine description " + path + " is not a readable file of at most 1 MiB");
    try {
        return parseMachine(text);
    } catch (const MachineError& error) {
        throw MachineError(path + ": " + error.what());
    }
}

MachineSpec builtinMachine() {
    static constexpr std::string_view kBuiltin = R"({
      "devices": [
        {"uid": "BuiltInMicrophoneDevice", "name": "Built-in Microphone", "transport": "bltn",
         "inputs": [1], "nominalRate": 48000, "rates": [44100, 48000, 96000],
         "signal": {"sine": 1000, "levelDbfs": -20}},
        {"uid": "BuiltInSpeakerDevice", "name": "Built-in Speakers", "transport": "bltn",
         "outputs": [2], "nominalRate": 48000, "rates": [44100, 48000, 96000],
         "volumes": [{"element": 0, "settable": true, "value": 0.75}]},
        {"uid": "USBInterface:2in2out", "name": "USB Audio Interface", "transport": "usb ",
         "inputs": [2], "outputs": [2], "nominalRate": 48000,
         "rates": [44100, 48000, 88200, 96000, 176400, 192000],
         "volumes": [{"element": 0, "settable": false, "value": 1.0},
                     {"element": 1, "settable": true, "value": 1.0},
                     {"element": 2, "settable": true, "value": 1.0}],
         "signal": {"sine": 440, "levelDbfs": -12}},
        {"uid": "BTHeadphones:00-11-22", "name": "Bluetooth Headphones", "transport": "blue",
         "outputs": [2], "nominalRate": 48000,
         "volumes": [{"element": 0, "settable": true, "value": 0.5}]},
        {"uid": "HDMIDisplay:1", "name": "HDMI Display", "transport": "hdmi",
         "outputs": [8], "nominalRate": 48000},
        {"korvane": true}
      ],
      "defaultOutput": "BuiltInSpeakerDevice",
      "defaultSystemOutput": "BuiltInSpeakerDevice"
    })";
    return parseMachine(kBuiltin);
}

}  // namespace audiosim
