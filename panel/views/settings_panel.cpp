#include "panel/views/settings_panel.h"

#include "panel/views/appearance.h"
#include "panel/views/brushed_metal.h"
#include "panel/views/interface_preferences.h"
#include "panel/views/model_watcher.h"
#include "panel/views/settings_section.h"
#include "panel/views/wording_text.h"

#include <QCheckBox>
#include <QClipboard>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace korvane::views {

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

QLabel* link(const QString& href, const QString& label, QWidget* parent) {
    auto* l = new QLabel(QStringLiteral("<a href=\"%1\">%2</a>").arg(href.toHtmlEscaped(), label.toHtmlEscaped()), parent);
    l->setTextFormat(Qt::RichText);
    l->setOpenExternalLinks(true);
    l->setTextInteractionFlags(Qt::TextBrowserInteraction);
    return l;
}

}  // namespace

SettingsPanel::SettingsPanel(AudioModel& audio, InterfacePreferences& interface, ModelWatcher* watcher,
                             QWidget* parent)
    : QWidget(parent), audio_(audio), interface_(interface) {
    if (!watcher) watcher = new ModelWatcher(audio, this);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFocusPolicy(Qt::NoFocus);  // a Tab stop that shows nothing and does nothing
    scroll->setWidget(buildContent());
    outer->addWidget(scroll);
    resize(kWidth, kHeight);

    connect(watcher, &ModelWatcher::changed, this, &SettingsPanel::refresh);
    connect(&interface_, &InterfacePreferences::compactChanged, this, &SettingsPanel::refresh);
    refresh();
}

QWidget* SettingsPanel::buildContent() {
    auto* content = new BrushedMetal;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(20, 18, 20, 20);
    column->setSpacing(14);

    auto* top = new QHBoxLayout;
    auto* title = new QLabel(QStringLiteral("Settings"), content);
    title->setFont(textFont(*this, 17, 700));
    done_ = new QPushButton(QStringLiteral("Done"), content);
    makeProminent(*done_);
    done_->setMinimumWidth(84);
    connect(done_, &QPushButton::clicked, this, &SettingsPanel::doneRequested);
    top->addWidget(title);
    top->addStretch(1);
    top->addWidget(done_);
    column->addLayout(top);

    buildAppearance(content);
    buildAudioConfiguration(content);
    buildRecovery(content);
    buildSupport(content);
    column->addStretch(1);
    return content;
}

