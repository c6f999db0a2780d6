#include "pipewire_audio/pipewire_hardware.h"

#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <set>

namespace korvane::pipewire_audio {

using namespace platform::audio;

namespace {

constexpr FourCharCode kGain = fourCC("kqgd");
constexpr FourCharCode kChannelMode = fourCC("kqmo");
constexpr FourCharCode kStatus = fourCC("kqst");
constexpr std::array<double, 6> kKorvaneRates{44100, 48000, 88200, 96000, 176400, 192000};
constexpr double kMinimumGainDb = -60.0;
constexpr double kMaximumGainDb = 12.0;
constexpr double kWriteSeconds = 2.0;
constexpr double kRateSeconds = 2.5;  // korvane-driver's 2 s to see the graph follow, and its answer
// The session manager switches once it has set up the sink: that took over 5 s on a loaded machine.
constexpr double kDefaultOutputSeconds = 12.0;
constexpr double kHostedDeviceSeconds = 4.0;  // the driver makes or removes a DAW device's nodes
constexpr const char* kConfiguredSinkKey = "default.configured.audio.sink";
constexpr const char* kJSONType = "Spa:String:JSON";
constexpr char kStreamKeySeparator = '\x1f';

bool isDirection(FourCharCode scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

std::string nameJSON(const std::string& name) { return nlohmann::json{{"name", name}}.dump(); }

std::string streamKey(const std::string& uid, bool input, std::uint32_t channel) {
    return uid + kStreamKeySeparator + (input ? 'i' : 'o') + std::to_string(channel);
}

AudioStreamBasicDescription monoFloat(double rate) {
    AudioStreamBasicDescription format;
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = 4;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4;
    format.mChannelsPerFrame = 1;
    format.mBitsPerChannel = 32;
    return format;
}

// "korvane.status": a JSON array of seven numbers; nothing for anything else.
std::optional<PropertyList> statusList(const std::string& text) {
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_array() || json.size() != 7) return std::nullopt;
    PropertyList::Array values;
    for (const auto& number : json) {
        if (!number.is_number()) return std::nullopt;
        values.emplace_back(number.get<double>());
    }
    return PropertyList(std::move(values));
}

}  // namespace

PipeWireHardware::PipeWireHardware(std::shared_ptr<GraphConnection> connection) : connection_(std::move(connection)) {}

PipeWireHardware::~PipeWireHardware() {
    Lock lock(*connection_);
    procs_.clear();  // every filter stops before the connection can go
}

void PipeWireHardware::refresh() {
    if (connection_->generation() != generation_) {
        // A new connection: what the earlier one named is gone, its filters with it.
        generation_ = connection_->generation();
        ids_ = IdTable();
        aggregates_.clear();
        procs_.clear();
        tableVersion_ = ~std::uint64_t(0);
    }
    if (connection_->version() == tableVersion_) return;
    tableVersion_ = connection_->version();
    table_ = buildDeviceTable(connection_->graph());
    devices_.clear();
    streams_.clear();

    // KORVANE keeps its id while the driver makes its nodes anew (a driver or session manager restarted).
    std::set<std::string> keep{kKorvaneSink};
    const auto add = [&](Device device, const std::string& uid) {
        device.id = ids_.idFor(uid);
        keep.insert(uid);
        std::uint32_t channel = 0;
        for (const bool input : {true, false})
            for (std::uint32_t i = 0, n = channels(device, input); i < n; ++i) {
                const std::string key = streamKey(uid, input, i);
                keep.insert(key);
                streams_[ids_.idFor(key)] = {device.id, channel++};
            }
        devices_[device.id] = std::move(device);
    };
    for (const DeviceEntry& entry : table_) add(Device{.entry = &entry, .members = {&entry}}, entry.uid);
    for (auto& [id, aggregate] : aggregates_) {
        Device device{.aggregate = &aggregate};
        for (const std::string& uid : aggregate.subdeviceUIDs)
            if (const DeviceEntry* member = entryByUID(uid)) device.members.push_back(member);
        add(std::move(device), aggregate.uid);
    }
    ids_.retainOnly(keep);
}

const PipeWireHardware::Device* PipeWireHardware::device(AudioObjectID id) const {
    const auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : &it->second;
}

const DeviceEntry* PipeWireHardware::entryByUID(const std::string& uid) const {
    const auto it = std::find_if(table_.begin(), table_.end(), [&](const DeviceEntry& e) { return e.uid == uid; });
    return it == table_.end() ? nullptr : &*it;
}

std::uint32_t PipeWireHardware::channels(const Device& device, bool input) const {
    std::uint32_t total = 0;
    for (const DeviceEntry* member : device.members) total += input ? member->inputChannels : member->outputChannels;
    return total;
}

double PipeWireHardware::nominalRate(const Device& device) const {
    const Graph& graph = connection_->graph();
    const DeviceEntry* entry = device.entry;
    if (device.aggregate) entry = entryByUID(device.aggregate->clockUID);
    if (!entry) return graph.clock.graphRate();
    const auto node = graph.nodes.find(entry->sinkNode ? entry->sinkNode : entry->sourceNode);
    if (node == graph.nodes.end()) return graph.clock.graphRate();
    // KORVANE as any device: it runs at the graph's rate, which its format shows while it runs. A
    // suspended node has no format: then it runs at the graph's rate when it next starts.
    if (node->second.running && node->second.formatRate) return *node->second.formatRate;
    return graph.clock.graphRate();
}

bool PipeWireHardware::runningSomewhere(const Device& device) const {
    if (device.aggregate) {
        return std::any_of(procs_.begin(), procs_.end(), [&](const auto& proc) {
            return proc.second.device == device.id && proc.second.filter && proc.second.filter->running();
        });
    }
    const Graph& graph = connection_->graph();
    for (const std::uint32_t id : {device.entry->sinkNode, device.entry->sourceNode})
        if (const auto node = graph.nodes.find(id); node != graph.nodes.end() && node->second.running) return true;
    return false;
}

OSStatus PipeWireHardware::lookup(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  const PropertyList* qualifier, PropertyValue& value) {
    if (!connection_->connected()) return kAudioHardwareNotRunningError;
    refresh();
    const FourCharCode selector = address.mSelector;
    if (object == kAudioObjectSystemObject) {
        switch (selector) {
        case kAudioHardwarePropertyDevices: {
            std::vector<AudioObjectID> ids;
            for (const auto& [id, device] : devices_) ids.push_back(id);
            value.setArray(ids);
            return kAudioHardwareNoError;
        }
        case kAudioHardwarePropertyTranslateUIDToDevice: {
            if (!qualifier || !qualifier->string()) {
                value.status = kAudioHardwareBadPropertySizeError;
                return kAudioHardwareNoError;
            }
            const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& device) {
                return *ids_.keyOf(device.first) == *qualifier->string();
            });
            value.set<AudioObjectID>(it == devices_.end() ? 0 : it->first);
            return kAudioHardwareNoError;
        }
        case kAudioHardwarePropertyDefaultOutputDevice:
        case kAudioHardwarePropertyDefaultSystemOutputDevice: {
            // PipeWire has one default sink: the system output follows it.
            const auto& sink = connection_->graph().defaultSink;
            const DeviceEntry* entry = sink ? entryByUID(*sink) : nullptr;
            value.set<AudioObjectID>(entry ? ids_.idFor(entry->uid) : 0);
            value.settable = true;
            return kAudioHardwareNoError;
        }
        default:
            return kAudioHardwareUnknownPropertyError;
        }
    }
    if (const auto stream = streams_.find(object); stream != streams_.end()) {
        if (selector != kAudioStreamPropertyVirtualFormat) return kAudioHardwareUnknownPropertyError;
        value.set(monoFloat(nominalRate(devices_.at(stream->second.first))));
        return kAudioHardwareNoError;
    }
    const Device* found = device(object);
    if (!found) return kAudioHardwareBadObjectError;
    return lookupDevice(*found, address, value);
}

