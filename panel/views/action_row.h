// The action row of the full layout: "Remember devices", "Test sound", "Apply changes" (only
// while a running route has a pending selection), and a slot at its end for the start/stop
// button, which the compact layout places elsewhere.
#pragma once

#include "panel/views/presentation.h"

#include <QWidget>

class QCheckBox;
class QHBoxLayout;
class QPushButton;

namespace korvane::views {

class ActionRow final : public QWidget {
    Q_OBJECT
public:
    explicit ActionRow(AudioModel& audio, QWidget* parent = nullptr);

    void refresh(const AudioModel& audio);
    // Where the start/stop button goes in the full layout.
    QHBoxLayout* startStopSlot() const { return slot_; }

    QCheckBox* rememberDevices() const { return remember_; }
    QPushButton* testSound() const { return test_; }
    QPushButton* applyChanges() const { return apply_; }

private:
    QCheckBox* remember_;
    QPushButton* test_;
    QPushButton* apply_;
    QHBoxLayout* slot_;
};

// The start/stop button: "Stop audio" while the route runs, "Start audio" otherwise.
class StartStopButton final : public QWidget {
    Q_OBJECT
public:
    explicit StartStopButton(AudioModel& audio, QWidget* parent = nullptr);
    void refresh(const AudioModel& audio);
    QPushButton* button() const { return button_; }

private:
    QPushButton* button_;
    int stops_ = -1;  // which label and symbol it shows
};

}  // namespace korvane::views
