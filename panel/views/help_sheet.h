// The help sheet "Connect your DAW", a window-modal dialog over the panel: the driver notice
// while the driver is missing, the setup steps, the combined-device action with its outcome, and
// notes on gain, automatic start and the meters. "Done" (the default, Return) closes it.
#pragma once

#include "panel/views/presentation.h"

#include <QDialog>

class QLabel;
class QPushButton;

namespace korvane::views {

class ModelWatcher;

class HelpSheet final : public QDialog {
    Q_OBJECT
public:
    // Follows the model through `watcher` while open; both must outlive the sheet.
    HelpSheet(AudioModel& audio, ModelWatcher& watcher, QWidget* parent);

    void refresh(const AudioModel& audio);

    QWidget* driverNotice() const { return driverNotice_; }
    QPushButton* createDAWDeviceButton() const { return create_; }
    QLabel* dawDeviceMessage() const { return message_; }
    QPushButton* doneButton() const { return done_; }

private:
    QWidget* driverNotice_;
    QPushButton* create_;
    QLabel* message_;
    QPushButton* done_;
};

}  // namespace korvane::views