OSStatus PipeWireHardware::lookupDevice(const Device& device, const AudioObjectPropertyAddress& address,
                                        PropertyValue& value) {
    const Graph& graph = connection_->graph();
    const DeviceEntry* entry = device.entry;
    const bool korvane = entry && entry->korvane;
    const std::vector<std::string>* subdevices =
        device.aggregate ? &device.aggregate->subdeviceUIDs
                         : (entry && !entry->subdeviceUIDs.empty() ? &entry->subdeviceUIDs : nullptr);
    switch (address.mSelector) {
    case kAudioDevicePropertyDeviceUID:
        value.object = PropertyList(device.aggregate ? device.aggregate->uid : entry->uid);
        return kAudioHardwareNoError;
    case kAudioObjectPropertyName:
        value.object = PropertyList(device.aggregate ? device.aggregate->name : entry->name);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyTransportType:
        value.set<std::uint32_t>(device.aggregate ? kAudioDeviceTransportTypeAggregate : entry->transport);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyNominalSampleRate:
        value.set<double>(nominalRate(device));
        value.settable = korvane;
        return kAudioHardwareNoError;
    case kAudioDevicePropertyAvailableNominalSampleRates: {
        std::vector<AudioValueRange> ranges;
        if (korvane) {
            for (const double rate : kKorvaneRates) ranges.push_back({rate, rate});
        } else {
            for (const std::uint32_t rate : graph.clock.allowedRates) ranges.push_back({double(rate), double(rate)});
            if (ranges.empty()) ranges.push_back({double(graph.clock.graphRate()), double(graph.clock.graphRate())});
        }
        value.setArray(ranges);
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyBufferFrameSize:
        value.set<std::uint32_t>(graph.clock.forceQuantum ? graph.clock.forceQuantum : graph.clock.quantum);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyStreamConfiguration: {
        // One mono buffer per channel: the layout the I/O callback receives.
        if (!isDirection(address.mScope)) return kAudioHardwareUnknownPropertyError;
        const std::uint32_t count = channels(device, address.mScope == kAudioObjectPropertyScopeInput);
        value.bytes.assign(audioBufferListSize(count), std::byte{0});
        auto* list = reinterpret_cast<AudioBufferList*>(value.bytes.data());
        list->mNumberBuffers = count;
        for (std::uint32_t i = 0; i < count; ++i) list->mBuffers[i].mNumberChannels = 1;
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyStreams: {
        if (!isDirection(address.mScope)) return kAudioHardwareUnknownPropertyError;
        const bool input = address.mScope == kAudioObjectPropertyScopeInput;
        const std::string uid = *ids_.keyOf(device.id);
        std::vector<AudioObjectID> ids;
        for (std::uint32_t i = 0, n = channels(device, input); i < n; ++i) ids.push_back(ids_.idFor(streamKey(uid, input, i)));
        value.setArray(ids);
        return kAudioHardwareNoError;
    }
    case kAudioDevicePropertyDeviceIsRunningSomewhere:
        value.set<std::uint32_t>(runningSomewhere(device) ? 1 : 0);
        return kAudioHardwareNoError;
    case kAudioDevicePropertyVolumeScalar: {
        // The main element only, cubic as the desktop's volume controls show it.
        if (address.mScope != kAudioObjectPropertyScopeOutput || address.mElement != kAudioObjectPropertyElementMain ||
            !entry || korvane || subdevices || entry->sinkNode == 0)
            return kAudioHardwareUnknownPropertyError;
        const auto node = graph.nodes.find(entry->sinkNode);
        if (node == graph.nodes.end() || node->second.channelVolumes.empty()) return kAudioHardwareUnknownPropertyError;
        float mean = 0;
        for (const float volume : node->second.channelVolumes) mean += volume / float(node->second.channelVolumes.size());
        value.set<float>(std::clamp(std::cbrt(mean), 0.0f, 1.0f));
        value.settable = true;
        return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyFullSubDeviceList: {
        if (!subdevices) return kAudioHardwareUnknownPropertyError;
        value.object = PropertyList(PropertyList::Array(subdevices->begin(), subdevices->end()));
        return kAudioHardwareNoError;
    }
    case kAudioAggregateDevicePropertyActiveSubDeviceList: {
        if (!subdevices) return kAudioHardwareUnknownPropertyError;
        std::vector<AudioObjectID> ids;
        for (const std::string& uid : *subdevices)
            if (const DeviceEntry* member = entryByUID(uid)) ids.push_back(ids_.idFor(member->uid));
        value.setArray(ids);
        return kAudioHardwareNoError;
    }
    case kGain:
    case kChannelMode:
    case kStatus: {
        if (!korvane) return kAudioHardwareUnknownPropertyError;
        const auto node = graph.nodes.find(entry->sinkNode);
        if (node == graph.nodes.end()) return kAudioHardwareBadDeviceError;
        const KorvaneSettings& settings = node->second.korvane;
        value.settable = address.mSelector != kStatus;
        if (address.mSelector == kGain) value.object = PropertyList(settings.gainDb.value_or(0.0));
        if (address.mSelector == kChannelMode) value.object = PropertyList(settings.mode.value_or(0));
        if (address.mSelector == kStatus) {
            const auto status = graph.korvaneStatus.find(entry->sinkNode);
            value.object = status == graph.korvaneStatus.end() ? std::nullopt : statusList(status->second);
            if (!value.object) value.status = kAudioHardwareUnspecifiedError;
        }
        return kAudioHardwareNoError;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

bool PipeWireHardware::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    Lock lock(*connection_);
    PropertyValue value;
    return lookup(object, address, nullptr, value) == kAudioHardwareNoError;
}

OSStatus PipeWireHardware::isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                              bool& settable) {
    Lock lock(*connection_);
    settable = false;
    PropertyValue value;
    const OSStatus status = lookup(object, address, nullptr, value);
    if (status == kAudioHardwareNoError) settable = value.settable;
    return status;
}

OSStatus PipeWireHardware::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                               const PropertyList* qualifier, std::uint32_t& size) {
    Lock lock(*connection_);
    size = 0;
    PropertyValue value;
    if (const OSStatus status = lookup(object, address, qualifier, value); status != kAudioHardwareNoError) return status;
    return value.size(size);
}

OSStatus PipeWireHardware::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                           const PropertyList* qualifier, std::uint32_t& ioSize, void* data) {
    Lock lock(*connection_);
    PropertyValue value;
    if (const OSStatus status = lookup(object, address, qualifier, value); status != kAudioHardwareNoError) {
        ioSize = 0;
        return status;
    }
    return value.copyBytes(ioSize, data);
}

OSStatus PipeWireHardware::getPropertyObject(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                             const PropertyList* qualifier, PropertyList& result) {
    Lock lock(*connection_);
    result = PropertyList();
    PropertyValue value;
    if (const OSStatus status = lookup(object, address, qualifier, value); status != kAudioHardwareNoError) return status;
    return value.takeObject(result);
}

OSStatus PipeWireHardware::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                           std::uint32_t size, const void* data) {
    Lock lock(*connection_);
    PropertyValue value;
    if (const OSStatus status = lookup(object, address, nullptr, value); status != kAudioHardwareNoError) return status;
    if (!value.settable) return kAudioHardwareIllegalOperationError;
    if (value.object || size != value.bytes.size() || !data) return kAudioHardwareBadPropertySizeError;
    switch (address.mSelector) {
    case kAudioHardwarePropertyDefaultOutputDevice:
    case kAudioHardwarePropertyDefaultSystemOutputDevice: {
        AudioObjectID id = 0;
        std::memcpy(&id, data, sizeof id);
        const Device* target = device(id);
        if (!target || !target->entry || target->entry->sinkNode == 0) return kAudioHardwareBadDeviceError;
        return setDefaultOutput(*target);
    }
    case kAudioDevicePropertyNominalSampleRate: {
        double rate = 0;
        std::memcpy(&rate, data, sizeof rate);
        if (std::find(kKorvaneRates.begin(), kKorvaneRates.end(), rate) == kKorvaneRates.end())
            return kAudioDeviceUnsupportedFormatError;
        return setKorvaneRate(*device(object), rate);
    }
    case kAudioDevicePropertyVolumeScalar: {
        float level = 0;
        std::memcpy(&level, data, sizeof level);
        if (!std::isfinite(level)) return kAudioHardwareIllegalOperationError;
        return setVolume(*device(object)->entry, std::clamp(level, 0.0f, 1.0f));
    }
    default:
        return kAudioHardwareIllegalOperationError;
    }
}

OSStatus PipeWireHardware::setPropertyObject(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                             const PropertyList& newValue) {
    Lock lock(*connection_);
    PropertyValue value;
    if (const OSStatus status = lookup(object, address, nullptr, value); status != kAudioHardwareNoError) return status;
    if (!value.settable || !value.object) return kAudioHardwareIllegalOperationError;
    const DeviceEntry& korvane = *device(object)->entry;
    if (address.mSelector == kGain) {
        const auto gain = newValue.real();
        if (!gain || !std::isfinite(*gain)) return kAudioHardwareIllegalOperationError;
        const double clamped = std::clamp(*gain, kMinimumGainDb, kMaximumGainDb);
        return setKorvaneParam(korvane, "korvane.gain-db", clamped, [clamped](const KorvaneSettings& shown) {
            return shown.gainDb && std::abs(*shown.gainDb - clamped) < 1e-9;
        }, kWriteSeconds);
    }
    if (address.mSelector == kChannelMode) {
        const auto mode = newValue.integer();
        if (!mode || (*mode != 0 && *mode != 1)) return kAudioHardwareIllegalOperationError;
        return setKorvaneParam(korvane, "korvane.mode", double(*mode),
                               [mode](const KorvaneSettings& shown) { return shown.mode == *mode; }, kWriteSeconds);
    }
    return kAudioHardwareIllegalOperationError;
}

OSStatus PipeWireHardware::setDefaultOutput(const Device& device) {
    const Graph& graph = connection_->graph();
    const std::string target = device.entry->uid;
    const auto configuredName = [&] {
        return graph.configuredSink ? nameInJSON(*graph.configuredSink) : std::optional<std::string>();
    };
    const auto failure = [&] {
        return connection_->connected() ? kAudioHardwareUnspecifiedError : kAudioHardwareNotRunningError;
    };
    // What the session remembers across logins is put back as it was, absent included, when the
    // output it stood for is chosen again: after KORVANE, or after a restore that named the
    // output but was cut short (a helper that failed on a loaded machine, finished by the panel).
    const auto earlier = earlierDefault();
    const bool restoring = target != kKorvaneSink && earlier && earlier->effective == target &&
                           (!earlier->configured || nameInJSON(*earlier->configured) == target) &&
                           (configuredName() == kKorvaneSink || configuredName() == target);
    if (graph.defaultSink == target && (restoring ? graph.configuredSink == earlier->configured
                                                  : !graph.configuredSink || configuredName() == target)) {
        if (restoring) rememberEarlierDefault(std::nullopt);
        return kAudioHardwareNoError;
    }
    if (target == kKorvaneSink && configuredName() != target && graph.defaultSink != target)
        rememberEarlierDefault(EarlierDefault{graph.configuredSink, graph.defaultSink.value_or("")});

    // The session switches on a configured name; taking the key away afterwards leaves its
    // choice as it is.
    // The session manager acts on a change of the value: when it already names the output (the
    // sink was made anew, and the session has not chosen it again), the same name is written
    // spelt another way.
    std::string named = nameJSON(target);
    if (graph.configuredSink == named) named = "{ \"name\": " + nlohmann::json(target).dump() + " }";
    if (!connection_->setMetadata("default", PW_ID_CORE, kConfiguredSinkKey, kJSONType, named.c_str()) ||
        !connection_->waitFor([&] { return connection_->graph().defaultSink == target; }, kDefaultOutputSeconds))
        return failure();
    if (restoring) {
        const auto& configured = earlier->configured;
        if (!connection_->setMetadata("default", PW_ID_CORE, kConfiguredSinkKey, kJSONType,
                                      configured ? configured->c_str() : nullptr) ||
            !connection_->roundTrip())
            return failure();
    }
    if (target != kKorvaneSink) rememberEarlierDefault(std::nullopt);
    return kAudioHardwareNoError;
}

std::optional<PipeWireHardware::EarlierDefault> PipeWireHardware::earlierDefault() const {
    // The driver's metadata is made anew when the driver is; then this process's memory serves.
    const auto& text = connection_->graph().earlierDefault;
    if (!connection_->hasMetadata("korvane") || !text) return localEarlierDefault_;
    const auto json = text ? nlohmann::json::parse(*text, nullptr, false) : nlohmann::json();
    if (!json.is_object() || !json.contains("effective") || !json["effective"].is_string()) return std::nullopt;
    EarlierDefault earlier{.effective = json["effective"].get<std::string>()};
    if (const auto configured = json.find("configured"); configured != json.end() && configured->is_string())
        earlier.configured = configured->get<std::string>();
    return earlier;
}

void PipeWireHardware::rememberEarlierDefault(const std::optional<EarlierDefault>& earlier) {
    localEarlierDefault_ = earlier;
    if (!connection_->hasMetadata("korvane")) return;
    std::optional<std::string> value;
    if (earlier)
        value = nlohmann::json{{"configured", earlier->configured ? nlohmann::json(*earlier->configured) : nlohmann::json()},
                               {"effective", earlier->effective}}
                    .dump();
    connection_->setMetadata("korvane", PW_ID_CORE, "korvane.earlier-default", kJSONType, value ? value->c_str() : nullptr);
}

OSStatus PipeWireHardware::setKorvaneParam(const DeviceEntry& korvane, const char* key, double value,
                                           const std::function<bool(const KorvaneSettings&)>& shown, double seconds) {
    std::array<std::uint8_t, 512> buffer;
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer.data(), std::uint32_t(buffer.size()));
    spa_pod_frame frames[2];
    spa_pod_builder_push_object(&builder, &frames[0], SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_prop(&builder, SPA_PROP_params, 0);
    spa_pod_builder_push_struct(&builder, &frames[1]);
    spa_pod_builder_string(&builder, key);
    if (std::string_view(key) == "korvane.gain-db")
        spa_pod_builder_double(&builder, value);
    else
        spa_pod_builder_long(&builder, std::int64_t(value));
    spa_pod_builder_pop(&builder, &frames[1]);
    const auto* pod = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frames[0]));
    if (!connection_->setNodeParam(korvane.sinkNode, SPA_PARAM_Props, pod))
        return connection_->connected() ? kAudioHardwareBadDeviceError : kAudioHardwareNotRunningError;
    const bool done = connection_->waitFor(
        [&] {
            const Node* node = connection_->graph().nodeNamed(kKorvaneSink);
            return node && shown(node->korvane);
        },
        seconds);
    if (done) return kAudioHardwareNoError;
    return connection_->connected() ? kAudioHardwareUnspecifiedError : kAudioHardwareNotRunningError;
}

