#include "router/router_delegate.h"

#include "platform/audio_hardware.h"
#include "platform/wording.h"
#include "shared/audio_device_inventory.h"
#include "shared/audio_sample_rate_control.h"
#include "shared/routing_files.h"

#include <algorithm>
#include <cmath>

namespace korvane::router {

using namespace platform::audio;

namespace {

constexpr AudioObjectPropertyAddress kDefaultOutput{kAudioHardwarePropertyDefaultOutputDevice,
                                                    kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};

constexpr const char* kRoutingStopped = "Routing stopped";
constexpr const char* kSystemPlaybackConnected = "System playback connected · stereo 1–2";

// Nothing when the read fails; its status is of no use here.
std::optional<AudioObjectID> defaultOutput() {
    AudioObjectID device = 0;
    if (getProperty(kAudioObjectSystemObject, kDefaultOutput, device) != kAudioHardwareNoError) return std::nullopt;
    return device;
}

bool setDefaultOutput(AudioObjectID device) {
    return setProperty(kAudioObjectSystemObject, kDefaultOutput, device) == kAudioHardwareNoError;
}

bool namesNoListeningOutput(const std::string& outputUID) { return outputUID.empty() || outputUID == kDAWOnlyOutputUID; }

bool matchesRates(const RoutingChoice& choice) { return choice.automaticallyMatchSampleRate.value_or(true); }

std::vector<AudioEndpoint> inventoryOrEmpty() {
    auto endpoints = AudioDeviceInventory::enumerate();
    return endpoints ? std::move(endpoints).value() : std::vector<AudioEndpoint>{};
}

const AudioEndpoint* findByUID(const std::vector<AudioEndpoint>& endpoints, const std::string& uid) {
    const auto it = std::find_if(endpoints.begin(), endpoints.end(), [&](const AudioEndpoint& e) { return e.uid == uid; });
    return it == endpoints.end() ? nullptr : &*it;
}

// Where the computer's playback goes when it must leave KORVANE and nothing better is known: the
// route's listening output (by UID, so that an id from an earlier listing cannot mislead), else
// the first physical device with more than one output channel.
const AudioEndpoint* physicalFallback(const std::vector<AudioEndpoint>& endpoints, const std::string& listeningUID) {
    if (const AudioEndpoint* listening = listeningUID.empty() ? nullptr : findByUID(endpoints, listeningUID))
        return listening;
    const auto it = std::find_if(endpoints.begin(), endpoints.end(),
                                 [](const AudioEndpoint& e) { return e.isPhysical() && e.outputChannels > 1; });
    return it == endpoints.end() ? nullptr : &*it;
}

}  // namespace

RouterDelegate::RouterDelegate(RouterEnvironment environment) : environment_(std::move(environment)) {}

RouterDelegate::~RouterDelegate() {
    if (route_) RavlinRouteStop(route_);
}

void RouterDelegate::applicationDidFinishLaunching() {
    pollChoice();
    if (timerScheduled_) return;
    timerScheduled_ = true;
    environment_.mainThread.scheduleRepeating(kPollInterval, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->pollChoice();
    });
}

void RouterDelegate::applicationWillTerminate() {
    stopRoute();
    writeReport();
}

void RouterDelegate::setPhase(std::string_view phase, std::string detail) {
    phase_ = std::string(phase);
    detail_ = std::move(detail);
}

void RouterDelegate::fail(const std::string& detail) {
    stopRoute();
    setPhase(phase::kError, detail);
}

void RouterDelegate::writeReport() {
    RoutingReport report;
    report.revision = revision_;
    report.phase = phase_;
    report.detail = detail_;
    report.updated = environment_.wallClock.secondsSinceReferenceDate();
    report.cycles = route_ ? RavlinRouteCycles(route_) : 0;
    (void)RoutingFiles::write(report, RoutingFiles::kReportFileName);  // a report that cannot be written is dropped
}

void RouterDelegate::pollChoice() {
    if (!route_) restoreDefaultOutput();  // one that could not be put back when the route stopped
    const auto choice = RoutingFiles::readChoice();
    if (!choice) return;

    if (choice->revision != revision_) {
        stopRoute();
        revision_ = choice->revision;
        if (!choice->enabled) {
            writeReport();
            return;
        }
        setPhase(phase::kStarting, "Connecting devices…");
        writeReport();
        beginStart(*choice);
        writeReport();
        return;
    }
    if (!route_) {
        writeReport();
        return;
    }

    const auto fresh = inventoryOrEmpty();
    for (const auto& endpoint : endpoints_) {
        const auto it = std::find_if(fresh.begin(), fresh.end(), [&](const AudioEndpoint& e) { return e.id == endpoint.id; });
        if (it == fresh.end() || it->uid != endpoint.uid) {
            fail("An audio device changed or disconnected. Choose devices and Apply again.");
            writeReport();
            return;
        }
    }
    if (matchesRates(*choice)) {
        const AudioEndpoint* reference = findByUID(endpoints_, choice->outputUID);
        if (!reference) reference = findByUID(endpoints_, choice->inputUID);
        const AudioEndpoint* now = reference ? findByUID(fresh, reference->uid) : nullptr;
        if (now && std::fabs(now->nominalRate - reference->nominalRate) > AudioSampleRateControl::kTolerance) {
            stopRoute();
            setPhase(phase::kStarting, "Matching the device’s new sample rate…");
            writeReport();
            applyChoice(*choice);
            writeReport();
            return;
        }
    }
    if (systemPlayback_)
        watchSystemPlayback(*choice, fresh);
    else
        watchHardwareSource();
    writeReport();
}

