// Starting and stopping routes: the main-thread half of the route engine.
#include "router/engine/route_engine.h"

#include "platform/audio_hardware.h"
#include "platform/uuid.h"
#include "platform/wording.h"
#include "router/engine/route_engine_testing.h"
#include "router/engine/route_state.h"
#include "router/engine/routing_lock.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace korvane::engine {

using namespace platform::audio;

namespace {

constexpr std::string_view kKorvaneUID = "audio.ravlin.stereo.v1";
constexpr std::string_view kListeningPrefix = "audio.korvane.listen.";
constexpr std::string_view kRoutePrefix = "audio.ravlin.route.";
constexpr const char* kAggregateName = "KORVANE routing";
constexpr int kReadinessAttempts = 40;
constexpr int kRemovalPolls = 40;
constexpr double kPollPause = 0.05;

// Failure texts, in the order they are checked (the missing driver's and the failed start's come
// from the installed wording: they name the desktop).
constexpr const char* kSelfMonitoring = "Choose a physical device; KORVANE cannot monitor itself";
constexpr const char* kInputUnavailable = "Selected input is unavailable";
constexpr const char* kOutputNeedsTwoChannels = "Selected output needs two channels";
constexpr const char* kAlreadyActive = "Another KORVANE routing connection is already active";
constexpr const char* kListeningBusy =
    "An existing KORVANE listening output is busy. Stop other audio sessions and try again";
constexpr const char* kDeviceDisappeared = "Device disappeared during setup";
constexpr const char* kCouldNotConnect = "Could not connect devices";
constexpr const char* kNotReady = "Devices did not become ready. Reconnect and try again";
constexpr const char* kUnsupportedFormat = "This device combination does not expose a supported float32 format";

struct Failure {
    std::string_view text;
    OSStatus code = 0;
};

platform::Pause& pauseOverride() {
    static platform::Pause pause;
    return pause;
}

void pauseBetweenPolls() {
    if (const auto& pause = pauseOverride())
        pause(kPollPause);
    else
        platform::sleepFor(kPollPause);
}

// A list of object ids; nothing when the size query or the read fails.
std::optional<std::vector<AudioObjectID>> readIds(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    std::uint32_t size = 0;
    if (hardware().getPropertyDataSize(object, address, nullptr, size) != kAudioHardwareNoError) return std::nullopt;
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    size = std::uint32_t(ids.size() * sizeof(AudioObjectID));
    if (!ids.empty() && hardware().getPropertyData(object, address, nullptr, size, ids.data()) != kAudioHardwareNoError)
        return std::nullopt;
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

// Total channels in one direction; 0 when the configuration cannot be read. Only the buffers
// within the returned bytes are counted.
std::uint32_t deviceChannelCount(AudioObjectID device, FourCharCode scope) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope,
                                             kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    if (hardware().getPropertyDataSize(device, address, nullptr, size) != kAudioHardwareNoError || size < 4) return 0;
    std::vector<AudioBuffer> storage(size / sizeof(AudioBuffer) + 1);
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    if (hardware().getPropertyData(device, address, nullptr, size, list) != kAudioHardwareNoError) return 0;
    std::uint32_t total = 0;
    for (std::uint32_t i = 0, n = buffersWithin(*list, size); i < n; ++i) total += list->mBuffers[i].mNumberChannels;
    return total;
}

// The device's UID; nothing when the read fails or answers no string.
std::optional<std::string> deviceUID(AudioObjectID device) {
    PropertyList value;
    if (hardware().getPropertyObject(device, globalAddress(kAudioDevicePropertyDeviceUID), nullptr, value) !=
        kAudioHardwareNoError)
        return std::nullopt;
    if (const std::string* uid = value.string()) return *uid;
    return std::nullopt;
}

// A listening aggregate left by an earlier run of this user: the per-user name, or the prefix
// followed by a UUID. Another user's per-user device matches neither.
bool isStaleListeningUID(const std::string& uid) {
    const std::string perUser = std::string(kListeningPrefix) + "user." + std::to_string(::getuid());
    return uid == perUser ||
           (uid.starts_with(kListeningPrefix) && platform::isUUIDString(std::string_view(uid).substr(kListeningPrefix.size())));
}

bool moveDefaultOffDevice(FourCharCode selector, AudioObjectID stale, AudioObjectID replacement) {
    AudioObjectID current = 0;
    if (getProperty(kAudioObjectSystemObject, globalAddress(selector), current) != kAudioHardwareNoError) return false;
    return current != stale || setProperty(kAudioObjectSystemObject, globalAddress(selector), replacement) == kAudioHardwareNoError;
}

// Destroys this user's stale listening aggregates, moving the default outputs off them first.
// Fails, destroying nothing, when one is not an aggregate or runs somewhere.
bool removeStaleListeningOutputs(AudioObjectID output) {
    const auto devices = readIds(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices));
    if (!devices) return false;
    std::vector<AudioObjectID> stale;
    for (const AudioObjectID device : *devices) {
        const auto uid = deviceUID(device);
        if (!uid || !isStaleListeningUID(*uid)) continue;
        std::uint32_t transport = 0;
        std::uint32_t running = 1;
        if (getProperty(device, globalAddress(kAudioDevicePropertyTransportType), transport) != kAudioHardwareNoError ||
            transport != kAudioDeviceTransportTypeAggregate ||
            getProperty(device, globalAddress(kAudioDevicePropertyDeviceIsRunningSomewhere), running) != kAudioHardwareNoError ||
            running != 0)
            return false;
        stale.push_back(device);
    }
    for (const AudioObjectID device : stale) {
        if (!moveDefaultOffDevice(kAudioHardwarePropertyDefaultOutputDevice, device, output) ||
            !moveDefaultOffDevice(kAudioHardwarePropertyDefaultSystemOutputDevice, device, output) ||
            hardware().destroyAggregateDevice(device) != kAudioHardwareNoError)
            return false;
        bool gone = false;
        for (int poll = 0; poll < kRemovalPolls && !gone; ++poll) {
            if (poll > 0) pauseBetweenPolls();
            const auto uid = deviceUID(device);
            gone = !uid || uid->empty();
        }
        if (!gone) return false;
    }
    return true;
}

