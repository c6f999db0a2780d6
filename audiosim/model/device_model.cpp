#include "audiosim/model/device_model.h"

#include "audiosim/model/rate_conversion.h"

#include "audiosim/model/device_records.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace audiosim {

using namespace platform::audio;

// One client's connection to the model.
class ModelClient final : public AudioHardware {
public:
    ModelClient(DeviceModel& model, ClientId id) : model_(model), id_(id) {}
    ~ModelClient() override { model_.disconnect(id_); }

    bool hasProperty(AudioObjectID o, const AudioObjectPropertyAddress& a) override {
        return model_.hasProperty(id_, o, a);
    }
    OSStatus isPropertySettable(AudioObjectID o, const AudioObjectPropertyAddress& a, bool& s) override {
        return model_.isPropertySettable(id_, o, a, s);
    }
    OSStatus getPropertyDataSize(AudioObjectID o, const AudioObjectPropertyAddress& a, const PropertyList* q,
                                 std::uint32_t& size) override {
        return model_.getPropertyDataSize(id_, o, a, q, size);
    }
    OSStatus getPropertyData(AudioObjectID o, const AudioObjectPropertyAddress& a, const PropertyList* q,
                             std::uint32_t& size, void* data) override {
        return model_.getPropertyData(id_, o, a, q, size, data);
    }
    OSStatus setPropertyData(AudioObjectID o, const AudioObjectPropertyAddress& a, std::uint32_t size,
                             const void* data) override {
        return model_.setPropertyData(id_, o, a, size, data);
    }
    OSStatus getPropertyObject(AudioObjectID o, const AudioObjectPropertyAddress& a, const PropertyList* q,
                               PropertyList& value) override {
        return model_.getPropertyObject(id_, o, a, q, value);
    }
    OSStatus setPropertyObject(AudioObjectID o, const AudioObjectPropertyAddress& a,
                               const PropertyList& value) override {
        return model_.setPropertyObject(id_, o, a, value);
    }
    OSStatus createAggregateDevice(const PropertyList& description, AudioObjectID& device) override {
        return model_.createAggregateDevice(id_, description, device);
    }
    OSStatus destroyAggregateDevice(AudioObjectID device) override {
        return model_.destroyAggregateDevice(id_, device);
    }
    OSStatus createIOProcID(AudioObjectID d, AudioDeviceIOProc p, void* c, AudioDeviceIOProcID& id) override {
        return model_.createIOProcID(id_, d, p, c, id);
    }
    OSStatus destroyIOProcID(AudioObjectID d, AudioDeviceIOProcID id) override {
        return model_.destroyIOProcID(id_, d, id);
    }
    OSStatus startDevice(AudioObjectID d, AudioDeviceIOProcID id) override { return model_.startDevice(id_, d, id); }
    OSStatus stopDevice(AudioObjectID d, AudioDeviceIOProcID id) override { return model_.stopDevice(id_, d, id); }

private:
    DeviceModel& model_;
    ClientId id_;
};

DeviceModel::DeviceModel(MachineSpec machine, const platform::UptimeClock& clock) : clock_(clock) {
    std::uint32_t largestBuffer = 0;
    for (const auto& device : machine.devices) largestBuffer = std::max(largestBuffer, device.bufferFrames);
    latency_ = std::max<std::int64_t>(3 * std::int64_t(largestBuffer), 1024);
    ringFrames_ = 1;
    while (ringFrames_ < 4 * latency_ + 8192) ringFrames_ *= 2;
    for (auto& config : machine.devices) {
        auto device = std::make_unique<Device>();
        device->config = std::move(config);
        device->nominalRate = device->config.nominalRate;
        device->volumes = device->config.volumes;
        // The renderer reads the signal from here; the description keeps none.
        device->signal = std::make_shared<const Signal>(std::move(device->config.signal));
        device->config.signal = {};
        assignIds(*device);
        renewAudio(*device);
        devices_.push_back(std::move(device));
    }
    if (const Device* d = findDevice(machine.defaultOutput)) defaultOutput_ = d->id;
    if (const Device* d = findDevice(machine.defaultSystemOutput)) defaultSystemOutput_ = d->id;
    std::lock_guard lock(mutex_);
    publish();
}

