#include "panel/views/listening_device.h"

#include "panel/views/appearance.h"
#include "panel/views/colors.h"
#include "panel/views/device_picker.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace korvane::views {

ListeningDevice::ListeningDevice(AudioModel& audio, QWidget* parent) : Surface(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);  // the surface pads
    column->setSpacing(8);
    picker_ = new DevicePicker(QStringLiteral("VOLUME DEVICE"), QStringLiteral("Listening volume device"), this);
    picker_->comboBox()->setToolTip(
        QStringLiteral("The main knob controls this device’s playback volume. DAW input level is unchanged."));
    column->addWidget(picker_);
    badge_ = new QLabel(QStringLiteral("MUTED"), this);
    badge_->setFont(captionFont(*this, 7.5));
    badge_->setContentsMargins(6, 1, 6, 1);
    badge_->setAutoFillBackground(true);
    QPalette badgePalette = badge_->palette();
    badgePalette.setColor(QPalette::Window, colors::clipRed());
    badgePalette.setColor(QPalette::WindowText, QColor(Qt::white));
    badge_->setPalette(badgePalette);
    badge_->setVisible(false);
    picker_->captionRow()->insertWidget(1, badge_);

    hint_ = new QLabel(this);
    hint_->setFont(textFont(*this, 9));
    hint_->setWordWrap(true);
    makeSecondary(*hint_);
    column->addWidget(hint_);
    column->addStretch(1);

    connect(picker_, &DevicePicker::chosen, this, [&audio](const std::string& uid) {
        // Only a usable output is taken; the placeholder and a vanished device are ignored.
        if (!isListeningOutput(audio, uid)) return;
        audio.setListeningUID(uid);
        audio.refreshListening();
    });
}

void ListeningDevice::refresh(const AudioModel& audio) {
    badge_->setVisible(audio.isListeningMuted());
    picker_->setItems(listeningPickerItems(audio), audio.listeningUID());
    hint_->setText(QString::fromStdString(audio.listeningHint()));
}

}  // namespace korvane::views
