// A group of controls set on a rounded, softly shaded plate that sits a little above the
// brushed-metal background. It only paints; the group's widgets are its children.
#pragma once

#include <QWidget>

namespace korvane::views {

class Surface : public QWidget {
    Q_OBJECT
public:
    explicit Surface(QWidget* parent = nullptr);

    static constexpr int kPadding = 16;

protected:
    void paintEvent(QPaintEvent*) override;
};

}  // namespace korvane::views
