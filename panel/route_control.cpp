// Route control: the requests the panel writes for the routing helper, launching the helper from
// the panel's bundle, the automatic start, the quit preparation and the report poll.
#include "panel/audio_model.h"

#include "panel/model_support.h"
#include "shared/audio_device_inventory.h"
#include "shared/routing_files.h"
#include "shared/routing_health.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace korvane::panel {

using support::findByUID;

namespace {

constexpr std::string_view kRoutingHelperNotResponding = "Routing helper is not responding. Press Start audio to reconnect.";
constexpr std::string_view kCouldNotSaveOrStart = "Could not save or start routing: ";

std::filesystem::path resolved(const std::filesystem::path& path) {
    std::error_code error;
    auto canonical = std::filesystem::weakly_canonical(path, error);
    return error ? path : canonical;
}

// Holds the model for a completion that the platform calls on another thread. The model is only
// ever used, and only ever released, on the main thread: the completion can do nothing with it but
// hand it over, and a completion dropped without being called hands it back all the same.
class MainThreadHold {
public:
    MainThreadHold(std::shared_ptr<AudioModel> model, platform::MainThread& mainThread)
        : model_(std::move(model)), mainThread_(mainThread) {}
    ~MainThreadHold() {
        if (model_) mainThread_.post([model = std::move(model_)] {});
    }
    MainThreadHold(const MainThreadHold&) = delete;
    MainThreadHold& operator=(const MainThreadHold&) = delete;

    // Any thread, at most once.
    void post(std::function<void(AudioModel&)> task) {
        if (!model_) return;
        mainThread_.post([model = std::move(model_), task = std::move(task)] { task(*model); });
    }

private:
    std::shared_ptr<AudioModel> model_;
    platform::MainThread& mainThread_;
};

}  // namespace

std::filesystem::path AudioModel::helperLocation() const {
    const auto bundle = environment_.applications.mainBundleLocation();
    // Outside a bundle there is no helper to find; an empty path exists nowhere.
    return bundle ? *bundle / kHelperBundlePath : std::filesystem::path();
}

void AudioModel::applyRouting(bool enabled) {
    if (isQuitting_ && enabled) return;
    launchRoutingPending_ = false;
    if (enabled) setGain(0);

    if (enabled) {
        if (device_ == 0) {
            setError("The KORVANE driver is unavailable. Open DAW setup for help.");
            return;
        }
        if (selectedOutput_.empty()) {
            setError("Choose speakers, headphones, or an audio interface to hear the sound.");
            return;
        }
    }

    const std::filesystem::path helper = helperLocation();
    const auto running = environment_.applications.runningApplications(kHelperBundleIdentifier);
    const std::filesystem::path expected = resolved(helper);
    const bool otherVersion = std::any_of(running.begin(), running.end(), [&](const auto& application) {
        const auto location = application->bundleLocation();
        return !location || helper.empty() || resolved(*location) != expected;
    });
    if (otherVersion) {
        setError("Another KORVANE version’s routing helper is running. Quit that version and its helper, then try again.");
        return;
    }

    RoutingChoice choice;
    choice.inputUID = selectedInput_;
    choice.outputUID = selectedOutput_;
    choice.enabled = enabled;
    choice.automaticallyMatchSampleRate = automaticallyMatchSampleRate_;
    if (const std::error_code failure = RoutingFiles::write(choice, RoutingFiles::kChoiceFileName)) {
        setError(std::string(kCouldNotSaveOrStart) + failure.message());
        return;
    }

    requestWritten_ = true;
    appliedRevision_ = choice.revision;
    appliedInput_ = choice.inputUID;
    appliedOutput_ = choice.outputUID;
    appliedAutomaticRate_ = choice.automaticallyMatchSampleRate.value_or(true);
    write(routingPhase_, std::string(phase::kStarting), Property::routingPhase);
    write(routingDetail_, std::string(enabled ? "Starting routing…" : "Stopping routing…"), Property::routingDetail);
    requestStartedAt_ = environment_.uptime.uptime();

    if (running.empty()) {
        std::error_code missing;
        if (helper.empty() || !std::filesystem::exists(helper, missing)) {
            setError(std::string(kCouldNotSaveOrStart) + std::generic_category().message(ENOENT));
            return;
        }
        launchHelper(choice.revision);
    }
    setError("");
}

void AudioModel::launchHelper(const std::string& revision) {
    auto hold = std::make_shared<MainThreadHold>(shared_from_this(), environment_.mainThread);
    environment_.applications.openApplication(helperLocation(), [hold, revision](std::optional<std::string> error) {
        // Another thread: hand over to the main thread and touch nothing here.
        hold->post([revision, error = std::move(error)](AudioModel& model) {
            if (error) model.launchFailed(revision, *error);
        });
    });
}

