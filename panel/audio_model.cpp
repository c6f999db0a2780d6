#include "panel/audio_model.h"

#include "panel/model_support.h"
#include "platform/audio_hardware.h"
#include "shared/audio_device_inventory.h"
#include "shared/routing_files.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace korvane::panel {

using namespace platform::audio;
using support::findByUID;

namespace {

// Stored device choices longer than this are not device UIDs; they are ignored.
constexpr std::size_t kMaximumStoredUIDBytes = 4096;

std::optional<std::string> storedUID(const platform::DefaultsStore& defaults, std::string_view key) {
    auto value = defaults.stringValue(key);
    if (value && value->size() > kMaximumStoredUIDBytes) return std::nullopt;
    return value;
}

}  // namespace

// Observers by subscription id. An entry removed while observers are being called is only
// emptied, and erased once the outermost notification ends.
struct Subscription::Registry {
    struct Entry {
        std::uint64_t id;
        std::shared_ptr<AudioModel::Observer> observer;
    };
    std::vector<Entry> entries;
    std::uint64_t nextId = 1;
    int notifying = 0;

    void remove(std::uint64_t id) {
        const auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.id == id; });
        if (it == entries.end()) return;
        if (notifying > 0)
            it->observer.reset();
        else
            entries.erase(it);
    }
};

Subscription::Subscription(Subscription&& other) noexcept
    : registry_(std::move(other.registry_)), id_(std::exchange(other.id_, 0)) {}

Subscription& Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        reset();
        registry_ = std::move(other.registry_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

void Subscription::reset() {
    if (const auto registry = registry_.lock()) registry->remove(id_);
    registry_.reset();
    id_ = 0;
}

AudioModel::AudioModel(AudioModelEnvironment environment)
    : environment_(environment),
      observers_(std::make_shared<Subscription::Registry>()),
      lastReadAt_(-std::numeric_limits<double>::infinity()) {}

AudioModel::~AudioModel() {
    if (timer_) timer_->cancel();
}

std::shared_ptr<AudioModel> AudioModel::create(AudioModelEnvironment environment) {
    std::shared_ptr<AudioModel> model(new AudioModel(environment));
    model->construct();
    return model;
}

void AudioModel::construct() {
    auto& defaults = environment_.defaults;
    rememberDevices_ = defaults.boolValue(preference::kRememberDevices).value_or(true);
    automaticallyMatchSampleRate_ = defaults.boolValue(preference::kAutomaticallyMatchSampleRate).value_or(true);
    testSound_ = TestTonePlayer::create(environment_.queues, environment_.mainThread);

    if (const auto request = RoutingFiles::readChoice()) {
        appliedRevision_ = request->revision;
        appliedInput_ = request->inputUID;
        appliedOutput_ = request->outputUID;
        appliedAutomaticRate_ = request->automaticallyMatchSampleRate.value_or(true);
        if (rememberDevices_) {
            setSelectedInput(request->inputUID);
            setSelectedOutput(request->outputUID);
        }
    }

    if (rememberDevices_) {
        if (auto input = storedUID(defaults, preference::kPreferredInput)) setSelectedInput(std::move(*input));
        if (auto output = storedUID(defaults, preference::kPreferredOutput)) setSelectedOutput(std::move(*output));
        setListeningUID(storedUID(defaults, preference::kPreferredListening).value_or(std::string()));
    }

    if (const auto data = defaults.dataValue(preference::kListeningMuteMemory)) {
        if (auto memory = decodeMuteMemory(*data)) {
            std::erase_if(*memory, [](const auto& entry) { return !entry.second.isRestorable(); });
            write(muteMemory_, std::move(*memory), Property::muteMemory);
        }
    }

    refresh();

    if (selectedOutput_.empty()) chooseFirstOutput();
    if (listeningUID_.empty() && selectedOutput_ != kDAWOnlyOutputUID) setListeningUID(selectedOutput_);

    loadingPreferences_ = false;
    savePreferences();
    refreshListening();
    setGain(0);

    timer_ = environment_.mainThread.scheduleRepeating(kRefreshInterval, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->refresh();
    });
    launchRoutingPending_ = true;
}

// The system's default output when it is a physical stereo output, else the built-in one, else
// the first such device.
void AudioModel::chooseFirstOutput() {
    const AudioObjectID defaultOutput = support::defaultOutputDevice().value_or(0);
    std::vector<const AudioEndpoint*> candidates;
    for (const auto& endpoint : endpoints_)
        if (!endpoint.isKorvane() && endpoint.isPhysical() && endpoint.outputChannels >= 2) candidates.push_back(&endpoint);
    const auto pick = [&](auto predicate) -> const AudioEndpoint* {
        const auto it = std::find_if(candidates.begin(), candidates.end(), [&](const AudioEndpoint* e) { return predicate(*e); });
        return it == candidates.end() ? nullptr : *it;
    };
    const AudioEndpoint* chosen = pick([&](const AudioEndpoint& e) { return e.id == defaultOutput; });
    if (!chosen) chosen = pick([](const AudioEndpoint& e) { return e.transport == kAudioDeviceTransportTypeBuiltIn; });
    if (!chosen && !candidates.empty()) chosen = candidates.front();
    setSelectedOutput(chosen ? chosen->uid : std::string());
}

