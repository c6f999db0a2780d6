// Panel: the content of the main window. One scrolling column that shows where the sound comes
// from, that it reaches the DAW input, how loud it is before and after the gain and how loud it
// is heard; with the few actions a user needs. A full layout and a compact one, switched by the
// user and remembered under "compactInterface". Every value it shows is read from the model when
// the model announces a change; every action calls a model operation.
#pragma once

#include "panel/views/presentation.h"

#include <QPointer>
#include <QWidget>

class QBoxLayout;
class QHBoxLayout;
class QScrollArea;

namespace korvane::views {

class ActionRow;
class ChannelModePicker;
class DevicePicker;
class ErrorArea;
class Footer;
class HeaderBar;
class HelpSheet;
class InterfacePreferences;
class KnobGroup;
class ListeningDevice;
class MeterPair;
class ModelWatcher;
class SettingsSheet;
class SignalTile;
class StartStopButton;
class StatusBlock;
class Surface;

// What the panel needs from the program. The model and the preferences must outlive the panel.
struct PanelEnvironment {
    panel::AudioModel& audio;
    InterfacePreferences& interface;
    std::optional<platform::BundleInfo> bundleInfo;  // for the version line
    QString brandImage;                              // path of "KORVANEBrand.png"; empty: text mark
};

class Panel final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMinimumWidthFull = 760;
    static constexpr int kMinimumWidthCompact = 380;
    static constexpr int kMinimumHeight = 560;

    explicit Panel(PanelEnvironment environment, QWidget* parent = nullptr);
    ~Panel() override;

    bool compact() const { return compact_; }
    // Presents the help sheet or the settings sheet (raises it when already open).
    void showHelp();
    void showSettings();
    HelpSheet* helpSheet() const;          // null while closed
    SettingsSheet* settingsSheet() const;  // null while closed

    // Re-reads the model now (it also does so after every burst of model changes).
    void refresh();

    // The parts, for the program and for tests.
    ModelWatcher* watcher() const { return watcher_; }
    HeaderBar* header() const { return header_; }
    StatusBlock* status() const { return status_; }
    SignalTile* sourceTile() const { return sourceTile_; }
    SignalTile* dawTile() const { return dawTile_; }
    KnobGroup* knobGroup() const { return knobGroup_; }
    ChannelModePicker* channelMode() const { return channelMode_; }
    Surface* devicePickers() const { return pickers_; }
    DevicePicker* sourcePicker() const { return sourcePicker_; }
    DevicePicker* outputPicker() const { return outputPicker_; }
    ActionRow* actionRow() const { return actionRow_; }
    StartStopButton* startStop() const { return startStop_; }
    MeterPair* meters() const { return meters_; }
    ListeningDevice* listeningDevice() const { return listening_; }
    ErrorArea* errorArea() const { return errorArea_; }
    Footer* footer() const { return footer_; }

signals:
    // The settings sheet's "Completely quit KORVANE", after the sheet has been dismissed.
    void completelyQuitRequested();

private:
    void buildColumn(QWidget* content, const PanelEnvironment& environment);
    void arrange(bool compact);

    panel::AudioModel& audio_;
    InterfacePreferences& interface_;
    ModelWatcher* watcher_;
    bool compact_ = false;
    QPointer<HelpSheet> help_;
    QPointer<SettingsSheet> settings_;

    QScrollArea* scroll_ = nullptr;
    QBoxLayout* column_ = nullptr;
    HeaderBar* header_ = nullptr;
    StatusBlock* status_ = nullptr;
    SignalTile* sourceTile_ = nullptr;
    SignalTile* dawTile_ = nullptr;
    KnobGroup* knobGroup_ = nullptr;
    ChannelModePicker* channelMode_ = nullptr;
    Surface* pickers_ = nullptr;
    DevicePicker* sourcePicker_ = nullptr;
    DevicePicker* outputPicker_ = nullptr;
    ActionRow* actionRow_ = nullptr;
    StartStopButton* startStop_ = nullptr;
    QHBoxLayout* compactStartSlot_ = nullptr;
    QBoxLayout* metersRow_ = nullptr;
    MeterPair* meters_ = nullptr;
    ListeningDevice* listening_ = nullptr;
    ErrorArea* errorArea_ = nullptr;
    Footer* footer_ = nullptr;
};

}  // namespace korvane::views
