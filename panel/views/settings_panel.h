// The settings view: appearance and device preferences, the driver's facts, the recovery of the
// computer's playback, support links and diagnostics. It serves as a sheet over the main panel and as
// the standalone Settings window; both bind the same model and the same interface preferences.
#pragma once

#include "panel/views/presentation.h"

#include <QDialog>
#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

namespace korvane::views {

class InterfacePreferences;
class ModelWatcher;

class SettingsPanel final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 540;
    static constexpr int kHeight = 640;
    static constexpr const char* kSupportAddress = "support@korvane.example";
    static constexpr const char* kWebsite = "https://korvane.example";
    static constexpr const char* kPrivacyPage = "https://korvane.example/privacy";

    // Follows the model through `watcher`, or through a watcher of its own when none is given.
    // `audio`, `interface` and a given watcher must outlive the view.
    SettingsPanel(AudioModel& audio, InterfacePreferences& interface, ModelWatcher* watcher = nullptr,
                  QWidget* parent = nullptr);

    QSize sizeHint() const override { return {kWidth, kHeight}; }
    void refresh();

    QCheckBox* compactBox() const { return compact_; }
    QCheckBox* rememberBox() const { return remember_; }
    QCheckBox* matchRateBox() const { return matchRate_; }
    QLabel* sampleRate() const { return sampleRate_; }
    QLabel* driverBuffer() const { return buffer_; }
    QLabel* mode() const { return mode_; }
    QLabel* recoveryTarget() const { return recoveryTarget_; }
    QPushButton* restoreButton() const { return restore_; }
    QPushButton* copyButton() const { return copy_; }
    QPushButton* refreshButton() const { return refreshDevices_; }
    QPushButton* quitButton() const { return quit_; }
    QPushButton* doneButton() const { return done_; }

signals:
    // "Done": the presenting sheet or window closes.
    void doneRequested();
    // "Completely quit KORVANE", sent after doneRequested: the application quits once no sheet
    // is open any more.
    void completelyQuitRequested();

private:
    QWidget* buildContent();
    void buildAppearance(QWidget* content);
    void buildAudioConfiguration(QWidget* content);
    void buildRecovery(QWidget* content);
    void buildSupport(QWidget* content);
    void copyDiagnostics();

    AudioModel& audio_;
    InterfacePreferences& interface_;
    bool copied_ = false;

    QPushButton* done_ = nullptr;
    QCheckBox* compact_ = nullptr;
    QCheckBox* remember_ = nullptr;
    QPushButton* refreshDevices_ = nullptr;
    QPushButton* quit_ = nullptr;
    QCheckBox* matchRate_ = nullptr;
    QLabel* sampleRate_ = nullptr;
    QLabel* buffer_ = nullptr;
    QLabel* mode_ = nullptr;
    QLabel* recoveryTarget_ = nullptr;
    QPushButton* restore_ = nullptr;
    QPushButton* copy_ = nullptr;
};

// The settings view as a window-modal sheet over the main panel, 540 × 640.
class SettingsSheet final : public QDialog {
    Q_OBJECT
public:
    SettingsSheet(AudioModel& audio, InterfacePreferences& interface, ModelWatcher& watcher, QWidget* parent);
    SettingsPanel* panel() const { return panel_; }

signals:
    void completelyQuitRequested();

private:
    SettingsPanel* panel_;
};

}  // namespace korvane::views
