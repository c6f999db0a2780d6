#include "panel/views/channel_mode_picker.h"

#include "panel/views/appearance.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::views {

ChannelModePicker::ChannelModePicker(AudioModel& audio, QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(5);

    segments_ = new QWidget(this);
    segments_->setFixedWidth(kWidth);
    segments_->setAccessibleName(QStringLiteral("Channel mode"));
    auto* row = new QHBoxLayout(segments_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    stereo_ = new QPushButton(QStringLiteral("Stereo · separate L / R"), segments_);
    mono_ = new QPushButton(QStringLiteral("Mono · L + R"), segments_);
    for (QPushButton* segment : {stereo_, mono_}) {
        segment->setCheckable(true);
        segment->setMinimumHeight(28);
        row->addWidget(segment, 1);
    }
    // A click asks for the mode; the checked segment is then set from the model alone.
    connect(stereo_, &QPushButton::clicked, this, [this, &audio] {
        audio.setMono(false);
        refresh(audio);
    });
    connect(mono_, &QPushButton::clicked, this, [this, &audio] {
        audio.setMono(true);
        refresh(audio);
    });

    auto* caption = new QLabel(QStringLiteral("DAW level preserved"), this);
    caption->setFont(textFont(*this, 9));
    caption->setAlignment(Qt::AlignCenter);
    makeSecondary(*caption);
    column->addWidget(segments_, 0, Qt::AlignHCenter);
    column->addWidget(caption);
}

void ChannelModePicker::refresh(const AudioModel& audio) {
    stereo_->setChecked(!audio.mono());
    mono_->setChecked(audio.mono());
    segments_->setEnabled(channelModeEnabled(audio));
    if (shownMono_ == int(audio.mono())) return;
    shownMono_ = int(audio.mono());
    for (QPushButton* segment : {stereo_, mono_}) {
        const bool chosen = segment->isChecked();
        QPalette p = palette();
        if (chosen) p.setColor(QPalette::Button, QColor::fromRgbF(0.36, 0.37, 0.41));
        segment->setPalette(p);
        segment->setFont(textFont(*this, font().pointSizeF(), chosen ? 600 : 400));
    }
}

}  // namespace korvane::views
