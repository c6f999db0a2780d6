// The error and recovery area: the model's error text (selectable) with its symbol, the
// restore-output button (named in the desktop's words) when there is an error or the route failed
// or went unavailable, and the recovery outcome below. Hidden while it has nothing to show.
#pragma once

#include "panel/views/presentation.h"

#include <QWidget>

class QLabel;
class QPushButton;

namespace korvane::views {

class ErrorArea final : public QWidget {
    Q_OBJECT
public:
    explicit ErrorArea(AudioModel& audio, QWidget* parent = nullptr);

    void refresh(const AudioModel& audio);

    QLabel* errorText() const { return error_; }
    QPushButton* restoreButton() const { return restore_; }
    QLabel* recoveryMessage() const { return recovery_; }

private:
    QWidget* errorRow_;
    QLabel* error_;
    QPushButton* restore_;
    QLabel* recovery_;
};

}  // namespace korvane::views
