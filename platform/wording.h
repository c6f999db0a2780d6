// The words for the desktop around the programs: every phrase and sentence of the helper and the
// panel that names something of the desktop (its settings, how an application is reopened, its
// permission dialog), one set per desktop, and the one set a process shows.
#pragma once

#include <array>
#include <string_view>

namespace platform {

// Every text is a string literal, so `data()` is also a null-terminated C string. Sentences are
// whole and shown as they are; phrases are parts of a sentence that the caller composes around a
// device name or a status code. An empty text means the desktop has nothing to say there.
struct Wording {
    // The route engine's failures; the engine appends " (status)".
    std::string_view engineDriverMissing;
    std::string_view engineCouldNotStart;

    // The routing helper's report details.
    std::string_view driverUnavailable;
    std::string_view defaultOutputChanged;
    std::string_view chooseNormalOutput;  // KORVANE is the default output and nothing physical is left
    std::string_view couldNotSelectKorvaneOutput;
    std::string_view microphonePermissionAsked;    // while the desktop's dialog is open
    std::string_view microphonePermissionRefused;  // the user refused in that dialog
    std::string_view microphonePermissionOff;      // refused earlier, or restricted

    // Phrases of the panel's recovery and DAW device messages.
    std::string_view playbackAtSentenceStart;  // "<it> now uses <device> directly."
    std::string_view theOutput;                // "Could not switch <it> (<status>)."
    std::string_view soundSettings;            // "Choose it in <it>."
    std::string_view combineDevicesYourself;   // after "Could not create the DAW device (<status>). "

    // The panel's help and settings texts.
    std::string_view microphoneAccessNote;  // empty where no permission is ever asked
    std::string_view muteOutlastsThePanel;
    std::string_view helpAutomaticStart;
    std::string_view settingsAutomaticStart;
    std::string_view restorePlaybackTitle;
    std::string_view restorePlaybackNote;
    std::string_view restoreOutputButton;
};

// Every text of a set, for checks over all of them. The assertion below keeps it complete.
inline constexpr std::array kWordingTexts{
    &Wording::engineDriverMissing,         &Wording::engineCouldNotStart,       &Wording::driverUnavailable,
    &Wording::defaultOutputChanged,        &Wording::chooseNormalOutput,        &Wording::couldNotSelectKorvaneOutput,
    &Wording::microphonePermissionAsked,   &Wording::microphonePermissionRefused, &Wording::microphonePermissionOff,
    &Wording::playbackAtSentenceStart,     &Wording::theOutput,                 &Wording::soundSettings,
    &Wording::combineDevicesYourself,      &Wording::microphoneAccessNote,      &Wording::muteOutlastsThePanel,
    &Wording::helpAutomaticStart,          &Wording::settingsAutomaticStart,    &Wording::restorePlaybackTitle,
    &Wording::restorePlaybackNote,         &Wording::restoreOutputButton,
};
static_assert(sizeof(Wording) == kWordingTexts.size() * sizeof(std::string_view), "a text is missing from kWordingTexts");

// The Mac's words: the simulated machine's, and the default.
extern const Wording kMacWording;
// A Linux desktop's words: its own Sound settings and application menu, no Dock, no device
// combining tool, and no microphone permission in a plain PipeWire session.
extern const Wording kLinuxDesktopWording;

// The installed set; kMacWording until a program installs another. Any thread.
const Wording& wording();
// Installs `instance`, which must outlive its installation, and returns the previous set.
// Programs install theirs in main, with the audio system, before any window or thread exists.
const Wording& installWording(const Wording& instance);

// Installs a set for a scope and puts the previous one back at its end (tests).
class ScopedWording {
public:
    explicit ScopedWording(const Wording& instance) : previous_(installWording(instance)) {}
    ~ScopedWording() { installWording(previous_); }
    ScopedWording(const ScopedWording&) = delete;
    ScopedWording& operator=(const ScopedWording&) = delete;

private:
    const Wording& previous_;
};

}  // namespace platform
