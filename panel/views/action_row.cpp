#include "panel/views/action_row.h"

#include "panel/views/appearance.h"
#include "panel/views/icons.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QPushButton>

#include <algorithm>

namespace korvane::views {

ActionRow::ActionRow(AudioModel& audio, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    remember_ = new QCheckBox(QStringLiteral("Remember devices"), this);
    test_ = new QPushButton(icon(Symbol::Play), QStringLiteral("Test sound"), this);
    test_->setToolTip(QStringLiteral("Plays a short stereo tone. Listening volume controls its loudness."));
    test_->setIconSize(QSize(12, 12));
    test_->setMinimumHeight(30);
    makeBordered(*test_);
    apply_ = new QPushButton(QStringLiteral("Apply changes"), this);
    makeProminent(*apply_);
    apply_->setVisible(false);
    slot_ = new QHBoxLayout;
    slot_->setContentsMargins(0, 0, 0, 0);
    row->addWidget(remember_);
    row->addStretch(1);
    row->addWidget(test_);
    row->addWidget(apply_);
    row->addLayout(slot_);

    connect(remember_, &QCheckBox::clicked, this, [&audio](bool on) { audio.setRememberDevices(on); });
    connect(test_, &QPushButton::clicked, this, [&audio] { audio.playTestTone(); });
    connect(apply_, &QPushButton::clicked, this, [&audio] { audio.applyRouting(true); });
}

void ActionRow::refresh(const AudioModel& audio) {
    remember_->setChecked(audio.rememberDevices());
    test_->setEnabled(testSoundEnabled(audio));
    apply_->setVisible(applyChangesVisible(audio));
}

StartStopButton::StartStopButton(AudioModel& audio, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    button_ = new QPushButton(this);
    button_->setObjectName(QStringLiteral("startStopButton"));  // found by end-to-end scripts
    button_->setIconSize(QSize(12, 12));
    makeProminent(*button_);
    // As wide as its longer label, so that it does not move when its label changes.
    int width = 128;
    for (const bool stops : {false, true}) {
        button_->setText(QString::fromStdString(startStopLabel({stops, true})));
        button_->setIcon(icon(stops ? Symbol::Stop : Symbol::Play));
        width = std::max(width, button_->sizeHint().width() + 20);
    }
    button_->setFixedWidth(width);
    row->addWidget(button_);
    connect(button_, &QPushButton::clicked, this, [&audio] { audio.applyRouting(!startStop(audio).stops); });
}

void StartStopButton::refresh(const AudioModel& audio) {
    const StartStop state = startStop(audio);
    if (stops_ != int(state.stops)) {
        stops_ = int(state.stops);
        button_->setText(QString::fromStdString(startStopLabel(state)));
        button_->setIcon(icon(state.stops ? Symbol::Stop : Symbol::Play));
    }
    button_->setEnabled(state.enabled);
}

}  // namespace korvane::views
