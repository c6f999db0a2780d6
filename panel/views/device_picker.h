// A captioned drop-down of devices: items with labels and values (device UIDs), the current value
// shown as selected. Choosing an item emits `chosen`; setting items or the value does not.
#pragma once

#include "panel/views/presentation.h"

#include <QWidget>

#include <vector>

class QComboBox;
class QLabel;

namespace korvane::views {

class DevicePicker final : public QWidget {
    Q_OBJECT
public:
    // An empty caption shows none; `accessibleName` names the drop-down.
    DevicePicker(const QString& caption, const QString& accessibleName, QWidget* parent = nullptr);

    // Replaces the items only when they differ, then selects the item with `value` (none when no
    // item has it).
    void setItems(const std::vector<PickerItem>& items, const std::string& value);

    QComboBox* comboBox() const { return combo_; }
    std::vector<PickerItem> items() const { return items_; }

signals:
    void chosen(const std::string& value);

private:
    QComboBox* combo_;
    std::vector<PickerItem> items_;
};

}  // namespace korvane::views