// KORVANE runs at the graph's rate. The rate in effect is set at once; another is offered to the
// graph as KORVANE's preferred rate, which the graph follows only while idle and when the session
// allows the rate. The driver withdraws a preference the graph has not followed within 2 s; this
// waits a moment longer, so that its answer is the outcome: followed, or an unsupported format.
OSStatus PipeWireHardware::setKorvaneRate(const Device& korvane, double rate) {
    if (nominalRate(korvane) == rate) return kAudioHardwareNoError;
    const OSStatus status = setKorvaneParam(
        *korvane.entry, "korvane.rate", rate,
        [this, &korvane, rate](const KorvaneSettings&) { return nominalRate(korvane) == rate; }, kRateSeconds);
    return status == kAudioHardwareUnspecifiedError ? kAudioDeviceUnsupportedFormatError : status;
}

OSStatus PipeWireHardware::setVolume(const DeviceEntry& entry, float level) {
    const std::uint32_t sink = entry.sinkNode;
    const auto node = connection_->graph().nodes.find(sink);
    if (node == connection_->graph().nodes.end()) return kAudioHardwareBadDeviceError;
    const float linear = level * level * level;
    const std::vector<float> volumes(std::max<std::size_t>(node->second.channelVolumes.size(), 1), linear);
    std::array<std::uint8_t, 1024> buffer;
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer.data(), std::uint32_t(buffer.size()));
    const auto* pod = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props, SPA_PROP_channelVolumes,
        SPA_POD_Array(sizeof(float), SPA_TYPE_Float, std::uint32_t(volumes.size()), volumes.data())));
    if (!connection_->setNodeParam(sink, SPA_PARAM_Props, pod))
        return connection_->connected() ? kAudioHardwareBadDeviceError : kAudioHardwareNotRunningError;
    const bool done = connection_->waitFor(
        [&] {
            const auto shown = connection_->graph().nodes.find(sink);
            return shown != connection_->graph().nodes.end() &&
                   std::all_of(shown->second.channelVolumes.begin(), shown->second.channelVolumes.end(),
                               [linear](float v) { return std::abs(v - linear) < 1e-4f; });
        },
        kWriteSeconds);
    if (done) return kAudioHardwareNoError;
    return connection_->connected() ? kAudioHardwareUnspecifiedError : kAudioHardwareNotRunningError;
}