// One readiness attempt: the aggregate lists exactly our devices and presents their channels.
// Records the channel indices as it walks the active list.
bool aggregateReady(RouteState& route, const std::vector<AudioObjectID>& devices, AudioObjectID input,
                    AudioObjectID output) {
    const auto address = globalAddress(kAudioAggregateDevicePropertyActiveSubDeviceList);
    std::uint32_t size = 0;
    if (hardware().getPropertyDataSize(route.aggregateDevice, address, nullptr, size) != kAudioHardwareNoError ||
        size != sizeof(AudioObjectID) * devices.size())
        return false;
    const auto active = readIds(route.aggregateDevice, address);
    if (!active || !std::all_of(devices.begin(), devices.end(), [&](AudioObjectID d) {
            return std::find(active->begin(), active->end(), d) != active->end();
        }))
        return false;
    std::uint32_t inputs = 0;
    std::uint32_t outputs = 0;
    for (const AudioObjectID device : *active) {
        if (device == route.playbackDevice) {
            route.driverInputChannel = inputs;
            route.driverOutputChannel = outputs;
        }
        if (device == input) route.inputChannel = inputs;
        if (device == output) route.listenChannel = outputs;
        inputs += deviceChannelCount(device, kAudioObjectPropertyScopeInput);
        outputs += deviceChannelCount(device, kAudioObjectPropertyScopeOutput);
    }
    return deviceChannelCount(route.aggregateDevice, kAudioObjectPropertyScopeInput) == inputs &&
           deviceChannelCount(route.aggregateDevice, kAudioObjectPropertyScopeOutput) == outputs && inputs >= 2 &&
           outputs >= 2;
}

// Every stream of the aggregate, inputs first, must be native-endian 32-bit float linear PCM.
bool hasFloat32Streams(AudioObjectID aggregate) {
    for (const FourCharCode scope : {kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeOutput}) {
        const auto streams = readIds(aggregate, {kAudioDevicePropertyStreams, scope, kAudioObjectPropertyElementMain});
        if (!streams) return false;
        for (const AudioObjectID stream : *streams) {
            AudioStreamBasicDescription format;
            if (getProperty(stream, globalAddress(kAudioStreamPropertyVirtualFormat), format) != kAudioHardwareNoError ||
                format.mFormatID != kAudioFormatLinearPCM ||
                (format.mFormatFlags & (kAudioFormatFlagIsFloat | kAudioFormatFlagIsBigEndian)) != kAudioFormatFlagIsFloat ||
                format.mBitsPerChannel != 32)
                return false;
        }
    }
    return true;
}

PropertyList aggregateDescription(const std::vector<std::string>& uids, const std::string& clockUID) {
    PropertyList::Array subdevices;
    for (const auto& uid : uids) {
        PropertyList::Dictionary subdevice;
        subdevice["uid"] = PropertyList(uid);
        subdevice["drift"] = PropertyList(uid == clockUID ? 0 : 1);
        subdevices.emplace_back(std::move(subdevice));
    }
    PropertyList::Dictionary description;
    description["name"] = PropertyList(kAggregateName);
    description["uid"] = PropertyList(std::string(kRoutePrefix) + platform::newUUIDString());
    description["private"] = PropertyList(1);
    description["subdevices"] = PropertyList(std::move(subdevices));
    description["master"] = PropertyList(clockUID);
    return description;
}

// Stops before it destroys, so no cycle runs on a freed state; never reports errors.
void destroyRouteState(RouteState* route) {
    if (!route) return;
    if (route->aggregateDevice != 0) {
        if (route->ioProcID) {
            hardware().stopDevice(route->aggregateDevice, route->ioProcID);
            hardware().destroyIOProcID(route->aggregateDevice, route->ioProcID);
        }
        // Object ids are handed out afresh when the audio system restarts, so the id of this
        // route's aggregate may by now name another device, even the user's own DAW device:
        // destroy it only while it still is a route aggregate.
        const auto uid = deviceUID(route->aggregateDevice);
        if (uid && uid->starts_with(kRoutePrefix)) hardware().destroyAggregateDevice(route->aggregateDevice);
    }
    releaseRoutingLock(route->lockDescriptor);
    delete route;
}