Subscription AudioModel::observe(Observer observer) {
    const std::uint64_t id = observers_->nextId++;
    observers_->entries.push_back({id, std::make_shared<Observer>(std::move(observer))});
    return Subscription(observers_, id);
}

void AudioModel::notify(Property property) {
    // Kept alive for the call even if an observer ends every subscription.
    const auto registry = observers_;
    ++registry->notifying;
    const std::size_t count = registry->entries.size();
    for (std::size_t i = 0; i < count && i < registry->entries.size(); ++i) {
        const auto observer = registry->entries[i].observer;
        if (observer) (*observer)(property);
    }
    if (--registry->notifying == 0)
        std::erase_if(registry->entries, [](const Subscription::Registry::Entry& e) { return !e.observer; });
}

void AudioModel::setMeter(std::size_t channel, double value) {
    meters_[channel] = value;
    notify(Property::meters);
}

void AudioModel::setSelectedInput(std::string uid) {
    write(selectedInput_, std::move(uid), Property::selectedInput);
    savePreferences();
}

void AudioModel::setSelectedOutput(std::string uid) {
    write(selectedOutput_, std::move(uid), Property::selectedOutput);
    savePreferences();
}

void AudioModel::setListeningUID(std::string uid) {
    write(listeningUID_, std::move(uid), Property::listeningUID);
    savePreferences();
}

void AudioModel::setRememberDevices(bool remember) {
    write(rememberDevices_, remember, Property::rememberDevices);
    environment_.defaults.setBool(preference::kRememberDevices, remember);
    savePreferences();
}

void AudioModel::setAutomaticallyMatchSampleRate(bool match) {
    write(automaticallyMatchSampleRate_, match, Property::automaticallyMatchSampleRate);
    environment_.defaults.setBool(preference::kAutomaticallyMatchSampleRate, match);
}

void AudioModel::savePreferences() {
    if (loadingPreferences_) return;
    auto& defaults = environment_.defaults;
    const std::pair<std::string_view, const std::string*> choices[] = {
        {preference::kPreferredInput, &selectedInput_},
        {preference::kPreferredOutput, &selectedOutput_},
        {preference::kPreferredListening, &listeningUID_},
    };
    for (const auto& [key, value] : choices) {
        if (rememberDevices_)
            defaults.setString(key, *value);
        else
            defaults.remove(key);
    }
}

std::vector<AudioEndpoint> AudioModel::listeningOutputs() const {
    std::vector<AudioEndpoint> outputs;
    for (const auto& endpoint : endpoints_)
        if (AudioDeviceInventory::isUsableOutput(endpoint, endpoints_, 0)) outputs.push_back(endpoint);
    return outputs;
}

void AudioModel::refresh() {
    ++discoveryTick_;
    if (discoveryTick_ % kDiscoveryEvery == 1) discoverDevices();
    if (discoveryTick_ % kReportPollEvery == 1) pollReport();
    trackDriverDevice();
    if (launchRoutingPending_) automaticStart();
    readTelemetry();
}

void AudioModel::forceRefresh() {
    discoveryTick_ = 0;
    refresh();
}

void AudioModel::discoverDevices() {
    auto listed = AudioDeviceInventory::enumerate();
    if (!listed) {
        setError("Could not refresh audio devices.");
    } else {
        std::vector<AudioEndpoint> endpoints = std::move(listed).value();
        std::erase_if(endpoints, [](const AudioEndpoint& e) {
            return support::startsWith(e.uid, AudioDeviceInventory::kRouteAggregatePrefix);
        });
        write(endpoints_, std::move(endpoints), Property::endpoints);
    }
    refreshListening();
}

void AudioModel::trackDriverDevice() {
    const AudioEndpoint* driver = findByUID(endpoints_, driver::kDeviceUID);
    const AudioObjectID found = driver ? driver->id : 0;
    if (found == device_) return;
    write(device_, found, Property::device);
    statusSeen_ = false;
    lastWrite_ = -1;
    lastRead_ = -1;
    lastReadAt_ = -std::numeric_limits<double>::infinity();
    write(meters_, std::array<double, 4>{}, Property::meters);
    write(peakDisplay_, StereoPeakDisplay{}, Property::peakDisplay);
}

}  // namespace korvane::panel