void SettingsPanel::buildAppearance(QWidget* content) {
    auto* section = new SettingsSection(QStringLiteral("Appearance & devices"), content);
    compact_ = new QCheckBox(QStringLiteral("Use compact view"), section);
    remember_ = new QCheckBox(QStringLiteral("Remember selected devices"), section);
    section->rows()->addWidget(compact_);
    section->rows()->addWidget(remember_);
    section->addNote(paragraphOf({qtText(platform::wording().settingsAutomaticStart),
                                  QStringLiteral("Use Stop audio to pause routing and Start audio to resume. Closing "
                                                 "the last window or choosing Quit KORVANE stops audio and closes "
                                                 "the routing helper.")}));
    auto* buttons = new QHBoxLayout;
    refreshDevices_ = new QPushButton(QStringLiteral("Refresh audio devices"), section);
    quit_ = new QPushButton(QStringLiteral("Completely quit KORVANE"), section);
    for (QPushButton* button : {refreshDevices_, quit_}) {
        makeBordered(*button);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    section->rows()->addLayout(buttons);
    content->layout()->addWidget(section);

    connect(compact_, &QCheckBox::clicked, this, [this](bool on) { interface_.setCompact(on); });
    connect(remember_, &QCheckBox::clicked, this, [this](bool on) { audio_.setRememberDevices(on); });
    connect(refreshDevices_, &QPushButton::clicked, this, [this] { audio_.refreshDevices(); });
    connect(quit_, &QPushButton::clicked, this, [this] {
        emit doneRequested();
        emit completelyQuitRequested();
    });
}

void SettingsPanel::buildAudioConfiguration(QWidget* content) {
    auto* section = new SettingsSection(QStringLiteral("Audio configuration"), content);
    matchRate_ = new QCheckBox(QStringLiteral("Automatically match device sample rate"), section);
    section->rows()->addWidget(matchRate_);
    section->addNote(QStringLiteral(
        "Matches KORVANE to the selected listening device, or the hardware input when listening is off. Apply "
        "changes or restart audio after changing this setting. Supported rates: 44.1, 48, 88.2, 96, 176.4 and "
        "192 kHz. Physical device rates are not changed."));
    QFormLayout* form = nullptr;
    sampleRate_ = section->addValue(QStringLiteral("Sample rate"), form);
    buffer_ = section->addValue(QStringLiteral("Driver buffer"), form);
    mode_ = section->addValue(QStringLiteral("Mode"), form);
    auto* preserved = new QLabel(QStringLiteral("DAW level preserved"), section);
    preserved->setFont(textFont(*this, 9));
    makeSecondary(*preserved);
    form->addRow(QString(), preserved);
    section->addNote(QStringLiteral(
        "Set your interface’s sample rate and buffer in your DAW’s audio preferences. Automatic matching follows "
        "that device’s rate. The DAW may use a different buffer from the driver value shown here."));
    section->addNote(QStringLiteral("0 dB preserves the source level. Listening volume controls the selected "
                                    "device’s playback and does not change the DAW input."));
    content->layout()->addWidget(section);
    connect(matchRate_, &QCheckBox::clicked, this, [this](bool on) { audio_.setAutomaticallyMatchSampleRate(on); });
}

void SettingsPanel::buildRecovery(QWidget* content) {
    const platform::Wording& words = platform::wording();
    auto* section = new SettingsSection(qtText(words.restorePlaybackTitle), content);
    section->addNote(qtText(words.restorePlaybackNote));
    recoveryTarget_ = new QLabel(section);
    recoveryTarget_->setFont(textFont(*this, 10.5, 600));
    section->rows()->addWidget(recoveryTarget_);
    restore_ = new QPushButton(qtText(words.restoreOutputButton), section);
    makeBordered(*restore_);
    section->rows()->addWidget(restore_, 0, Qt::AlignLeft);
    section->addNote(QStringLiteral(
        "This requests routing to stop and keeps volume unchanged. If listening is muted, unmute it separately."));
    content->layout()->addWidget(section);
    connect(restore_, &QPushButton::clicked, this, [this] { audio_.restoreMacOutput(); });
}

void SettingsPanel::buildSupport(QWidget* content) {
    auto* section = new SettingsSection(QStringLiteral("Support & diagnostics"), content);
    const QString address = QString::fromLatin1(kSupportAddress);
    auto* links = new QHBoxLayout;
    links->setSpacing(18);
    links->addWidget(link(QStringLiteral("mailto:") + address, address, section));
    links->addWidget(link(QString::fromLatin1(kWebsite), QStringLiteral("RAVLIN website"), section));
    links->addWidget(link(QString::fromLatin1(kPrivacyPage), QStringLiteral("Privacy policy"), section));
    links->addStretch(1);
    section->rows()->addLayout(links);
    section->addNote(QStringLiteral(
        "Diagnostics contain app and audio status, not recorded audio. Review the text before sharing it."));
    copy_ = new QPushButton(QStringLiteral("Copy diagnostics"), section);
    makeBordered(*copy_);
    copy_->setMinimumWidth(140);
    section->rows()->addWidget(copy_, 0, Qt::AlignLeft);
    content->layout()->addWidget(section);
    connect(copy_, &QPushButton::clicked, this, &SettingsPanel::copyDiagnostics);
}

void SettingsPanel::copyDiagnostics() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QString diagnostics = text(audio_.diagnosticsText());
    clipboard->clear();
    clipboard->setText(diagnostics);
    // The clipboard reports no failure of its own; reading the text back is its success result.
    copied_ = clipboard->text() == diagnostics;
    refresh();
}

void SettingsPanel::refresh() {
    compact_->setChecked(interface_.compact());
    remember_->setChecked(audio_.rememberDevices());
    matchRate_->setChecked(audio_.automaticallyMatchSampleRate());
    sampleRate_->setText(text(sampleRateText(audio_)));
    buffer_->setText(text(driverBufferText(audio_)));
    mode_->setText(text(modeText(audio_)));
    recoveryTarget_->setText(text(recoveryTargetText(audio_)));
    restore_->setEnabled(restoreButtonEnabled(audio_));
    copy_->setText(copied_ ? QStringLiteral("Copied") : QStringLiteral("Copy diagnostics"));
}

SettingsSheet::SettingsSheet(AudioModel& audio, InterfacePreferences& interface, ModelWatcher& watcher,
                             QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Settings"));
    setWindowModality(Qt::WindowModal);
    setFixedSize(SettingsPanel::kWidth, SettingsPanel::kHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    panel_ = new SettingsPanel(audio, interface, &watcher, this);
    layout->addWidget(panel_);
    connect(panel_, &SettingsPanel::doneRequested, this, &QDialog::accept);
    connect(panel_, &SettingsPanel::completelyQuitRequested, this, &SettingsSheet::completelyQuitRequested);
}

}  // namespace korvane::views