OSStatus PipeWireHardware::createAggregateDevice(const PropertyList& description, AudioObjectID& id) {
    Lock lock(*connection_);
    id = 0;
    if (!connection_->connected()) return kAudioHardwareNotRunningError;
    refresh();
    const auto* dictionary = description.dictionary();
    if (!dictionary) return kAudioHardwareIllegalOperationError;
    const auto text = [&](const char* key) -> std::string {
        const auto it = dictionary->find(key);
        const std::string* value = it == dictionary->end() ? nullptr : it->second.string();
        return value ? *value : std::string();
    };
    const std::string uid = text("uid");
    if (uid.empty() || uid.size() > 256 || entryByUID(uid) ||
        std::any_of(aggregates_.begin(), aggregates_.end(), [&](const auto& a) { return a.second.uid == uid; }))
        return kAudioHardwareIllegalOperationError;
    Aggregate aggregate{.uid = uid, .name = text("name"), .clockUID = text("master")};
    if (const auto it = dictionary->find("subdevices"); it != dictionary->end() && it->second.array())
        for (const PropertyList& subdevice : *it->second.array())
            if (const auto* entry = subdevice.dictionary())
                if (const auto member = entry->find("uid"); member != entry->end() && member->second.string())
                    aggregate.subdeviceUIDs.push_back(*member->second.string());
    const auto isPrivate = dictionary->find("private");
    if (isPrivate == dictionary->end() || isPrivate->second.integer().value_or(0) == 0)
        return createDAWDevice(aggregate.subdeviceUIDs, aggregate.uid, aggregate.name, id);
    id = ids_.idFor(uid);
    aggregates_[id] = std::move(aggregate);
    tableVersion_ = ~std::uint64_t(0);
    refresh();
    return kAudioHardwareNoError;
}

