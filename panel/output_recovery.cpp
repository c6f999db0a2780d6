// The way out that does not depend on the routing helper: pointing the computer's playback
// straight at a physical output; forced device refresh; the selected output's name; diagnostics.
#include "panel/audio_model.h"

#include "panel/model_support.h"
#include "platform/wording.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace korvane::panel {

using namespace platform::audio;

namespace {

const char* yesNo(bool value) { return value ? "true" : "false"; }

// The shortest text that reads back as the same double, with at least one fractional digit.
std::string shortestDecimal(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    std::string printed(text, result.ptr);
    if (std::isfinite(value) && printed.find_first_of(".e") == std::string::npos) printed += ".0";
    return printed;
}

std::string wholeNumber(double value) {
    if (!std::isfinite(value)) return "unknown";
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, std::trunc(value) + 0.0, std::chars_format::fixed, 0);
    return std::string(text, result.ptr);
}

std::string oneLine(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

}  // namespace

std::optional<AudioEndpoint> AudioModel::recoveryOutput() const {
    std::vector<AudioEndpoint> candidates = listeningOutputs();
    std::erase_if(candidates, [](const AudioEndpoint& e) { return !e.isPhysical(); });
    if (candidates.empty()) return std::nullopt;
    if (const AudioEndpoint* selected = support::findByUID(candidates, selectedOutput_)) return *selected;
    const auto builtIn = std::find_if(candidates.begin(), candidates.end(),
                                      [](const AudioEndpoint& e) { return e.transport == kAudioDeviceTransportTypeBuiltIn; });
    return builtIn != candidates.end() ? *builtIn : candidates.front();
}

void AudioModel::restoreMacOutput() {
    forceRefresh();
    const auto target = recoveryOutput();
    if (!target) {
        write(recoveryMessage_, std::string("No physical output is connected. Connect speakers or an interface, then refresh devices."),
              Property::recoveryMessage);
        return;
    }
    applyRouting(false);
    const platform::Wording& words = platform::wording();
    if (const OSStatus status = support::setDefaultOutputDevice(target->id); status != kAudioHardwareNoError) {
        write(recoveryMessage_,
              "Could not switch " + std::string(words.theOutput) + " (" + std::to_string(status) + "). Choose it in " +
                  std::string(words.soundSettings) + ".",
              Property::recoveryMessage);
        return;
    }
    write(recoveryMessage_,
          std::string(words.playbackAtSentenceStart) + " now uses " + target->name +
              " directly. Volume is unchanged; unmute that device when you want to listen.",
          Property::recoveryMessage);
    forceRefresh();
}

void AudioModel::restoreOutputLeftOnDriver() {
    forceRefresh();
    if (device_ == 0 || support::defaultOutputDevice() != device_) return;
    if (const auto target = recoveryOutput()) support::setDefaultOutputDevice(target->id);
}

void AudioModel::refreshDevices() { forceRefresh(); }

std::string AudioModel::selectedOutputName() const {
    const AudioEndpoint* selected = support::findByUID(endpoints_, selectedOutput_);
    return selected ? selected->name : "your audio interface";
}

std::string AudioModel::diagnosticsText() const {
    const auto info = environment_.applications.mainBundleInfo();
    const auto bundleValue = [&](std::string_view key) -> std::string {
        if (!info) return "unknown";
        const auto found = info->find(key);
        return found != info->end() ? oneLine(found->second) : "unknown";
    };
    std::string text;
    text += "KORVANE " + bundleValue(platform::kBundleShortVersionKey) + " (" + bundleValue(platform::kBundleVersionKey) + ")\n";
    text += oneLine(environment_.applications.operatingSystemVersion()) + "\n";
    text += std::string("Driver available: ") + yesNo(device_ != 0) + "\n";
    text += "Route: " + routingPhase_ + "\n";
    text += "Detail: " + routingDetail_ + "\n";
    text += "Rate: " + wholeNumber(rate_) + " Hz; driver buffer: " + std::to_string(bufferFrames_) + " frames\n";
    text += std::string("Mode: ") + (mono_ ? "Mono" : "Stereo") + "; gain: " + shortestDecimal(gain_) + " dB\n";
    text += std::string("Source: ") + (selectedInput_ == kSystemPlaybackInputUID ? "System audio" : "Hardware input") + "\n";
    text += std::string("Listening output available: ") + yesNo(listeningSupported_) + "; muted: " + yesNo(isListeningMuted()) + "\n";
    text += std::string("Pending device changes: ") + yesNo(hasPendingChanges()) + "\n";
    text += "Error: " + (error_.empty() ? std::string("None") : error_);
    return text;
}

}  // namespace korvane::panel
