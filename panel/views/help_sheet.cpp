#include "panel/views/help_sheet.h"

#include "panel/views/appearance.h"
#include "panel/views/colors.h"
#include "panel/views/icons.h"
#include "panel/views/model_watcher.h"
#include "panel/views/wording_text.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace korvane::views {

namespace {

QLabel* paragraph(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setFont(textFont(*parent, 10));
    return label;
}

QLabel* heading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(textFont(*parent, 11.5, 600));
    return label;
}

}  // namespace

HelpSheet::HelpSheet(AudioModel& audio, ModelWatcher& watcher, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Connect your DAW"));
    setWindowModality(Qt::WindowModal);
    resize(560, 720);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 16);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFocusPolicy(Qt::NoFocus);  // a Tab stop that shows nothing and does nothing
    auto* content = new QWidget(scroll);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(24, 22, 24, 12);
    column->setSpacing(12);

    auto* title = new QLabel(QStringLiteral("Connect your DAW"), content);
    title->setFont(textFont(*this, 16, 700));
    column->addWidget(title);

    driverNotice_ = new QWidget(content);
    auto* notice = new QHBoxLayout(driverNotice_);
    notice->setContentsMargins(0, 0, 0, 0);
    notice->setSpacing(10);
    auto* mark = new QLabel(driverNotice_);
    mark->setPixmap(tintedSymbol(Symbol::ExclamationCircle, QSize(20, 20), colors::orange()));
    auto* noticeText = new QVBoxLayout;
    noticeText->setSpacing(6);
    auto* missing = paragraph(QStringLiteral("The KORVANE virtual driver is not installed or has not loaded."), driverNotice_);
    missing->setFont(textFont(*this, 10.5, 600));
    noticeText->addWidget(missing);
    noticeText->addWidget(paragraph(
        QStringLiteral("Install the separate KORVANE driver by following RAVLIN’s setup instructions, and restart "
                       "the computer after a fresh installation. If the driver stays unavailable, contact "
                       "support@korvane.example."),
        driverNotice_));
    notice->addWidget(mark, 0, Qt::AlignTop);
    notice->addLayout(noticeText, 1);
    column->addWidget(driverNotice_);

    column->addWidget(paragraph(QStringLiteral("1. Choose your source and listening output, then Start audio.\n"
                                               "2. In your DAW choose KORVANE input, stereo channels 1–2.\n"
                                               "3. Keep DAW playback on your speakers or audio interface."),
                                content));
    const platform::Wording& words = platform::wording();
    column->addWidget(paragraph(paragraphOf({QStringLiteral("Use one monitoring path to avoid doubled sound. Never send "
                                                            "DAW playback back into KORVANE."),
                                             qtText(words.microphoneAccessNote)}),
                                content));

    column->addWidget(heading(QStringLiteral("One audio-device selector?"), content));
    column->addWidget(paragraph(QStringLiteral("Create a combined device for your DAW. Select input 1–2 and playback "
                                               "output 3–4. Do not use playback output 1–2."),
                                content));
    create_ = new QPushButton(QStringLiteral("Create combined DAW device"), content);
    makeBordered(*create_);
    column->addWidget(create_, 0, Qt::AlignLeft);
    message_ = paragraph(QString(), content);
    message_->setFont(textFont(*this, 9.5));
    makeSecondary(*message_);
    message_->setVisible(false);
    column->addWidget(message_);

    column->addWidget(heading(QStringLiteral("Gain and listening"), content));
    column->addWidget(paragraph(
        paragraphOf({QStringLiteral("The main knob controls listening volume on the selected physical device. The DAW "
                                    "receives the source at unity gain, so changing listening volume does not change "
                                    "the recording level."),
                     qtText(words.muteOutlastsThePanel)}),
        content));
    column->addWidget(paragraph(
        paragraphOf({QStringLiteral("Closing the last window or choosing Quit KORVANE stops audio and closes the routing "
                                    "helper."),
                     qtText(words.helpAutomaticStart),
                     QStringLiteral("Apply changes after choosing a different device.")}),
        content));
    column->addWidget(paragraph(
        QStringLiteral("Meters show polled driver peaks with a two-second hold. Reset peaks clears the held levels "
                       "and clip indicators; these are not a sample-accurate clipping log. Input in use reports "
                       "activity at the virtual input, not a particular DAW’s identity."),
        content));
    column->addStretch(1);
    scroll->setWidget(content);
    outer->addWidget(scroll, 1);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(24, 0, 24, 0);
    done_ = new QPushButton(QStringLiteral("Done"), this);
    // "Done" is the default action always: in a dialog every button is an auto-default one unless
    // told otherwise, which would hand Return to whichever button has the focus.
    for (QPushButton* button : {create_, done_}) button->setAutoDefault(false);
    done_->setDefault(true);
    makeProminent(*done_);
    done_->setMinimumWidth(96);
    buttons->addStretch(1);
    buttons->addWidget(done_);
    outer->addLayout(buttons);

    connect(done_, &QPushButton::clicked, this, &QDialog::accept);
    connect(create_, &QPushButton::clicked, this, [&audio] { audio.createDAWDevice(); });
    connect(&watcher, &ModelWatcher::changed, this, [this, &audio] { refresh(audio); });
    refresh(audio);
}

void HelpSheet::refresh(const AudioModel& audio) {
    driverNotice_->setVisible(audio.device() == 0);
    create_->setEnabled(createDAWDeviceEnabled(audio));
    const QString message = QString::fromStdString(audio.dawDeviceMessage());
    message_->setText(message);
    message_->setVisible(!message.isEmpty());
}

}  // namespace korvane::views