struct RouteDeleter {
    void operator()(RouteState* route) const { destroyRouteState(route); }
};
using RouteHandle = std::unique_ptr<RouteState, RouteDeleter>;

RouteHandle startRoute(AudioObjectID input, AudioObjectID output, Failure& failure) {
    const auto fail = [&failure](std::string_view text, OSStatus code = 0) {
        failure = {text, code};
        return RouteHandle();
    };
    const AudioObjectID korvane = deviceForUID(hardware(), kKorvaneUID);
    if (korvane == 0) return fail(platform::wording().engineDriverMissing);
    if (input == korvane || output == korvane) return fail(kSelfMonitoring);
    const std::uint32_t sourceChannels = input ? deviceChannelCount(input, kAudioObjectPropertyScopeInput) : 0;
    if (input && sourceChannels == 0) return fail(kInputUnavailable);
    if (output && deviceChannelCount(output, kAudioObjectPropertyScopeOutput) < 2) return fail(kOutputNeedsTwoChannels);

    RouteHandle route(new RouteState);
    if (input == 0 && output == 0) {
        route->lockDescriptor = acquireRoutingLock();
        if (route->lockDescriptor < 0) return fail(kAlreadyActive);
        route->playbackDevice = korvane;
        return route;
    }

    std::vector<AudioObjectID> devices{korvane};
    if (input) devices.push_back(input);
    if (output && output != input) devices.push_back(output);

    route->lockDescriptor = acquireRoutingLock();
    if (route->lockDescriptor < 0) return fail(kAlreadyActive);
    if (input)
        route->monoInput = sourceChannels == 1;
    else if (!removeStaleListeningOutputs(output))
        return fail(kListeningBusy);
    route->playbackDevice = korvane;
    route->hasInput = input != 0;
    route->hasListening = output != 0;

    const AudioObjectID clockDevice = output ? output : input;
    std::vector<std::string> uids;
    std::string clockUID;
    for (const AudioObjectID device : devices) {
        auto uid = deviceUID(device);
        if (!uid || uid->empty()) return fail(kDeviceDisappeared);
        if (device == clockDevice) clockUID = *uid;
        uids.push_back(std::move(*uid));
    }

    if (const OSStatus status = hardware().createAggregateDevice(aggregateDescription(uids, clockUID), route->aggregateDevice);
        status != kAudioHardwareNoError) {
        route->aggregateDevice = 0;
        return fail(kCouldNotConnect, status);
    }

    bool ready = false;
    for (int attempt = 0; attempt < kReadinessAttempts && !ready; ++attempt) {
        ready = aggregateReady(*route, devices, input, output);
        if (!ready) pauseBetweenPolls();
    }
    if (!ready) return fail(kNotReady);
    if (!hasFloat32Streams(route->aggregateDevice)) return fail(kUnsupportedFormat);

    if (const OSStatus status = hardware().createIOProcID(route->aggregateDevice, &routeRender, route.get(), route->ioProcID);
        status != kAudioHardwareNoError) {
        route->ioProcID = nullptr;
        return fail(platform::wording().engineCouldNotStart, status);
    }
    if (const OSStatus status = hardware().startDevice(route->aggregateDevice, route->ioProcID);
        status != kAudioHardwareNoError)
        return fail(platform::wording().engineCouldNotStart, status);
    return route;
}

}  // namespace

void setPauseForTesting(platform::Pause pause) { pauseOverride() = std::move(pause); }

}  // namespace korvane::engine

using korvane::engine::Failure;

extern "C" RouteState* RavlinRouteStart(uint32_t inputDevice, uint32_t outputDevice, char* message,
                                        uint32_t messageCapacity) {
    Failure failure;
    RouteState* route = nullptr;
    try {
        route = korvane::engine::startRoute(inputDevice, outputDevice, failure).release();
    } catch (...) {
        // Out of memory while building the description; everything taken was released on unwinding.
        failure = {"Could not connect devices", 0};
    }
    if (!route && message && messageCapacity > 0)
        std::snprintf(message, messageCapacity, "%.*s (%d)", int(failure.text.size()), failure.text.data(), int(failure.code));
    return route;
}

extern "C" void RavlinRouteStop(RouteState* route) { korvane::engine::destroyRouteState(route); }

extern "C" uint64_t RavlinRouteCycles(RouteState* route) {
    return route ? route->cycles.load(std::memory_order_relaxed) : 0;
}

extern "C" float RavlinRouteMonitorPeak(RouteState* route) {
    return route ? std::bit_cast<float>(route->peak.exchange(0, std::memory_order_relaxed)) : 0.0f;
}

extern "C" uint32_t RavlinRoutePlaybackDevice(RouteState* route) { return route ? route->playbackDevice : 0; }
