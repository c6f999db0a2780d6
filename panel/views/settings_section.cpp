#include "panel/views/settings_section.h"

#include "panel/views/appearance.h"

#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace korvane::views {

SettingsSection::SettingsSection(const QString& title, QWidget* parent) : Surface(parent) {
    rows_ = new QVBoxLayout(this);
    rows_->setContentsMargins(0, 0, 0, 0);  // the surface pads
    rows_->setSpacing(9);
    auto* heading = new QLabel(title, this);
    heading->setFont(textFont(*this, 11.5, 600));
    rows_->addWidget(heading);
    setAccessibleName(title);
}

QLabel* SettingsSection::addNote(const QString& text) {
    auto* note = new QLabel(text, this);
    note->setWordWrap(true);
    note->setFont(textFont(*this, 9.5));
    makeSecondary(*note);
    rows_->addWidget(note);
    return note;
}

QLabel* SettingsSection::addValue(const QString& label, QFormLayout*& form) {
    if (!form) {
        form = new QFormLayout;
        form->setHorizontalSpacing(16);
        form->setVerticalSpacing(6);
        form->setLabelAlignment(Qt::AlignLeft);
        rows_->addLayout(form);
    }
    auto* value = new QLabel(this);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* name = new QLabel(label, this);
    makeSecondary(*name);
    form->addRow(name, value);
    return value;
}

}  // namespace korvane::views
