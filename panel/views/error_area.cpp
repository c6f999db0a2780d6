#include "panel/views/error_area.h"

#include "panel/views/appearance.h"
#include "panel/views/colors.h"
#include "panel/views/icons.h"
#include "panel/views/wording_text.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::views {

ErrorArea::ErrorArea(AudioModel& audio, QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(4, 0, 4, 0);
    column->setSpacing(8);

    errorRow_ = new QWidget(this);
    auto* row = new QHBoxLayout(errorRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    auto* glyph = new QLabel(errorRow_);
    glyph->setPixmap(tintedSymbol(Symbol::ExclamationCircleFill, QSize(16, 16), colors::orange()));
    error_ = new QLabel(errorRow_);
    error_->setWordWrap(true);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    error_->setFont(textFont(*this, 10.5));
    row->addWidget(glyph, 0, Qt::AlignTop);
    row->addWidget(error_, 1);
    column->addWidget(errorRow_);

    restore_ = new QPushButton(qtText(platform::wording().restoreOutputButton), this);
    makeBordered(*restore_);
    column->addWidget(restore_, 0, Qt::AlignLeft);

    recovery_ = new QLabel(this);
    recovery_->setWordWrap(true);
    recovery_->setFont(textFont(*this, 9));
    recovery_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    makeSecondary(*recovery_);
    column->addWidget(recovery_);

    connect(restore_, &QPushButton::clicked, this, [&audio] { audio.restoreMacOutput(); });
}

void ErrorArea::refresh(const AudioModel& audio) {
    const QString error = QString::fromStdString(audio.error());
    error_->setText(error);
    errorRow_->setVisible(!error.isEmpty());
    restore_->setVisible(restoreButtonVisible(audio));
    restore_->setEnabled(restoreButtonEnabled(audio));
    const QString recovery = QString::fromStdString(audio.recoveryMessage());
    recovery_->setText(recovery);
    recovery_->setVisible(!recovery.isEmpty());
    setVisible(!error.isEmpty() || restore_->isVisibleTo(this) || !recovery.isEmpty());
}

}  // namespace korvane::views
