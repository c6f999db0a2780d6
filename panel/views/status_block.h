// The status block: a state lamp beside the model's status line, a second line for pending
// changes or the route's trouble, and a "Setup" button while the driver is missing. Its height
// does not follow what it says: it keeps room for the longest texts it usually shows, so the
// controls below stay where the pointer found them when the route changes state.
#pragma once

#include "panel/views/presentation.h"
#include "panel/views/surface.h"

class QGridLayout;
class QLabel;
class QPushButton;

namespace korvane::views {

class Lamp;

class StatusBlock final : public Surface {
    Q_OBJECT
public:
    explicit StatusBlock(QWidget* parent = nullptr);

    void refresh(const AudioModel& audio);
    // The compact layout is narrower: it keeps room for a headline of two lines and a second line
    // of two; the full layout for one line of each.
    void setCompact(bool compact);

    Lamp* lamp() const { return lamp_; }
    QLabel* headline() const { return headline_; }
    QLabel* secondLine() const { return secondLine_; }
    QPushButton* setupButton() const { return setup_; }

signals:
    void setupRequested();

private:
    QGridLayout* grid_;
    Lamp* lamp_;
    QLabel* headline_;
    QLabel* secondLine_;
    QPushButton* setup_;
    bool secondLineSecondary_ = false;
};

}  // namespace korvane::views
