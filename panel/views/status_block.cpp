#include "panel/views/status_block.h"

#include "panel/views/appearance.h"
#include "panel/views/colors.h"
#include "panel/views/lamp.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include <algorithm>

namespace korvane::views {

namespace {

// The height of `lines` lines of a label's text, as the label measures its own.
int textHeight(const QLabel& label, int lines) {
    const QString sample = QStringList(lines, QStringLiteral("X")).join(QLatin1Char('\n'));
    return label.fontMetrics().boundingRect(QRect(0, 0, 1000, 1000), Qt::TextWordWrap, sample).height();
}

}  // namespace

StatusBlock::StatusBlock(QWidget* parent) : Surface(parent) {
    grid_ = new QGridLayout(this);
    grid_->setContentsMargins(0, 0, 0, 0);  // the surface pads
    grid_->setHorizontalSpacing(9);
    grid_->setVerticalSpacing(4);
    grid_->setColumnStretch(1, 1);
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
    secondLine_ = new QLabel(this);
    secondLine_->setFont(textFont(*this, 9.5));
    secondLine_->setWordWrap(true);
    secondLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid_->addWidget(lamp_, 0, 0, Qt::AlignVCenter);
    grid_->addWidget(secondLine_, 1, 1);  // under the headline, past the lamp
    setCompact(false);
}

void StatusBlock::setCompact(bool compact) {
    // "Setup" stands beside the headline; in the narrow compact layout, beside the second line, so
    // that the headline keeps its width. Every row keeps room for what it may show: the button,
    // which comes and goes with the driver, and a headline and a second line of one line each,
    // or two each in the compact layout.
    grid_->removeWidget(headline_);
    grid_->removeWidget(setup_);
    grid_->addWidget(headline_, 0, 1, 1, compact ? 2 : 1);
    grid_->addWidget(setup_, compact ? 1 : 0, 2, Qt::AlignTop);
    const int lines = compact ? 2 : 1;
    const int button = std::max(setup_->sizeHint().height(), setup_->minimumHeight());
    headline_->setMinimumHeight(std::max(compact ? 0 : button, textHeight(*headline_, lines)));
    secondLine_->setMinimumHeight(std::max(compact ? button : 0, textHeight(*secondLine_, lines)));
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
    setup_->setVisible(showSetupButton(audio));
}

}  // namespace korvane::views