DeviceModel::~DeviceModel() {
    stopClock();
    delete plan_.load(std::memory_order_relaxed);
}

std::unique_ptr<AudioHardware> DeviceModel::connect() {
    std::lock_guard lock(mutex_);
    return std::make_unique<ModelClient>(*this, nextClient_++);
}

void DeviceModel::assignIds(Device& device) {
    device.id = nextId_++;
    device.inputs.clear();
    device.outputs.clear();
    for (const auto channels : device.config.inputStreams) device.inputs.push_back({nextId_++, channels, device.config.format});
    for (const auto channels : device.config.outputStreams)
        device.outputs.push_back({nextId_++, channels, device.config.format});
}

DeviceModel::Device* DeviceModel::findDevice(AudioObjectID id) {
    for (auto& d : devices_)
        if (d->plugged && d->id == id) return d.get();
    return nullptr;
}

DeviceModel::Device* DeviceModel::findDevice(std::string_view uid) {
    for (auto& d : devices_)
        if (d->plugged && d->config.uid == uid) return d.get();
    return nullptr;
}

DeviceModel::Device* DeviceModel::visibleDevice(ClientId client, AudioObjectID id) {
    Device* device = findDevice(id);
    if (device && device->aggregate && device->isPrivate && device->owner != client) return nullptr;
    return device;
}

std::vector<AudioObjectID> DeviceModel::visibleDevices(ClientId client) {
    std::vector<AudioObjectID> ids;
    for (auto& d : devices_)
        if (visibleDevice(client, d->id) == d.get()) ids.push_back(d->id);
    return ids;
}

std::vector<DeviceModel::Device*> DeviceModel::members(const Device& device) {
    if (!device.aggregate) return {const_cast<Device*>(&device)};
    std::vector<Device*> active;
    if (!aggregateReady(device)) return active;
    for (const auto& uid : device.subDeviceUIDs)
        if (Device* sub = findDevice(uid); sub && !sub->aggregate) active.push_back(sub);
    return active;
}

bool DeviceModel::aggregateReady(const Device& device) const { return clock_.uptime() >= device.readyAt; }

std::vector<const DeviceModel::Stream*> DeviceModel::streams(const Device& device, bool input) {
    std::vector<const Stream*> result;
    for (const Device* member : members(device))
        for (const auto& s : input ? member->inputs : member->outputs) result.push_back(&s);
    return result;
}

double DeviceModel::nominalRate(const Device& device) {
    if (!device.aggregate) {
        return device.nominalRate;
    }
    const Device* clockDevice = findDevice(device.clockUID);
    if (!clockDevice) {
        const auto active = members(device);
        clockDevice = active.empty() ? nullptr : active.front();
    }
    return clockDevice ? clockDevice->nominalRate : 0.0;
}

std::uint32_t DeviceModel::bufferFrames(const Device& device) {
    if (!device.aggregate) return device.config.bufferFrames;
    if (const Device* clockDevice = findDevice(device.clockUID)) return clockDevice->config.bufferFrames;
    const auto active = members(device);
    return active.empty() ? device.config.bufferFrames : active.front()->config.bufferFrames;
}

bool DeviceModel::runningSomewhere(const Device& device) {
    if (std::any_of(device.playbacks.begin(), device.playbacks.end(), [](const auto& p) {
            return !p->released.load(std::memory_order_acquire) && !p->cancelled.load(std::memory_order_relaxed);
        }))
        return true;
    const auto running = [](const Device& d) {
        return std::any_of(d.procs.begin(), d.procs.end(), [](const IOProc& p) { return p.running; });
    };
    if (running(device)) return true;
    for (auto& d : devices_) {
        if (!d->plugged || !d->aggregate || !running(*d)) continue;
        if (std::find(d->subDeviceUIDs.begin(), d->subDeviceUIDs.end(), device.config.uid) != d->subDeviceUIDs.end())
            return true;
    }
    return false;
}