OSStatus PipeWireHardware::createDAWDevice(const std::vector<std::string>& subdevices, const std::string& uid,
                                           const std::string& name, AudioObjectID& id) {
    // The driver hosts the one kind of public device KORVANE makes: its input with an output's
    // playback after its own, outliving this process.
    if (!connection_->hasMetadata("korvane")) return kAudioHardwareUnsupportedOperationError;
    if (subdevices.size() != 2 || subdevices[0] != kKorvaneSink) return kAudioHardwareUnsupportedOperationError;
    const DeviceEntry* output = entryByUID(subdevices[1]);
    if (!output || output->sinkNode == 0 || output->korvane) return kAudioHardwareBadDeviceError;
    const std::string request = nlohmann::json{{"uid", uid}, {"name", name}, {"output", output->uid}}.dump();
    if (!connection_->setMetadata("korvane", PW_ID_CORE, "korvane.daw.create", kJSONType, request.c_str()))
        return kAudioHardwareNotRunningError;
    if (!connection_->waitFor([&] { return connection_->graph().nodeNamed(uid) != nullptr; }, kHostedDeviceSeconds))
        return connection_->connected() ? kAudioHardwareUnspecifiedError : kAudioHardwareNotRunningError;
    refresh();
    id = ids_.idFor(uid);
    return kAudioHardwareNoError;
}

