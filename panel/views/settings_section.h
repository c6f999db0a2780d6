// One titled group of the settings view, on a surface; its rows are added to `rows()`.
#pragma once

#include "panel/views/surface.h"

class QFormLayout;
class QLabel;
class QVBoxLayout;

namespace korvane::views {

class SettingsSection final : public Surface {
    Q_OBJECT
public:
    SettingsSection(const QString& title, QWidget* parent);

    QVBoxLayout* rows() const { return rows_; }
    // A wrapped explanatory text in the secondary colour, added as the next row.
    QLabel* addNote(const QString& text);
    // A "label: value" row; returns the value's label.
    QLabel* addValue(const QString& label, QFormLayout*& form);

private:
    QVBoxLayout* rows_;
};

}  // namespace korvane::views
