#include "platform/wording.h"

#include <atomic>

namespace platform {

constexpr Wording kMacWording{
    .engineDriverMissing = "KORVANE driver is not available. Install the driver and restart your Mac",
    .engineCouldNotStart = "Could not start routing. Check microphone permission and device availability",
    .driverUnavailable = "KORVANE driver is unavailable. Install it and restart your Mac.",
    .defaultOutputChanged = "Mac output changed. Apply to route system audio through KORVANE again.",
    .chooseNormalOutput = "Choose your normal Mac output in Sound settings before selecting a microphone source.",
    .couldNotSelectKorvaneOutput = "Could not select KORVANE playback as the Mac output.",
    .microphonePermissionAsked = "Allow KORVANE Routing to access audio in the macOS permission dialog.",
    .microphonePermissionRefused =
        "Microphone permission denied. Enable KORVANE Routing in Privacy & Security → Microphone, then Apply again.",
    .microphonePermissionOff = "Enable KORVANE Routing in Privacy & Security → Microphone, then Apply again.",
    .playbackAtSentenceStart = "Mac playback",
    .theOutput = "the Mac output",
    .soundSettings = "macOS Sound settings",
    .combineDevicesYourself = "Use Audio MIDI Setup to combine KORVANE and your output.",
    .microphoneAccessNote = "Hardware inputs may require microphone access; the receiving DAW may also request "
                            "permission for its audio input.",
    .muteOutlastsThePanel =
        "Muting can remain in effect after closing KORVANE; reopen it to unmute or use macOS volume controls.",
    .helpAutomaticStart = "Audio starts automatically when KORVANE launches and when you reopen it from the Dock or "
                          "Finder, once your devices are ready.",
    .settingsAutomaticStart = "KORVANE automatically starts the selected audio route on launch and when reopened "
                              "from the Dock or Finder, once the devices are ready.",
    .restorePlaybackTitle = "Restore Mac playback",
    .restorePlaybackNote = "If routing stops or you cannot hear sound, switch Mac playback directly to a physical output.",
    .restoreOutputButton = "Restore Mac output",
};

constexpr Wording kLinuxDesktopWording{
    .engineDriverMissing = "KORVANE driver is not available. Install the driver and restart your computer",
    .engineCouldNotStart = "Could not start routing. Check device availability",
    .driverUnavailable = "KORVANE driver is unavailable. Install it and restart your computer.",
    .defaultOutputChanged = "The computer’s output changed. Apply to route system audio through KORVANE again.",
    .chooseNormalOutput = "Choose your normal output in Sound settings before selecting a microphone source.",
    .couldNotSelectKorvaneOutput = "Could not select KORVANE playback as the computer’s output.",
    .microphonePermissionAsked = "Allow KORVANE Routing to access audio in the permission dialog.",
    .microphonePermissionRefused = "Microphone permission denied. Allow KORVANE Routing to use the microphone in "
                                   "your desktop’s privacy settings, then Apply again.",
    .microphonePermissionOff =
        "Allow KORVANE Routing to use the microphone in your desktop’s privacy settings, then Apply again.",
    .playbackAtSentenceStart = "Computer playback",
    .theOutput = "the computer’s output",
    .soundSettings = "Sound settings",
    .combineDevicesYourself = "Use a PipeWire patchbay to connect KORVANE and your output.",
    .microphoneAccessNote = "",
    .muteOutlastsThePanel =
        "Muting can remain in effect after closing KORVANE; reopen it to unmute or use the desktop’s volume controls.",
    .helpAutomaticStart = "Audio starts automatically when KORVANE launches and when you open it again from the "
                          "application menu, once your devices are ready.",
    .settingsAutomaticStart = "KORVANE automatically starts the selected audio route on launch and when opened "
                              "again from the application menu, once the devices are ready.",
    .restorePlaybackTitle = "Restore computer playback",
    .restorePlaybackNote =
        "If routing stops or you cannot hear sound, switch computer playback directly to a physical output.",
    .restoreOutputButton = "Restore computer output",
};

namespace {
// Constant-initialised, so a text read during static initialisation is already the Mac's.
std::atomic<const Wording*> installed{&kMacWording};
}  // namespace

const Wording& wording() { return *installed.load(std::memory_order_acquire); }

const Wording& installWording(const Wording& instance) {
    return *installed.exchange(&instance, std::memory_order_acq_rel);
}

}  // namespace platform