OSStatus PipeWireHardware::destroyAggregateDevice(AudioObjectID id) {
    Lock lock(*connection_);
    if (!connection_->connected()) return kAudioHardwareNotRunningError;
    refresh();
    const Device* found = device(id);
    if (!found) return kAudioHardwareBadDeviceError;
    if (found->aggregate) {
        std::erase_if(procs_, [id](const auto& proc) { return proc.second.device == id; });
        aggregates_.erase(id);
        tableVersion_ = ~std::uint64_t(0);
        refresh();
        return kAudioHardwareNoError;
    }
    if (found->entry->subdeviceUIDs.empty()) return kAudioHardwareBadDeviceError;
    const std::string uid = found->entry->uid;
    const std::string request = nlohmann::json{{"uid", uid}}.dump();
    if (!connection_->setMetadata("korvane", PW_ID_CORE, "korvane.daw.remove", kJSONType, request.c_str()))
        return kAudioHardwareUnsupportedOperationError;
    if (!connection_->waitFor([&] { return connection_->graph().nodeNamed(uid) == nullptr; }, kHostedDeviceSeconds))
        return connection_->connected() ? kAudioHardwareUnspecifiedError : kAudioHardwareNotRunningError;
    return kAudioHardwareNoError;
}

OSStatus PipeWireHardware::createIOProcID(AudioObjectID id, AudioDeviceIOProc proc, void* clientData,
                                          AudioDeviceIOProcID& procID) {
    Lock lock(*connection_);
    procID = nullptr;
    if (!connection_->connected()) return kAudioHardwareNotRunningError;
    refresh();
    if (!device(id)) return kAudioHardwareBadDeviceError;
    if (!proc) return kAudioHardwareIllegalOperationError;
    const std::uintptr_t handle = nextProc_++;
    procs_[handle] = IOProc{.device = id, .proc = proc, .clientData = clientData};
    procID = reinterpret_cast<AudioDeviceIOProcID>(handle);
    return kAudioHardwareNoError;
}