void AudioModel::launchFailed(const std::string& revision, const std::string& description) {
    if (appliedRevision_ != revision) return;  // a newer request has been written since
    write(routingPhase_, std::string(phase::kError), Property::routingPhase);
    requestStartedAt_.reset();
    setError("Could not start routing: " + description);
}

void AudioModel::pollReport() {
    const auto report = RoutingFiles::readReport();
    if (report && RoutingHealth::isCurrent(*report, appliedRevision_, environment_.wallClock.secondsSinceReferenceDate())) {
        write(routingPhase_, report->phase, Property::routingPhase);
        write(routingDetail_, report->detail, Property::routingDetail);
        requestStartedAt_.reset();
        return;
    }
    if (appliedRevision_.empty()) return;
    // Until this run has asked a helper for anything, a report that is not current is one an
    // earlier run's helper left when it went: the route is stopped, and nobody is unavailable.
    if (!requestWritten_) {
        if (routingPhase_ != phase::kStopped) {
            write(routingPhase_, std::string(phase::kStopped), Property::routingPhase);
            write(routingDetail_, std::string(kInitialRoutingDetail), Property::routingDetail);
        }
        return;
    }
    if (RoutingHealth::isWithinGrace(requestStartedAt_, environment_.uptime.uptime())) return;
    write(routingPhase_, std::string(phase::kUnavailable), Property::routingPhase);
    write(routingDetail_, std::string(kRoutingHelperNotResponding), Property::routingDetail);
}

void AudioModel::automaticStart() {
    if (selectedOutput_.empty()) {
        const auto outputs = listeningOutputs();
        const auto builtIn = std::find_if(outputs.begin(), outputs.end(), [](const AudioEndpoint& e) {
            return e.transport == platform::audio::kAudioDeviceTransportTypeBuiltIn;
        });
        const AudioEndpoint* chosen = builtIn != outputs.end() ? &*builtIn : outputs.empty() ? nullptr : &outputs.front();
        // Writing an empty choice over an empty one would only store the same preferences again,
        // twenty times a second, while no output is connected.
        if (chosen) setSelectedOutput(chosen->uid);
    }
    if (device_ == 0) return;
    if (selectedInput_ != kSystemPlaybackInputUID && !findByUID(endpoints_, selectedInput_)) return;
    if (selectedOutput_ != kDAWOnlyOutputUID && !findByUID(listeningOutputs(), selectedOutput_)) return;
    applyRouting(true);
}

void AudioModel::prepareForQuit() {
    isQuitting_ = true;
    launchRoutingPending_ = false;
    testSound_->stop();
    RoutingChoice choice;
    choice.inputUID = selectedInput_;
    choice.outputUID = selectedOutput_;
    choice.enabled = false;
    choice.automaticallyMatchSampleRate = automaticallyMatchSampleRate_;
    (void)RoutingFiles::write(choice, RoutingFiles::kChoiceFileName);  // quitting goes on regardless
}

void AudioModel::resumeAutomaticStart() {
    if (routingPhase_ == phase::kRunning) return;
    launchRoutingPending_ = true;
    refresh();
}

std::string AudioModel::statusText() const {
    if (device_ == 0) return "Driver missing · install the KORVANE driver";
    if (selectedInput_ != kSystemPlaybackInputUID && !findByUID(endpoints_, selectedInput_))
        return "Input disconnected · reconnect or choose another input";
    if (!selectedOutput_.empty() && selectedOutput_ != kDAWOnlyOutputUID && !findByUID(listeningOutputs(), selectedOutput_))
        return "Output disconnected · reconnect, then Start audio";
    if (routingPhase_ == phase::kRunning) return "Routing · Driver connected";
    if (routingPhase_ == phase::kStarting) return "Connecting audio devices…";
    if (routingPhase_ == phase::kPermission) return "Audio permission required";
    if (routingPhase_ == phase::kUnavailable) return "Routing helper unavailable · Start audio to reconnect";
    if (routingPhase_ == phase::kError) return "Routing needs attention";
    return "Ready · Driver connected";
}

bool AudioModel::hasPendingChanges() const {
    if (routingPhase_ != phase::kRunning) return false;
    return selectedInput_ != appliedInput_ || selectedOutput_ != appliedOutput_ ||
           automaticallyMatchSampleRate_ != appliedAutomaticRate_;
}

}  // namespace korvane::panel
