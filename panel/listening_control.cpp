// Listening volume and mute: which physical device the knob controls, its volume, and muting
// with the levels remembered per device (stored, so unmuting works after a relaunch).
#include "panel/audio_model.h"

#include "panel/model_support.h"
#include "shared/listening_volume.h"

#include <algorithm>
#include <cmath>

namespace korvane::panel {

using support::findByUID;

void AudioModel::refreshListening() {
    const auto outputs = listeningOutputs();
    // During construction the listening device is chosen only once the output is: a choice made
    // by the first discovery would take the built-in output before the listening device could
    // follow the output chosen from the system's default.
    if (listeningUID_.empty() && !loadingPreferences_) {
        const AudioEndpoint* chosen = findByUID(outputs, selectedOutput_);
        if (!chosen) {
            const auto builtIn = std::find_if(outputs.begin(), outputs.end(), [](const AudioEndpoint& e) {
                return e.transport == platform::audio::kAudioDeviceTransportTypeBuiltIn;
            });
            chosen = builtIn != outputs.end() ? &*builtIn : outputs.empty() ? nullptr : &outputs.front();
        }
        setListeningUID(chosen ? chosen->uid : std::string());  // saves the preferences
    }

    const AudioEndpoint* listening = findByUID(outputs, listeningUID_);
    const auto level = listening ? ListeningVolume::level(listening->id) : std::nullopt;
    if (!level) {
        write(listeningSupported_, false, Property::listeningSupported);
        write(listeningLevel_, 0.0f, Property::listeningLevel);
        return;
    }
    write(listeningLevel_, *level, Property::listeningLevel);
    write(listeningSupported_, true, Property::listeningSupported);

    // Someone unmuted the device outside the panel: it no longer counts as muted.
    if (*level > kAudibleLevel) {
        if (const auto entry = muteMemory_.find(listeningUID_); entry != muteMemory_.end()) {
            muteMemory_.erase(entry);
            notify(Property::muteMemory);
            saveMuteMemory();
        }
    }
}

void AudioModel::toggleListeningMute() {
    if (!listeningSupported_) return;
    const auto outputs = listeningOutputs();
    const AudioEndpoint* listening = findByUID(outputs, listeningUID_);
    if (!listening) return;
    const auto levels = ListeningVolume::channelLevels(listening->id);
    if (!levels) return;

    if (const auto entry = muteMemory_.find(listeningUID_); entry != muteMemory_.end()) {
        if (!entry->second.isRestorable() || !ListeningVolume::setChannelLevels(listening->id, entry->second.levels)) {
            setError("Could not unmute this output. Check the device’s volume controls.");
            return;
        }
        muteMemory_.erase(entry);
    } else {
        if (!ListeningVolume::setChannelLevels(listening->id, std::vector<float>(levels->size(), 0.0f))) {
            setError("Could not mute both output channels. Check the device’s volume controls.");
            return;
        }
        muteMemory_[listeningUID_] = ListeningMuteMemory{*levels};
    }
    notify(Property::muteMemory);
    saveMuteMemory();
    setError("");
    refreshListening();
}

void AudioModel::setListeningLevel(float level) {
    if (!listeningSupported_ || !std::isfinite(level)) return;
    const auto outputs = listeningOutputs();
    const AudioEndpoint* listening = findByUID(outputs, listeningUID_);
    if (!listening) return;
    const float clamped = std::max(std::min(level, 1.0f), 0.0f);

    if (const auto entry = muteMemory_.find(listeningUID_); entry != muteMemory_.end()) {
        // Muted: the device stays silent; unmuting will apply the new level.
        entry->second.levels.assign(entry->second.levels.size(), clamped);
        notify(Property::muteMemory);
        saveMuteMemory();
        return;
    }
    if (!ListeningVolume::setLevel(listening->id, level)) {
        setError("This output’s volume could not be changed. Check its app or hardware controls.");
        return;
    }
    // The device was set to the clamped level, so that is what the knob shows.
    write(listeningLevel_, clamped, Property::listeningLevel);
    setError("");
}

void AudioModel::saveMuteMemory() {
    if (const auto encoded = encodeMuteMemory(muteMemory_))
        environment_.defaults.setData(preference::kListeningMuteMemory, *encoded);
}

bool AudioModel::isListeningMuted() const { return muteMemory_.contains(listeningUID_) && listeningSupported_; }

float AudioModel::displayedListeningLevel() const {
    const auto entry = muteMemory_.find(listeningUID_);
    return entry != muteMemory_.end() ? entry->second.averageLevel() : listeningLevel_;
}

std::string AudioModel::listeningHint() const {
    if (listeningUID_.empty()) return "Choose an output to adjust its listening volume.";
    if (!findByUID(listeningOutputs(), listeningUID_))
        return "This output is disconnected or unavailable. Choose another listening device.";
    if (isListeningMuted())
        return "Listening output muted · DAW signal continues. This mutes all playback on this physical output.";
    if (listeningSupported_) return "System listening is before DAW gain. This controls speaker volume.";
    return "This output has no writable volume control. Adjust it in its app, interface controls or hardware knob.";
}

}  // namespace korvane::panel
