// The channel-mode switch: two segments, "Stereo · separate L / R" and "Mono · L + R", 440 px
// wide, with the caption "DAW level preserved". It shows the driver's mode and asks the model to
// change it; the segment follows the model, not the click.
#pragma once

#include "panel/views/presentation.h"

#include <QWidget>

class QPushButton;

namespace korvane::views {

class ChannelModePicker final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 440;

    explicit ChannelModePicker(AudioModel& audio, QWidget* parent = nullptr);

    void refresh(const AudioModel& audio);

    QPushButton* stereoButton() const { return stereo_; }
    QPushButton* monoButton() const { return mono_; }
    QWidget* segments() const { return segments_; }

private:
    QWidget* segments_;
    QPushButton* stereo_;
    QPushButton* mono_;
    int shownMono_ = -1;
};

}  // namespace korvane::views