void RouterDelegate::watchSystemPlayback(const RoutingChoice& choice, const std::vector<AudioEndpoint>& fresh) {
    const AudioObjectID playback = RavlinRoutePlaybackDevice(route_);
    if (std::none_of(fresh.begin(), fresh.end(), [&](const AudioEndpoint& e) { return e.id == playback; })) {
        fail("The listening route disappeared. Apply to reconnect.");
        return;
    }
    if (!namesNoListeningOutput(choice.outputUID) &&
        watchdog_.isStalled(RavlinRouteCycles(route_), environment_.uptime.uptime())) {
        fail("Listening audio stopped. Reconnect your output and try again.");
        return;
    }
    if (defaultOutput() != std::optional(playback)) {
        fail(std::string(platform::wording().defaultOutputChanged));
        return;
    }
    setPhase(phase::kRunning, kSystemPlaybackConnected);
}

void RouterDelegate::watchHardwareSource() {
    const std::uint64_t cycles = RavlinRouteCycles(route_);
    if (watchdog_.isStalled(cycles, environment_.uptime.uptime())) {
        fail("Audio callbacks stopped. Check devices and Apply again.");
        return;
    }
    if (cycles == 0) return;
    // Taking the peak resets it, so each tick sees the peak of the last half second.
    const float peak = RavlinRouteMonitorPeak(route_);
    const std::string name = endpoints_.empty() ? "output" : endpoints_.back().name;
    setPhase(phase::kRunning, peak > 0 ? "Sending L/R audio to " + name : "Connected to " + name + " · waiting for sound");
}

void RouterDelegate::beginStart(const RoutingChoice& choice) {
    if (choice.inputUID != kSystemPlaybackInputUID) {
        switch (environment_.capturePermission.status()) {
        case CaptureAuthorization::NotDetermined:
            setPhase(phase::kPermission, std::string(platform::wording().microphonePermissionAsked));
            environment_.capturePermission.requestAccess([weak = weak_from_this(), choice,
                                                          &mainThread = environment_.mainThread](bool granted) {
                // Another thread: hop to the main thread before touching the delegate.
                mainThread.post([weak, choice, granted] {
                    const auto self = weak.lock();
                    if (!self || self->revision_ != choice.revision) return;  // a newer request won
                    if (granted)
                        self->applyChoice(choice);
                    else
                        self->setPhase(phase::kError, std::string(platform::wording().microphonePermissionRefused));
                    self->writeReport();
                });
            });
            return;
        case CaptureAuthorization::Restricted:
        case CaptureAuthorization::Denied:
            setPhase(phase::kError, std::string(platform::wording().microphonePermissionOff));
            return;
        case CaptureAuthorization::Authorized:
            break;
        case CaptureAuthorization::Unavailable:
            fail("Could not read audio devices.");  // the audio system did not answer: no refusal
            return;
        }
    }
    applyChoice(choice);
}

void RouterDelegate::applyChoice(const RoutingChoice& choice) {
    if (route_ || !choice.enabled || choice.revision != revision_) return;
    if (RoutingFiles::readChoice() != choice) return;  // a newer request wins
    if (const auto failure = startRoute(choice)) fail(failure->message);
}

