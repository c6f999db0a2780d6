// The panel's background: dark brushed metal, fine horizontal grain over the window's base
// colour with a soft sheen. It only paints; children lay out on it as on any widget.
#pragma once

#include <QPixmap>
#include <QWidget>

namespace korvane::views {

class BrushedMetal : public QWidget {
    Q_OBJECT
public:
    explicit BrushedMetal(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent*) override;
};

}  // namespace korvane::views
