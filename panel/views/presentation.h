// What the panel and the settings view show, derived from the model: texts, picker items and
// enabling rules, in the product's exact words. Plain functions of the model's published state,
// with no Qt, so every rule is read (and tested) in one place and the widgets only apply them.
#pragma once

#include "panel/audio_model.h"
#include "platform/application_services.h"

#include <optional>
#include <string>
#include <vector>

namespace korvane::views {

using panel::AudioModel;

struct PickerItem {
    std::string label;
    std::string value;
    friend bool operator==(const PickerItem&, const PickerItem&) = default;
};

// Status block.
enum class LampState { Attention, Running, Idle };
LampState lampState(const AudioModel& audio);
std::string statusSecondLine(const AudioModel& audio);
bool showSetupButton(const AudioModel& audio);  // the driver is missing

// Signal chain tiles.
std::string sourceTileTitle(const AudioModel& audio);
std::string sourceTileSubtitle(const AudioModel& audio);
std::string dawTileSubtitle(const AudioModel& audio);
bool channelModeEnabled(const AudioModel& audio);

// Pickers: items in order, a vanished selection kept visible as the last item.
std::vector<PickerItem> sourcePickerItems(const AudioModel& audio);
std::vector<PickerItem> outputPickerItems(const AudioModel& audio);
std::vector<PickerItem> listeningPickerItems(const AudioModel& audio);
// Whether the listening picker accepts `uid` (a member of the listening outputs).
bool isListeningOutput(const AudioModel& audio, const std::string& uid);

// Actions.
bool testSoundEnabled(const AudioModel& audio);
bool applyChangesVisible(const AudioModel& audio);
struct StartStop {
    bool stops = false;  // "Stop audio" while running, else "Start audio"
    bool enabled = true;
};
StartStop startStop(const AudioModel& audio);
std::string startStopLabel(const StartStop& state);

// Knob group.
std::string listeningLevelText(const AudioModel& audio);

// Error and recovery area.
bool restoreButtonVisible(const AudioModel& audio);
bool restoreButtonEnabled(const AudioModel& audio);

// Footer.
std::string driverLine(const AudioModel& audio);
// "KORVANE 1.2 (34)"; a missing value shows as "—".
std::string versionLine(const std::optional<platform::BundleInfo>& info);

// Help sheet.
bool createDAWDeviceEnabled(const AudioModel& audio);

// Settings.
std::string sampleRateText(const AudioModel& audio);
std::string driverBufferText(const AudioModel& audio);
std::string modeText(const AudioModel& audio);
std::string recoveryTargetText(const AudioModel& audio);

}  // namespace korvane::views
