// The listening volume device: which output the knob controls ("VOLUME DEVICE", a "MUTED" badge
// while muted), chosen from the usable outputs, with the model's hint below.
#pragma once

#include "panel/views/presentation.h"
#include "panel/views/surface.h"

class QLabel;

namespace korvane::views {

class DevicePicker;

class ListeningDevice final : public Surface {
    Q_OBJECT
public:
    explicit ListeningDevice(AudioModel& audio, QWidget* parent = nullptr);

    void refresh(const AudioModel& audio);

    DevicePicker* picker() const { return picker_; }
    QLabel* mutedBadge() const { return badge_; }
    QLabel* hint() const { return hint_; }

private:
    DevicePicker* picker_;
    QLabel* badge_;
    QLabel* hint_;
};

}  // namespace korvane::views