std::optional<RouteFailure> RouterDelegate::startRoute(const RoutingChoice& choice) {
    auto listed = AudioDeviceInventory::enumerate();
    if (!listed) return RouteFailure{"Could not read audio devices."};
    const auto& endpoints = *listed;

    const auto korvane = std::find_if(endpoints.begin(), endpoints.end(), [](const AudioEndpoint& e) { return e.isKorvane(); });
    if (korvane == endpoints.end()) return RouteFailure{std::string(platform::wording().driverUnavailable)};
    const auto source = std::find_if(endpoints.begin(), endpoints.end(), [&](const AudioEndpoint& e) {
        return e.uid == choice.inputUID && e.isPhysical() && e.inputChannels >= 1;
    });
    const auto listening = std::find_if(endpoints.begin(), endpoints.end(), [&](const AudioEndpoint& e) {
        return e.uid == choice.outputUID && AudioDeviceInventory::isUsableOutput(e, endpoints, 0);
    });
    const bool hasSource = source != endpoints.end();
    const bool hasListening = listening != endpoints.end();
    const bool systemSource = choice.inputUID == kSystemPlaybackInputUID;
    if (!systemSource && !hasSource)
        return RouteFailure{"Selected input is unavailable. Reconnect it or choose another input."};
    if (!namesNoListeningOutput(choice.outputUID) && !hasListening)
        return RouteFailure{"Selected output is unavailable. Reconnect it or choose another output."};

    if (matchesRates(choice)) {
        const AudioEndpoint* reference = hasListening ? &*listening : hasSource ? &*source : nullptr;
        if (reference) {
            const auto matched = AudioSampleRateControl::match(*korvane, *reference, environment_.pause);
            if (!matched) return RouteFailure{matched.error().message};
        }
    }

    const std::string listeningUID = hasListening ? listening->uid : std::string();
    if (!systemSource && defaultOutput() == std::optional(korvane->id)) {
        const AudioEndpoint* pick = physicalFallback(endpoints, listeningUID);
        if (!pick) return RouteFailure{std::string(platform::wording().chooseNormalOutput)};
        previousOutput_ = outputToRestore(korvane->id, korvane->id);
        assignedOutput_ = pick->id;
        fallbackUID_ = listeningUID;
        if (!setDefaultOutput(pick->id)) return RouteFailure{"Could not move system playback away from KORVANE."};
    }

    char message[512] = {};
    route_ = RavlinRouteStart(hasSource ? source->id : 0, hasListening ? listening->id : 0, message, sizeof message);
    if (!route_) return RouteFailure{message};

    systemPlayback_ = systemSource;
    if (systemPlayback_) {
        const AudioObjectID playback = RavlinRoutePlaybackDevice(route_);
        const auto current = defaultOutput();
        // Playback already on KORVANE was left there by a helper that died (or by a restoration
        // that failed): putting "back" KORVANE would leave the computer silent, so the physical
        // fallback is what returns when the route stops.
        const AudioEndpoint* fallback = physicalFallback(endpoints, listeningUID);
        const std::optional<AudioObjectID> previous =
            current && *current != playback ? std::optional(*current)
                                            : outputToRestore(playback, fallback ? std::optional(fallback->id) : std::nullopt);
        previousOutput_ = previous;
        assignedOutput_ = previous ? std::optional(playback) : std::nullopt;
        fallbackUID_ = listeningUID;
        if (current != std::optional(playback) && !setDefaultOutput(playback))
            return RouteFailure{std::string(platform::wording().couldNotSelectKorvaneOutput)};
    }

    endpoints_ = {*korvane};
    if (hasSource) endpoints_.push_back(*source);
    if (hasListening) endpoints_.push_back(*listening);
    if (systemPlayback_)
        setPhase(phase::kRunning, kSystemPlaybackConnected);
    else
        setPhase(phase::kStarting, std::string("Connected · waiting for audio callbacks") +
                                       (source->inputChannels == 1 ? " · mono input sent to L and R" : ""));
    return std::nullopt;
}

std::optional<AudioObjectID> RouterDelegate::outputToRestore(AudioObjectID current,
                                                              std::optional<AudioObjectID> otherwise) const {
    if (previousOutput_ && assignedOutput_ && *assignedOutput_ == current) return previousOutput_;
    return otherwise;
}

void RouterDelegate::restoreDefaultOutput() {
    if (!previousOutput_ || !assignedOutput_) return;
    const auto current = defaultOutput();
    if (!current) return;  // the audio system does not answer: owed until it does
    if (*current != *assignedOutput_ || setDefaultOutput(*previousOutput_)) {  // the user's own choice stays
        forgetDefaultOutput();
        return;
    }
    // The previous output is gone. Playback that stayed on KORVANE would be heard by nobody.
    const auto fresh = inventoryOrEmpty();
    const AudioEndpoint* now = nullptr;
    for (const auto& endpoint : fresh)
        if (endpoint.id == *current) now = &endpoint;
    if (!now || !now->isKorvane()) {
        forgetDefaultOutput();  // a physical device plays: nothing is lost by leaving it
        return;
    }
    if (const AudioEndpoint* fallback = physicalFallback(fresh, fallbackUID_); fallback && setDefaultOutput(fallback->id))
        forgetDefaultOutput();
}

void RouterDelegate::forgetDefaultOutput() {
    previousOutput_.reset();
    assignedOutput_.reset();
    fallbackUID_.clear();
}

void RouterDelegate::stopRoute() {
    restoreDefaultOutput();
    if (route_) {
        RavlinRouteStop(route_);
        route_ = nullptr;
    }
    systemPlayback_ = false;
    endpoints_.clear();
    watchdog_.reset();
    setPhase(phase::kStopped, kRoutingStopped);
}

}  // namespace korvane::router
