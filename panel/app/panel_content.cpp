#include "panel/app/panel_content.h"

#include "panel/audio_model.h"

#include <QApplication>
#include <QLabel>
#include <QPalette>
#include <QStyleFactory>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace korvane::app {
namespace {

// Until the views library provides the panel: the status line, the detail and the start/stop
// button, redrawn once per burst of model changes.
class StatusPanel final : public QWidget {
public:
    StatusPanel(std::shared_ptr<panel::AudioModel> audio, QWidget* parent) : QWidget(parent), audio_(std::move(audio)) {
        setMinimumSize(760, 560);
        auto* layout = new QVBoxLayout(this);
        status_ = new QLabel(this);
        status_->setObjectName(QStringLiteral("statusText"));
        detail_ = new QLabel(this);
        button_ = new QPushButton(this);
        button_->setObjectName(QStringLiteral("startStopButton"));
        layout->addStretch();
        layout->addWidget(status_, 0, Qt::AlignCenter);
        layout->addWidget(detail_, 0, Qt::AlignCenter);
        layout->addWidget(button_, 0, Qt::AlignCenter);
        layout->addStretch();
        connect(button_, &QPushButton::clicked, this, [this] {
            audio_->applyRouting(audio_->routingPhase() != "running");
        });
        subscription_ = audio_->observe([this](panel::Property) {
            if (pending_) return;
            pending_ = true;
            QTimer::singleShot(0, this, [this] {
                pending_ = false;
                redraw();
            });
        });
        redraw();
    }

private:
    void redraw() {
        status_->setText(QString::fromStdString(audio_->statusText()));
        detail_->setText(QString::fromStdString(audio_->routingDetail()));
        button_->setText(audio_->routingPhase() == "running" ? QStringLiteral("Stop audio") : QStringLiteral("Start audio"));
    }

    std::shared_ptr<panel::AudioModel> audio_;
    QLabel* status_;
    QLabel* detail_;
    QPushButton* button_;
    panel::Subscription subscription_;
    bool pending_ = false;
};

class SettingsPlaceholder final : public QWidget {
public:
    SettingsPlaceholder(std::function<void()> dismiss, std::function<void()> completelyQuit, QWidget* parent)
        : QWidget(parent) {
        auto* layout = new QVBoxLayout(this);
        auto* done = new QPushButton(QStringLiteral("Done"), this);
        auto* quit = new QPushButton(QStringLiteral("Completely quit KORVANE"), this);
        layout->addWidget(done);
        layout->addWidget(quit);
        layout->addStretch();
        connect(done, &QPushButton::clicked, this, [dismiss] { dismiss(); });
        connect(quit, &QPushButton::clicked, this, [dismiss, completelyQuit] {
            dismiss();
            completelyQuit();
        });
    }
};

}  // namespace

void applyDarkAppearance(QApplication& application) {
    application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette palette;
    const QColor window(0x1e, 0x20, 0x24), base(0x16, 0x18, 0x1b), text(0xe8, 0xea, 0xee), accent(0x3c, 0xd6, 0xc4);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x2b, 0x2f, 0x36));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::Highlight, accent);
    palette.setColor(QPalette::HighlightedText, base);
    palette.setColor(QPalette::ToolTipBase, base);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x70, 0x74, 0x7a));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x70, 0x74, 0x7a));
    application.setPalette(palette);
}

QWidget* makePanel(const std::shared_ptr<panel::AudioModel>& audio, QWidget* parent) {
    return new StatusPanel(audio, parent);
}

QWidget* makeSettingsPanel(const std::shared_ptr<panel::AudioModel>&, std::function<void()> dismiss,
                           std::function<void()> completelyQuit, QWidget* parent) {
    return new SettingsPlaceholder(std::move(dismiss), std::move(completelyQuit), parent);
}

}  // namespace korvane::app