std::optional<OSStatus> DeviceModel::fault(Operation operation, AudioObjectID object,
                                           const AudioObjectPropertyAddress& address) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->operation != operation || (it->object != 0 && it->object != object) ||
            (it->selector != 0 && it->selector != address.mSelector) ||
            (it->scope != 0 && it->scope != address.mScope) ||
            (it->element != kAnyElement && it->element != address.mElement))
            continue;
        const OSStatus status = it->status;
        if (it->times > 0 && --it->times == 0) faults_.erase(it);
        return status;
    }
    return std::nullopt;
}

void DeviceModel::addFault(const Fault& fault) {
    std::lock_guard lock(mutex_);
    if (fault.times != 0) faults_.push_back(fault);
}

void DeviceModel::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

void DeviceModel::setAggregateReadyDelay(double seconds) {
    std::lock_guard lock(mutex_);
    aggregateReadyDelay_ = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
}

// The platform moves the default outputs off a device that vanishes, to the first remaining
// physical device that can play.
void DeviceModel::repairDefaults() {
    const auto fallback = [this]() -> AudioObjectID {
        for (auto& d : devices_)
            if (d->plugged && !d->aggregate && !d->config.korvane && d->outputChannels() > 0) return d->id;
        return 0;
    };
    if (!findDevice(defaultOutput_)) defaultOutput_ = fallback();
    if (!findDevice(defaultSystemOutput_)) defaultSystemOutput_ = fallback();
}

OSStatus DeviceModel::unplug(std::string_view uid) {
    std::lock_guard lock(mutex_);
    Device* device = findDevice(uid);
    if (!device || device->aggregate) return kAudioHardwareBadDeviceError;
    device->plugged = false;
    device->procs.clear();
    repairDefaults();
    publish(true);
    renewAudio(*device);  // the renderer has let go of the old audio, its playbacks and tap
    return kAudioHardwareNoError;
}

OSStatus DeviceModel::plug(std::string_view uid) {
    std::lock_guard lock(mutex_);
    for (auto& d : devices_) {
        if (d->config.uid != uid || d->aggregate) continue;
        if (d->plugged) return kAudioHardwareIllegalOperationError;
        d->plugged = true;
        assignIds(*d);
        publish();
        return kAudioHardwareNoError;
    }
    return kAudioHardwareBadDeviceError;
}

OSStatus DeviceModel::setNominalRate(std::string_view uid, double rate) {
    std::lock_guard lock(mutex_);
    Device* device = findDevice(uid);
    if (!device || device->aggregate) return kAudioHardwareBadDeviceError;
    const auto& rates = device->config.rates;
    if (!std::isfinite(rate) ||
        std::none_of(rates.begin(), rates.end(), [rate](auto r) { return r.mMinimum <= rate && rate <= r.mMaximum; }))
        return kAudioDeviceUnsupportedFormatError;
    device->nominalRate = rate;
    device->pendingRate.reset();
    publish();
    return kAudioHardwareNoError;
}

OSStatus DeviceModel::setInputSignal(std::string_view uid, Signal signal) {
    std::lock_guard lock(mutex_);
    Device* device = findDevice(uid);
    if (!device || device->aggregate || device->config.korvane || device->inputs.empty())
        return kAudioHardwareBadDeviceError;
    device->signal = std::make_shared<const Signal>(std::move(signal));
    publish();
    return kAudioHardwareNoError;
}

AudioObjectID DeviceModel::deviceId(std::string_view uid) const {
    std::lock_guard lock(mutex_);
    const Device* device = const_cast<DeviceModel*>(this)->findDevice(uid);
    return device ? device->id : 0;
}

