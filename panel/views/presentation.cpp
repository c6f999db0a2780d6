#include "panel/views/presentation.h"

#include "shared/routing_records.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace korvane::views {

namespace {

bool phaseIs(const AudioModel& audio, std::string_view word) { return audio.routingPhase() == word; }

bool phaseNeedsAttention(const AudioModel& audio) {
    return phaseIs(audio, phase::kError) || phaseIs(audio, phase::kPermission) || phaseIs(audio, phase::kUnavailable);
}

bool isSystemInput(const AudioModel& audio) { return audio.selectedInput() == kSystemPlaybackInputUID; }

const AudioEndpoint* endpointWithUID(const std::vector<AudioEndpoint>& list, const std::string& uid) {
    const auto found = std::find_if(list.begin(), list.end(), [&](const AudioEndpoint& e) { return e.uid == uid; });
    return found == list.end() ? nullptr : &*found;
}

bool isSourceCandidate(const AudioEndpoint& endpoint) {
    return endpoint.transport != platform::audio::kAudioDeviceTransportTypeVirtual &&
           endpoint.transport != platform::audio::kAudioDeviceTransportTypeAggregate && endpoint.inputChannels >= 1;
}

// A rate in kHz with one decimal, "48.0 kHz". Not printf: the program's locale may write a
// decimal comma, and the meters' level texts never do.
std::string kilohertzText(double hertz) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, hertz / 1000, std::chars_format::fixed, 1);
    if (result.ec != std::errc()) return "— kHz";
    return std::string(text, result.ptr) + " kHz";
}

}  // namespace

LampState lampState(const AudioModel& audio) {
    if (audio.device() == 0 || phaseNeedsAttention(audio)) return LampState::Attention;
    if (phaseIs(audio, phase::kRunning)) return LampState::Running;
    return LampState::Idle;
}

std::string statusSecondLine(const AudioModel& audio) {
    if (audio.hasPendingChanges()) return "Device selection changed · Apply changes to update the route.";
    if (phaseNeedsAttention(audio)) return audio.routingDetail();
    return {};
}

bool showSetupButton(const AudioModel& audio) { return audio.device() == 0; }

std::string sourceTileTitle(const AudioModel& audio) {
    if (isSystemInput(audio)) return "System audio";
    const AudioEndpoint* source = endpointWithUID(audio.endpoints(), audio.selectedInput());
    return source ? source->name : "Disconnected input";
}

std::string sourceTileSubtitle(const AudioModel& audio) {
    if (audio.hasPendingChanges()) return "Selection pending";
    return phaseIs(audio, phase::kRunning) ? "Routing active" : "Not routing";
}

std::string dawTileSubtitle(const AudioModel& audio) {
    return audio.inputActive() ? "Input in use" : "Waiting for your DAW";
}

bool channelModeEnabled(const AudioModel& audio) { return audio.device() != 0 && audio.modeSupported(); }

std::vector<PickerItem> sourcePickerItems(const AudioModel& audio) {
    std::vector<PickerItem> items{{"System audio", std::string(kSystemPlaybackInputUID)}};
    bool selectionListed = isSystemInput(audio);
    for (const AudioEndpoint& endpoint : audio.endpoints()) {
        if (!isSourceCandidate(endpoint)) continue;
        items.push_back({endpoint.name + (endpoint.inputChannels == 1 ? " · Mono" : " · Stereo"), endpoint.uid});
        selectionListed = selectionListed || endpoint.uid == audio.selectedInput();
    }
    if (!selectionListed) items.push_back({"Disconnected input", audio.selectedInput()});
    return items;
}

std::vector<PickerItem> outputPickerItems(const AudioModel& audio) {
    std::vector<PickerItem> items{{"Choose an output…", ""}, {"DAW only · listening off", std::string(kDAWOnlyOutputUID)}};
    const std::string& selected = audio.selectedOutput();
    bool selectionListed = selected.empty() || selected == kDAWOnlyOutputUID;
    for (const AudioEndpoint& endpoint : audio.listeningOutputs()) {
        items.push_back({endpoint.name, endpoint.uid});
        selectionListed = selectionListed || endpoint.uid == selected;
    }
    if (!selectionListed) items.push_back({"Disconnected output", selected});
    return items;
}

std::vector<PickerItem> listeningPickerItems(const AudioModel& audio) {
    std::vector<PickerItem> items{{"Choose listening device…", ""}};
    const std::string& selected = audio.listeningUID();
    bool selectionListed = selected.empty();
    for (const AudioEndpoint& endpoint : audio.listeningOutputs()) {
        items.push_back({endpoint.name, endpoint.uid});
        selectionListed = selectionListed || endpoint.uid == selected;
    }
    if (!selectionListed) items.push_back({"Unavailable output", selected});
    return items;
}

bool isListeningOutput(const AudioModel& audio, const std::string& uid) {
    return endpointWithUID(audio.listeningOutputs(), uid) != nullptr;
}

bool testSoundEnabled(const AudioModel& audio) {
    return phaseIs(audio, phase::kRunning) && isSystemInput(audio) && !audio.isListeningMuted() &&
           !audio.hasPendingChanges();
}

bool applyChangesVisible(const AudioModel& audio) { return phaseIs(audio, phase::kRunning) && audio.hasPendingChanges(); }

StartStop startStop(const AudioModel& audio) {
    const bool running = phaseIs(audio, phase::kRunning);
    const bool enabled = !phaseIs(audio, phase::kStarting) && !(audio.device() == 0 && !running);
    return {running, enabled};
}

std::string startStopLabel(const StartStop& state) { return state.stops ? "Stop audio" : "Start audio"; }

std::string listeningLevelText(const AudioModel& audio) {
    if (!audio.listeningSupported()) return "—";
    return std::to_string(std::lround(double(audio.displayedListeningLevel()) * 100)) + "%";
}

bool restoreButtonVisible(const AudioModel& audio) {
    return !audio.error().empty() || phaseIs(audio, phase::kError) || phaseIs(audio, phase::kUnavailable);
}

bool restoreButtonEnabled(const AudioModel& audio) { return audio.recoveryOutput().has_value(); }

std::string driverLine(const AudioModel& audio) {
    if (audio.device() == 0) return "Driver unavailable";
    return kilohertzText(audio.rate()) + " · " + (audio.mono() ? "Mono" : "Stereo 1–2");
}

std::string versionLine(const std::optional<platform::BundleInfo>& info) {
    const auto value = [&](std::string_view key) -> std::string {
        if (!info) return "—";
        const auto found = info->find(key);
        return found == info->end() ? "—" : found->second;
    };
    return "KORVANE " + value(platform::kBundleShortVersionKey) + " (" + value(platform::kBundleVersionKey) + ")";
}

bool createDAWDeviceEnabled(const AudioModel& audio) {
    return audio.device() != 0 && !audio.selectedOutput().empty() && audio.selectedOutput() != kDAWOnlyOutputUID;
}

std::string sampleRateText(const AudioModel& audio) {
    if (audio.device() == 0) return "Driver unavailable";
    return kilohertzText(audio.rate());
}

std::string driverBufferText(const AudioModel& audio) {
    if (audio.bufferFrames() == 0) return "Unavailable";
    return std::to_string(audio.bufferFrames()) + " frames";
}

std::string modeText(const AudioModel& audio) { return audio.mono() ? "Mono · L + R" : "Stereo · separate L / R"; }

std::string recoveryTargetText(const AudioModel& audio) {
    const auto target = audio.recoveryOutput();
    return target ? "Output: " + target->name : "No physical output available";
}

}  // namespace korvane::views
