#include "panel/views/header_bar.h"

#include "panel/views/appearance.h"
#include "panel/views/full_screen_button.h"
#include "panel/views/icons.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace korvane::views {

namespace {

QToolButton* headerButton(QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setFixedHeight(30);
    button->setIconSize(QSize(16, 16));
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

}  // namespace

HeaderBar::HeaderBar(const QString& brandImage, QWidget* parent) : QWidget(parent) {
    if (!brandImage.isEmpty()) brand_.load(brandImage);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(2, 0, 0, 0);
    row->setSpacing(6);
    mark_ = new QLabel(this);
    row->addWidget(mark_, 0, Qt::AlignVCenter);
    if (brand_.isNull()) {
        // The text mark: the product's name and, beneath it, who makes it.
        mark_->setText(QStringLiteral("KORVANE"));
        QFont word = textFont(*this, 15, 700);
        word.setLetterSpacing(QFont::AbsoluteSpacing, 3);
        mark_->setFont(word);
        auto* credit = new QLabel(QStringLiteral("Audio routing by RAVLIN"), this);
        credit->setFont(textFont(*this, 8));
        makeSecondary(*credit);
        auto* marks = new QVBoxLayout;
        marks->setSpacing(0);
        row->removeWidget(mark_);
        marks->addWidget(mark_);
        marks->addWidget(credit);
        row->addLayout(marks);
    } else {
        mark_->setAccessibleName(QStringLiteral("KORVANE"));
    }
    row->addStretch(1);

    layout_ = headerButton(this);
    layout_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    fullScreen_ = new FullScreenButton(this);
    settings_ = headerButton(this);
    settings_->setFixedWidth(30);
    settings_->setIcon(icon(Symbol::Gear));
    settings_->setAccessibleName(QStringLiteral("Settings"));
    settings_->setToolTip(QStringLiteral("Settings and recovery"));
    row->addWidget(layout_);
    row->addWidget(fullScreen_);
    row->addWidget(settings_);

    connect(settings_, &QToolButton::clicked, this, &HeaderBar::settingsRequested);
    connect(layout_, &QToolButton::clicked, this, &HeaderBar::layoutToggleRequested);
    setCompact(false);
}

void HeaderBar::setCompact(bool compact) {
    if (compact_ == int(compact)) return;
    compact_ = int(compact);
    layout_->setText(compact ? QStringLiteral("Expand") : QStringLiteral("Compact view"));
    layout_->setIcon(icon(compact ? Symbol::ArrowsOutward : Symbol::ArrowsInward));
    layout_->setToolTip(compact ? QStringLiteral("Show full controls") : QStringLiteral("Show compact controls"));
    if (!brand_.isNull()) {
        const int width = compact ? kBrandWidthCompact : kBrandWidthFull;
        const qreal ratio = devicePixelRatioF();
        QPixmap scaled = brand_.scaledToWidth(int(width * ratio), Qt::SmoothTransformation);
        scaled.setDevicePixelRatio(ratio);
        mark_->setPixmap(scaled);
        mark_->setFixedSize(scaled.deviceIndependentSize().toSize());
    }
}

}  // namespace korvane::views
