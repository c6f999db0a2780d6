// The status block: a state lamp beside the model's status line, a second line for pending
// changes or the route's trouble, and a "Setup" button while the driver is missing.
#pragma once

#include "panel/views/presentation.h"
#include "panel/views/surface.h"

class QLabel;
class QPushButton;

namespace korvane::views {

class Lamp;

class StatusBlock final : public Surface {
    Q_OBJECT
public:
    explicit StatusBlock(QWidget* parent = nullptr);

    void refresh(const AudioModel& audio);

    Lamp* lamp() const { return lamp_; }
    QLabel* headline() const { return headline_; }
    QLabel* secondLine() const { return secondLine_; }
    QPushButton* setupButton() const { return setup_; }

signals:
    void setupRequested();

private:
    Lamp* lamp_;
    QLabel* headline_;
    QLabel* secondLine_;
    QPushButton* setup_;
    bool secondLineSecondary_ = false;
};

}  // namespace korvane::views