std::optional<KorvaneTelemetry> DeviceModel::korvaneTelemetry() const {
    std::lock_guard lock(mutex_);
    const Device* device = const_cast<DeviceModel*>(this)->findDevice(kKorvaneDeviceUID);
    if (!device) return std::nullopt;
    const DeviceAudio& audio = *device->audio;
    KorvaneTelemetry telemetry;
    const auto peaks = audio.korvane.latestPeaks();
    std::copy(peaks.begin(), peaks.end(), telemetry.peaks.begin());
    telemetry.writeCounter = audio.korvane.writeCount();
    telemetry.readCounter = audio.korvaneReads.load(std::memory_order_relaxed);
    return telemetry;
}

std::vector<float> DeviceModel::takeOutputTap(std::string_view uid) { return takeOutputTap(uid, SIZE_MAX); }

std::vector<float> DeviceModel::takeOutputTap(std::string_view uid, std::size_t maxSamples) {
    std::lock_guard lock(mutex_);
    Device* device = findDevice(uid);
    if (!device || !device->tap) return {};
    return device->tap->take(maxSamples);
}

// A piece moves to the renderer through the device's ring; the renderer hands it back by
// marking it released, and the control side frees it on a later call.
std::uint64_t DeviceModel::enqueuePlayback(std::string_view uid, std::uint32_t channels, std::vector<float> samples,
                                           std::uint64_t appendTo, double rate) {
    std::lock_guard lock(mutex_);
    Device* device = findDevice(uid);
    if (!device || channels == 0 || channels > 64 || samples.size() % channels != 0 || device->outputChannels() == 0)
        return 0;
    if (rate > 0 && rate != device->nominalRate) {
        std::string error;
        auto converted = convertRate(std::move(samples), int(channels), rate, device->nominalRate, error);
        if (!converted) return 0;
        samples = std::move(*converted);
    }
    collectPlaybacks(*device);
    const bool appends = appendTo != 0 && std::any_of(device->playbacks.begin(), device->playbacks.end(), [&](const auto& p) {
        return p->id == appendTo && p->channels == channels && !p->cancelled.load(std::memory_order_relaxed);
    });
    auto piece = std::make_unique<Playback>();
    piece->id = appends ? appendTo : nextPlayback_++;
    piece->channels = channels;
    piece->samples = std::move(samples);
    Playback* queued = piece.get();
    device->playbacks.push_back(std::move(piece));
    publish();  // gives the device its tap before anything plays into it
    if (!device->audio->queued.push(queued)) {
        device->playbacks.pop_back();  // the renderer is that far behind: refused
        return 0;
    }
    wakeClock();
    return queued->id;
}

std::optional<std::uint64_t> DeviceModel::playbackRemaining(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    std::optional<std::uint64_t> remaining;
    for (const auto& d : devices_)
        for (const auto& p : d->playbacks)
            if (p->id == id && !p->released.load(std::memory_order_acquire) && !p->cancelled.load(std::memory_order_relaxed))
                remaining = remaining.value_or(0) + (p->frames() - std::min(p->frames(), p->frame.load(std::memory_order_relaxed)));
    return remaining;
}

void DeviceModel::cancelPlayback(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    for (auto& d : devices_) {
        collectPlaybacks(*d);
        for (auto& p : d->playbacks)
            if (p->id == id) p->cancelled.store(true, std::memory_order_relaxed);
    }
}

DeviceModel::PersistentState DeviceModel::persistentState() const {
    std::lock_guard lock(mutex_);
    PersistentState state;
    auto* self = const_cast<DeviceModel*>(this);
    if (const Device* d = self->findDevice(defaultOutput_)) state.defaultOutput = d->config.uid;
    if (const Device* d = self->findDevice(defaultSystemOutput_)) state.defaultSystemOutput = d->config.uid;
    for (const auto& d : devices_) {
        if (!d->volumes.empty())
            for (const auto& v : d->volumes) state.volumes[d->config.uid][v.element] = v.value;
        if (d->aggregate && !d->isPrivate && d->plugged) state.publicAggregates.push_back(d->description);
    }
    return state;
}

