#include "panel/views/knob_group.h"

#include "panel/views/appearance.h"
#include "panel/views/icons.h"
#include "panel/views/knob.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::views {

KnobGroup::KnobGroup(AudioModel& audio, QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    knob_ = new Knob(this);
    caption_ = new QLabel(QStringLiteral("LISTENING VOLUME"), this);
    caption_->setFont(captionFont(*this));
    caption_->setAlignment(Qt::AlignCenter);
    makeSecondary(*caption_);

    auto* row = new QHBoxLayout;
    row->setSpacing(10);
    mute_ = new QPushButton(this);
    mute_->setIconSize(QSize(14, 14));
    makeBordered(*mute_);
    mute_->setMinimumWidth(96);
    level_ = new QLabel(this);
    level_->setFont(textFont(*this, 11, 600));
    level_->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("100%")) + 8);
    level_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addStretch(1);
    row->addWidget(mute_);
    row->addWidget(level_);
    row->addStretch(1);

    column->addWidget(knob_, 0, Qt::AlignHCenter);
    column->addWidget(caption_);
    column->addLayout(row);

    // The model takes the new level at once, but the view follows it only when the event loop
    // turns; fast wheel or key input may arrive in between. The knob shows the model's level
    // right away, so the next step adds to it rather than to a level it has left behind.
    connect(knob_, &Knob::levelRequested, this, [this, &audio](double level) {
        audio.setListeningLevel(float(level));
        knob_->setLevel(audio.displayedListeningLevel());
    });
    connect(mute_, &QPushButton::clicked, this, [&audio] { audio.toggleListeningMute(); });
}

void KnobGroup::refresh(const AudioModel& audio) {
    const bool muted = audio.isListeningMuted();
    knob_->setLevel(audio.displayedListeningLevel());
    knob_->setMuted(muted);
    caption_->setText(muted ? QStringLiteral("MUTED") : QStringLiteral("LISTENING VOLUME"));
    if (muteState_ != int(muted)) {
        muteState_ = int(muted);
        mute_->setText(muted ? QStringLiteral("Unmute") : QStringLiteral("Mute"));
        mute_->setIcon(icon(muted ? Symbol::SpeakerSlash : Symbol::SpeakerWave));
    }
    level_->setText(QString::fromStdString(listeningLevelText(audio)));
}

}  // namespace korvane::views
