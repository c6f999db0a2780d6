#include "panel/views/device_picker.h"

#include "panel/views/appearance.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>

namespace korvane::views {

DevicePicker::DevicePicker(const QString& caption, const QString& accessibleName, QWidget* parent)
    : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    auto* label = new QLabel(caption, this);
    label->setFont(captionFont(*this));
    makeSecondary(*label);
    label->setAccessibleName(accessibleName);
    captionRow_ = new QHBoxLayout;
    captionRow_->addWidget(label);
    captionRow_->addStretch(1);
    column->addLayout(captionRow_);
    combo_ = new QComboBox(this);
    combo_->setAccessibleName(accessibleName);
    label->setBuddy(combo_);  // the labelled-by relation; the label and the combo box are siblings
    combo_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo_->setMinimumContentsLength(12);
    combo_->setMinimumHeight(28);
    column->addWidget(combo_);
    connect(combo_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < int(items_.size())) emit chosen(items_[std::size_t(index)].value);
    });
}

void DevicePicker::setItems(const std::vector<PickerItem>& items, const std::string& value) {
    const QSignalBlocker blocker(combo_);
    if (items != items_) {
        items_ = items;
        combo_->clear();
        for (const PickerItem& item : items_) combo_->addItem(QString::fromStdString(item.label));
    }
    const auto found = std::find_if(items_.begin(), items_.end(), [&](const PickerItem& i) { return i.value == value; });
    combo_->setCurrentIndex(found == items_.end() ? -1 : int(found - items_.begin()));
}

}  // namespace korvane::views