OSStatus PipeWireHardware::destroyIOProcID(AudioObjectID id, AudioDeviceIOProcID procID) {
    Lock lock(*connection_);
    refresh();
    const auto it = procs_.find(reinterpret_cast<std::uintptr_t>(procID));
    if (it == procs_.end() || it->second.device != id) return kAudioHardwareBadDeviceError;
    procs_.erase(it);  // its filter stops before it goes
    return kAudioHardwareNoError;
}

OSStatus PipeWireHardware::startDevice(AudioObjectID id, AudioDeviceIOProcID procID) {
    Lock lock(*connection_);
    if (!connection_->connected()) return kAudioHardwareNotRunningError;
    refresh();
    const auto handle = reinterpret_cast<std::uintptr_t>(procID);
    const auto it = procs_.find(handle);
    const Device* found = device(id);
    if (!found || it == procs_.end() || it->second.device != id) return kAudioHardwareBadDeviceError;
    if (it->second.filter && it->second.filter->running()) return kAudioHardwareNoError;
    it->second.filter.reset();

    // A member's ports come a moment after its node (a device just plugged in, KORVANE made anew):
    // wait for them, within a limit.
    std::vector<ChannelPort> inputs;
    std::vector<ChannelPort> outputs;
    const auto portsReady = [&] {
        refresh();
        inputs.clear();
        outputs.clear();
        const Device* current = device(id);
        if (!current) return false;
        const Graph& graph = connection_->graph();
        for (const DeviceEntry* member : current->members) {
            if (member->sourceNode)
                for (const Port* port : graph.channelPorts(member->sourceNode, true)) inputs.push_back({member->sourceNode, port->id});
            if (member->sinkNode)
                for (const Port* port : graph.channelPorts(member->sinkNode, false)) outputs.push_back({member->sinkNode, port->id});
        }
        return inputs.size() == channels(*current, true) && outputs.size() == channels(*current, false);
    };
    if (!connection_->waitFor(portsReady, kWriteSeconds)) return kAudioHardwareBadDeviceError;
    const auto proc = procs_.find(handle);
    if (proc == procs_.end()) return kAudioHardwareBadDeviceError;
    OSStatus status = kAudioHardwareNoError;
    // Starting waits for the server, which lets other calls in: look the callback up again after.
    auto filter = RouteFilter::start(*connection_, id, std::move(inputs), std::move(outputs), proc->second.proc,
                                     proc->second.clientData, status);
    if (!filter) return status;
    const auto again = procs_.find(handle);
    if (again == procs_.end()) return kAudioHardwareBadDeviceError;
    again->second.filter = std::move(filter);
    return kAudioHardwareNoError;
}

OSStatus PipeWireHardware::stopDevice(AudioObjectID id, AudioDeviceIOProcID procID) {
    Lock lock(*connection_);
    refresh();
    const auto it = procs_.find(reinterpret_cast<std::uintptr_t>(procID));
    if (it == procs_.end() || it->second.device != id) return kAudioHardwareBadDeviceError;
    it->second.filter.reset();  // returns once no callback runs
    return kAudioHardwareNoError;
}

}  // namespace korvane::pipewire_audio
