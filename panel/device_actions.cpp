// The two actions that act on devices outside the route: the stereo test tone into the current
// playback path, and the combined device for a DAW.
#include "panel/audio_model.h"

#include "panel/daw_setup.h"
#include "panel/model_support.h"
#include "shared/audio_device_inventory.h"

namespace korvane::panel {

void AudioModel::playTestTone() {
    if (!systemActive_ || routingPhase_ != phase::kRunning || selectedInput_ != kSystemPlaybackInputUID) {
        setError("Choose System audio and a listening output, then Start audio before testing.");
        return;
    }
    if (isListeningMuted()) {
        setError("Unmute listening before testing.");
        return;
    }
    const auto playback = support::defaultOutputDevice();
    const AudioEndpoint* target = playback ? support::findByID(endpoints_, *playback) : nullptr;
    if (!target || !(target->isKorvane() || support::startsWith(target->uid, AudioDeviceInventory::kListeningAggregatePrefix))) {
        setError("The KORVANE playback output changed. Start audio again before testing.");
        return;
    }
    if (const auto status = testSound_->play(target->uid); status != platform::audio::kAudioHardwareNoError) {
        setError("Could not play the stereo test tone (" + std::to_string(status) + ").");
        return;
    }
    setError("");
}

void AudioModel::createDAWDevice() {
    const AudioEndpoint* selected = support::findByUID(endpoints_, selectedOutput_);
    if (!selected) {
        write(dawDeviceMessage_, std::string("Choose an Audio output first."), Property::dawDeviceMessage);
        return;
    }
    const AudioEndpoint output = *selected;  // the refresh below replaces the list
    auto created = DAWSetup::create(output, endpoints_);
    if (!created) {
        write(dawDeviceMessage_, created.error().message, Property::dawDeviceMessage);
        return;
    }
    write(dawDeviceMessage_,
          "Select " + created.value() +
              " in your DAW. Input: 1–2. Playback output: 3–4. Never send DAW playback to output 1–2.",
          Property::dawDeviceMessage);
    forceRefresh();
}

}  // namespace korvane::panel