void DeviceModel::restore(const PersistentState& state, AudioHardware& owner) {
    for (const auto& description : state.publicAggregates) {
        AudioObjectID ignored = 0;
        owner.createAggregateDevice(description, ignored);
    }
    std::lock_guard lock(mutex_);
    for (const auto& [uid, elements] : state.volumes)
        if (Device* d = findDevice(uid))
            for (auto& control : d->volumes)
                if (const auto it = elements.find(control.element); it != elements.end() && std::isfinite(it->second))
                    control.value = std::clamp(it->second, 0.0f, 1.0f);
    const auto output = [this](const std::string& uid) -> AudioObjectID {
        const Device* d = findDevice(uid);
        return d && streams(*d, false).size() > 0 ? d->id : 0;
    };
    if (const auto id = output(state.defaultOutput)) defaultOutput_ = id;
    if (const auto id = output(state.defaultSystemOutput)) defaultSystemOutput_ = id;
}

std::size_t DeviceModel::ioProcCount() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& d : devices_) count += d->procs.size();
    return count;
}

std::size_t DeviceModel::aggregateCount() const {
    std::lock_guard lock(mutex_);
    return std::size_t(std::count_if(devices_.begin(), devices_.end(), [](const auto& d) { return d->aggregate; }));
}

OSStatus DeviceModel::createAggregateDevice(ClientId client, const PropertyList& description, AudioObjectID& out) {
    std::lock_guard lock(mutex_);
    out = 0;
    if (const auto status = fault(Operation::CreateAggregate, 0, {})) return *status;
    const std::string* uid = description.find("uid") ? description.find("uid")->string() : nullptr;
    const std::string* name = description.find("name") ? description.find("name")->string() : nullptr;
    const PropertyList* subdevices = description.find("subdevices");
    if (!uid || uid->empty() || !name || !subdevices || !subdevices->array() || subdevices->array()->empty())
        return kAudioHardwareIllegalOperationError;
    if (std::any_of(devices_.begin(), devices_.end(), [&](const auto& d) { return d->config.uid == *uid; }))
        return kAudioHardwareIllegalOperationError;

    auto device = std::make_unique<Device>();
    for (const auto& entry : *subdevices->array()) {
        const PropertyList* subUID = entry.find("uid");
        if (!subUID || !subUID->string()) return kAudioHardwareIllegalOperationError;
        const Device* sub = findDevice(*subUID->string());
        if (!sub || sub->aggregate || visibleDevice(client, sub->id) != sub) return kAudioHardwareBadDeviceError;
        if (std::find(device->subDeviceUIDs.begin(), device->subDeviceUIDs.end(), *subUID->string()) ==
            device->subDeviceUIDs.end())
            device->subDeviceUIDs.push_back(*subUID->string());
    }
    const PropertyList* master = description.find("master");
    device->clockUID = master && master->string() ? *master->string() : device->subDeviceUIDs.front();
    if (std::find(device->subDeviceUIDs.begin(), device->subDeviceUIDs.end(), device->clockUID) ==
        device->subDeviceUIDs.end())
        return kAudioHardwareIllegalOperationError;

    const PropertyList* isPrivate = description.find("private");
    device->aggregate = true;
    device->isPrivate = isPrivate && isPrivate->integer().value_or(0) != 0;
    device->owner = client;
    device->config.uid = *uid;
    device->config.name = *name;
    device->config.transport = kAudioDeviceTransportTypeAggregate;
    device->readyAt = clock_.uptime() + aggregateReadyDelay_;
    if (!device->isPrivate) device->description = description;
    device->id = nextId_++;
    renewAudio(*device);
    out = device->id;
    devices_.push_back(std::move(device));
    return kAudioHardwareNoError;
}

