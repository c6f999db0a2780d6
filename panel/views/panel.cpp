#include "panel/views/panel.h"

#include "panel/views/action_row.h"
#include "panel/views/brushed_metal.h"
#include "panel/views/channel_mode_picker.h"
#include "panel/views/device_picker.h"
#include "panel/views/error_area.h"
#include "panel/views/footer.h"
#include "panel/views/header_bar.h"
#include "panel/views/help_sheet.h"
#include "panel/views/interface_preferences.h"
#include "panel/views/knob_group.h"
#include "panel/views/listening_device.h"
#include "panel/views/meter_pair.h"
#include "panel/views/model_watcher.h"
#include "panel/views/settings_panel.h"
#include "panel/views/signal_tile.h"
#include "panel/views/status_block.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QScrollArea>
#include <QVBoxLayout>

namespace korvane::views {

Panel::Panel(PanelEnvironment environment, QWidget* parent)
    : QWidget(parent), audio_(environment.audio), interface_(environment.interface) {
    watcher_ = new ModelWatcher(audio_, this);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setFocusPolicy(Qt::NoFocus);  // a Tab stop that shows nothing and does nothing
    auto* content = new BrushedMetal;
    buildColumn(content, environment);
    scroll_->setWidget(content);
    outer->addWidget(scroll_);

    connect(watcher_, &ModelWatcher::changed, this, &Panel::refresh);
    connect(&interface_, &InterfacePreferences::compactChanged, this, &Panel::arrange);
    connect(header_, &HeaderBar::layoutToggleRequested, this, [this] { interface_.setCompact(!compact_); });
    connect(header_, &HeaderBar::settingsRequested, this, &Panel::showSettings);
    connect(status_, &StatusBlock::setupRequested, this, &Panel::showHelp);
    connect(footer_, &Footer::helpRequested, this, &Panel::showHelp);

    compact_ = !interface_.compact();  // so that arrange() lays out either way
    arrange(interface_.compact());
    refresh();
}

Panel::~Panel() = default;

void Panel::buildColumn(QWidget* content, const PanelEnvironment& environment) {
    column_ = new QVBoxLayout(content);
    column_->setSpacing(12);

    header_ = new HeaderBar(environment.brandImage, content);
    status_ = new StatusBlock(content);
    column_->addWidget(header_);
    column_->addWidget(status_);

    // The signal chain: source, the knob between, DAW input. The compact layout keeps the knob.
    auto* chain = new QHBoxLayout;
    chain->setSpacing(22);
    sourceTile_ = new SignalTile(Symbol::SpeakerWave, QStringLiteral("AUDIO SOURCE"), content);
    dawTile_ = new SignalTile(Symbol::Waveform, QStringLiteral("DAW INPUT"), content);
    dawTile_->setTitle(QStringLiteral("KORVANE · Input 1–2"));
    knobGroup_ = new KnobGroup(audio_, content);
    chain->addStretch(1);
    chain->addWidget(sourceTile_, 0, Qt::AlignVCenter);
    chain->addWidget(knobGroup_);
    chain->addWidget(dawTile_, 0, Qt::AlignVCenter);
    chain->addStretch(1);
    column_->addLayout(chain);

    channelMode_ = new ChannelModePicker(audio_, content);
    column_->addWidget(channelMode_);

    pickers_ = new Surface(content);
    auto* pickerRow = new QHBoxLayout(pickers_);
    pickerRow->setContentsMargins(0, 0, 0, 0);  // the surface pads
    pickerRow->setSpacing(20);
    sourcePicker_ = new DevicePicker(QStringLiteral("AUDIO SOURCE"), QStringLiteral("Audio source"), pickers_);
    outputPicker_ =
        new DevicePicker(QStringLiteral("LISTENING OUTPUT"), QStringLiteral("Routing listening output"), pickers_);
    pickerRow->addWidget(sourcePicker_, 1);
    pickerRow->addWidget(outputPicker_, 1);
    column_->addWidget(pickers_);
    connect(sourcePicker_, &DevicePicker::chosen, this, [this](const std::string& uid) { audio_.setSelectedInput(uid); });
    connect(outputPicker_, &DevicePicker::chosen, this, [this](const std::string& uid) { audio_.setSelectedOutput(uid); });

    actionRow_ = new ActionRow(audio_, content);
    startStop_ = new StartStopButton(audio_, content);
    column_->addWidget(actionRow_);

    meters_ = new MeterPair(audio_, content);
    listening_ = new ListeningDevice(audio_, content);
    metersRow_ = new QBoxLayout(QBoxLayout::LeftToRight);
    metersRow_->addWidget(meters_, 3);
    metersRow_->addWidget(listening_, 2);
    column_->addLayout(metersRow_);

    compactStartSlot_ = new QHBoxLayout;
    compactStartSlot_->setContentsMargins(0, 0, 0, 0);
    column_->addLayout(compactStartSlot_);

    errorArea_ = new ErrorArea(audio_, content);
    column_->addWidget(errorArea_);
    column_->addStretch(1);
    footer_ = new Footer(environment.bundleInfo, content);
    column_->addWidget(footer_);
}

void Panel::arrange(bool compact) {
    if (compact == compact_) return;
    compact_ = compact;
    header_->setCompact(compact);
    status_->setCompact(compact);
    for (QWidget* fullOnly : std::initializer_list<QWidget*>{sourceTile_, dawTile_, channelMode_, pickers_, actionRow_})
        fullOnly->setVisible(!compact);

    // The start/stop button ends the action row in the full layout and follows the meters in
    // the compact one.
    actionRow_->startStopSlot()->removeWidget(startStop_);
    compactStartSlot_->removeWidget(startStop_);
    if (compact) {
        compactStartSlot_->addWidget(startStop_);
    } else {
        actionRow_->startStopSlot()->addWidget(startStop_);
    }
    // A move to another parent hides a widget until the event loop turns; show it now.
    startStop_->show();

    metersRow_->setDirection(compact ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
    metersRow_->setSpacing(compact ? 20 : 24);
    // At the compact layout's minimum width the meters' headers need all but 12 px of each side.
    column_->setContentsMargins(compact ? 12 : 26, compact ? 12 : 16, compact ? 12 : 26, 14);
    setMinimumSize(compact ? kMinimumWidthCompact : kMinimumWidthFull, kMinimumHeight);
    scroll_->widget()->setMinimumWidth(minimumWidth());
}

void Panel::refresh() {
    status_->refresh(audio_);
    sourceTile_->setTitle(QString::fromStdString(sourceTileTitle(audio_)));
    sourceTile_->setSubtitle(QString::fromStdString(sourceTileSubtitle(audio_)));
    dawTile_->setSubtitle(QString::fromStdString(dawTileSubtitle(audio_)));
    knobGroup_->refresh(audio_);
    channelMode_->refresh(audio_);
    sourcePicker_->setItems(sourcePickerItems(audio_), audio_.selectedInput());
    outputPicker_->setItems(outputPickerItems(audio_), audio_.selectedOutput());
    actionRow_->refresh(audio_);
    startStop_->refresh(audio_);
    meters_->refresh(audio_);
    listening_->refresh(audio_);
    errorArea_->refresh(audio_);
    footer_->refresh(audio_);
}

HelpSheet* Panel::helpSheet() const { return help_; }
SettingsSheet* Panel::settingsSheet() const { return settings_; }

void Panel::showHelp() {
    if (help_) return help_->raise();
    help_ = new HelpSheet(audio_, *watcher_, this);
    help_->setAttribute(Qt::WA_DeleteOnClose);
    help_->open();
}

void Panel::showSettings() {
    if (settings_) return settings_->raise();
    settings_ = new SettingsSheet(audio_, interface_, *watcher_, this);
    settings_->setAttribute(Qt::WA_DeleteOnClose);
    connect(settings_, &SettingsSheet::completelyQuitRequested, this, &Panel::completelyQuitRequested);
    settings_->open();
}

}  // namespace korvane::views
