// The knob group: the listening-volume knob with its caption, the mute button and the level.
#pragma once

#include "panel/views/presentation.h"

#include <QWidget>

class QLabel;
class QPushButton;

namespace korvane::views {

class Knob;

class KnobGroup final : public QWidget {
    Q_OBJECT
public:
    // `audio` must outlive the group; the knob and the mute button call it.
    explicit KnobGroup(AudioModel& audio, QWidget* parent = nullptr);

    void refresh(const AudioModel& audio);

    Knob* knob() const { return knob_; }
    QLabel* caption() const { return caption_; }
    QPushButton* muteButton() const { return mute_; }
    QLabel* levelLabel() const { return level_; }

private:
    Knob* knob_;
    QLabel* caption_;
    QPushButton* mute_;
    QLabel* level_;
    int muteState_ = -1;  // which label and symbol the mute button shows: 0 mute, 1 unmute
};

}  // namespace korvane::views