void DeviceModel::destroyDevice(AudioObjectID id) {
    std::erase_if(devices_, [id](const auto& d) { return d->aggregate && d->id == id; });
    repairDefaults();
    publish(true);
}

OSStatus DeviceModel::destroyAggregateDevice(ClientId client, AudioObjectID id) {
    std::lock_guard lock(mutex_);
    if (const auto status = fault(Operation::DestroyAggregate, id, {})) return *status;
    const Device* device = visibleDevice(client, id);
    if (!device || !device->aggregate) return kAudioHardwareBadDeviceError;
    destroyDevice(id);
    return kAudioHardwareNoError;
}

OSStatus DeviceModel::createIOProcID(ClientId client, AudioObjectID id, AudioDeviceIOProc proc, void* clientData,
                                     AudioDeviceIOProcID& out) {
    std::lock_guard lock(mutex_);
    out = nullptr;
    if (const auto status = fault(Operation::CreateIOProc, id, {})) return *status;
    Device* device = visibleDevice(client, id);
    if (!device) return kAudioHardwareBadDeviceError;
    if (!proc) return kAudioHardwareIllegalOperationError;
    const std::uint64_t handle = nextProc_++;
    device->procs.push_back({handle, client, proc, clientData, false});
    out = reinterpret_cast<AudioDeviceIOProcID>(handle);
    return kAudioHardwareNoError;
}

namespace {
template <class Procs>
auto findProc(Procs& procs, ClientId client, AudioDeviceIOProcID id) {
    const auto handle = reinterpret_cast<std::uintptr_t>(id);
    return std::find_if(procs.begin(), procs.end(),
                        [&](const auto& p) { return p.handle == handle && p.client == client; });
}
}  // namespace

OSStatus DeviceModel::destroyIOProcID(ClientId client, AudioObjectID id, AudioDeviceIOProcID procID) {
    std::lock_guard lock(mutex_);
    Device* device = visibleDevice(client, id);
    if (!device) return kAudioHardwareBadDeviceError;
    const auto it = findProc(device->procs, client, procID);
    if (it == device->procs.end()) return kAudioHardwareIllegalOperationError;
    const bool wasRunning = it->running;
    device->procs.erase(it);
    if (wasRunning) publish(true);  // its context may be freed once this returns
    return kAudioHardwareNoError;
}

OSStatus DeviceModel::startDevice(ClientId client, AudioObjectID id, AudioDeviceIOProcID procID) {
    std::lock_guard lock(mutex_);
    if (const auto status = fault(Operation::Start, id, {})) return *status;
    Device* device = visibleDevice(client, id);
    if (!device) return kAudioHardwareBadDeviceError;
    const auto it = findProc(device->procs, client, procID);
    if (it == device->procs.end()) return kAudioHardwareIllegalOperationError;
    if (!it->running) {
        it->running = true;
        publish();
    }
    return kAudioHardwareNoError;
}

// Stopping waits until the clock thread has adopted a plan without the callback, which it does
// between cycles, so no callback of this proc runs once stopDevice has returned.
OSStatus DeviceModel::stopDevice(ClientId client, AudioObjectID id, AudioDeviceIOProcID procID) {
    std::lock_guard lock(mutex_);
    Device* device = visibleDevice(client, id);
    if (!device) return kAudioHardwareBadDeviceError;
    const auto it = findProc(device->procs, client, procID);
    if (it == device->procs.end()) return kAudioHardwareIllegalOperationError;
    if (it->running) {
        it->running = false;
        publish(true);
    }
    return kAudioHardwareNoError;
}

void DeviceModel::disconnect(ClientId client) {
    std::lock_guard lock(mutex_);
    for (auto& d : devices_) std::erase_if(d->procs, [client](const IOProc& p) { return p.client == client; });
    std::erase_if(devices_, [client](const auto& d) { return d->aggregate && d->isPrivate && d->owner == client; });
    repairDefaults();
    publish(true);
}

}  // namespace audiosim
