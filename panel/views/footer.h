// The footer: the driver line (rate and channel mode, or "Driver unavailable"), the version
// line, and the "DAW setup" button that opens the help sheet.
#pragma once

#include "panel/views/presentation.h"

#include <QWidget>

class QLabel;
class QToolButton;

namespace korvane::views {

class Footer final : public QWidget {
    Q_OBJECT
public:
    Footer(const std::optional<platform::BundleInfo>& bundleInfo, QWidget* parent = nullptr);

    void refresh(const AudioModel& audio);

    QLabel* driverLine() const { return driver_; }
    QLabel* versionLine() const { return version_; }
    QToolButton* dawSetupButton() const { return setup_; }

signals:
    void helpRequested();

private:
    QLabel* driver_;
    QLabel* version_;
    QToolButton* setup_;
};

}  // namespace korvane::views
