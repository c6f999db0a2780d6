// A captioned drop-down of devices: items with labels and values (device UIDs), the current value
// shown as selected. Choosing an item emits `chosen`; setting items or the value does not.
#pragma once

#include "panel/views/presentation.h"

#include <QWidget>

#include <vector>

class QComboBox;
class QHBoxLayout;
class QLabel;

namespace korvane::views {

class DevicePicker final : public QWidget {
    Q_OBJECT
public:
    // The caption stands above the drop-down and labels it for assistive technology under
    // `accessibleName`: on Linux a combo box's own accessible name is its current text, so a screen
    // reader finds what it is for through the label it is labelled by.
    DevicePicker(const QString& caption, const QString& accessibleName, QWidget* parent = nullptr);

    // Replaces the items only when they differ, then selects the item with `value` (none when no
    // item has it).
    void setItems(const std::vector<PickerItem>& items, const std::string& value);

    QComboBox* comboBox() const { return combo_; }
    // The caption's row, for what stands beside the caption (a badge).
    QHBoxLayout* captionRow() const { return captionRow_; }
    std::vector<PickerItem> items() const { return items_; }

signals:
    void chosen(const std::string& value);

private:
    QHBoxLayout* captionRow_;
    QComboBox* combo_;
    std::vector<PickerItem> items_;
};

}  // namespace korvane::views
