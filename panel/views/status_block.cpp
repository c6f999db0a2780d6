#include "panel/views/status_block.h"

#include "panel/views/appearance.h"
#include "panel/views/colors.h"
#include "panel/views/lamp.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::views {

StatusBlock::StatusBlock(QWidget* parent) : Surface(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);  // the surface pads
    column->setSpacing(4);
    auto* row = new QHBoxLayout;
    row->setSpacing(9);
    lamp_ = new Lamp(8, this);
    lamp_->setAccessibleName(QStringLiteral("Routing state"));
    headline_ = new QLabel(this);
    headline_->setObjectName(QStringLiteral("statusText"));  // found by end-to-end scripts
    headline_->setFont(textFont(*this, 12, 600));
    headline_->setWordWrap(true);
    setup_ = new QPushButton(QStringLiteral("Setup"), this);
    makeBordered(*setup_);
    setup_->setVisible(false);
    connect(setup_, &QPushButton::clicked, this, &StatusBlock::setupRequested);
    row->addWidget(lamp_, 0, Qt::AlignVCenter);
    row->addWidget(headline_, 1);
    row->addWidget(setup_);
    column->addLayout(row);

    secondLine_ = new QLabel(this);
    secondLine_->setFont(textFont(*this, 9.5));
    secondLine_->setWordWrap(true);
    secondLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    secondLine_->setContentsMargins(17, 0, 0, 0);  // under the headline, past the lamp
    secondLine_->setVisible(false);
    column->addWidget(secondLine_);
}

void StatusBlock::refresh(const AudioModel& audio) {
    headline_->setText(QString::fromStdString(audio.statusText()));

    switch (lampState(audio)) {
        case LampState::Attention:
            lamp_->setColor(colors::orange());
            lamp_->setValueText(QStringLiteral("Needs attention"));
            break;
        case LampState::Running:
            lamp_->setColor(colors::systemGreen());
            lamp_->setValueText(QStringLiteral("Routing"));
            break;
        case LampState::Idle:
            lamp_->setColor(colors::secondaryText());
            lamp_->setValueText(QStringLiteral("Not routing"));
            break;
    }

    const QString second = QString::fromStdString(statusSecondLine(audio));
    const bool secondary = audio.hasPendingChanges();
    if (secondary != secondLineSecondary_) {
        secondLineSecondary_ = secondary;
        secondLine_->setPalette(palette());
        if (secondary) makeSecondary(*secondLine_);
    }
    secondLine_->setText(second);
    secondLine_->setVisible(!second.isEmpty());
    setup_->setVisible(showSetupButton(audio));
}

}  // namespace korvane::views
