#include "panel/views/meter.h"

#include "panel/views/appearance.h"
#include "panel/views/colors.h"
#include "panel/views/lamp.h"
#include "panel/views/meter_bar.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace korvane::views {

namespace {
const char* const kSideNames[2] = {"left", "right"};
const char* const kSideLetters[2] = {"L", "R"};
}  // namespace

Meter::Meter(const QString& title, QWidget* parent) : QWidget(parent), title_(title) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);

    auto* header = new QHBoxLayout;
    header->setSpacing(6);
    auto* titleLabel = new QLabel(title, this);
    titleLabel->setFont(captionFont(*this));
    makeSecondary(*titleLabel);
    auto* scale = new QLabel(QStringLiteral("0 dBFS"), this);
    scale->setFont(captionFont(*this, 8, false));
    makeSecondary(*scale);
    reset_ = new QPushButton(QStringLiteral("RESET PEAKS"), this);
    reset_->setFont(captionFont(*this, 7.5));
    reset_->setAccessibleName(QStringLiteral("Reset ") + title + QStringLiteral(" peak and clipping indicators"));
    reset_->setCursor(Qt::PointingHandCursor);
    makeBordered(*reset_);
    reset_->setFixedHeight(20);
    connect(reset_, &QPushButton::clicked, this, &Meter::resetRequested);
    header->addWidget(titleLabel);
    header->addStretch(1);
    header->addWidget(scale);
    header->addWidget(reset_);
    column->addLayout(header);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(6);
    grid->setColumnStretch(1, 1);
    const int levelWidth = fontMetrics().horizontalAdvance(QStringLiteral("-88.8")) + 6;
    for (int side = 0; side < 2; ++side) {
        auto* letter = new QLabel(QString::fromLatin1(kSideLetters[side]), this);
        letter->setFont(captionFont(*this, 7.5));
        makeSecondary(*letter);
        bars_[side] = new MeterBar(this);
        bars_[side]->setAccessibleName(title + QLatin1Char(' ') + QString::fromLatin1(kSideNames[side]));
        levels_[side] = new QLabel(QStringLiteral("−∞"), this);
        levels_[side]->setFont(textFont(*this, 8.5));
        levels_[side]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        levels_[side]->setMinimumWidth(levelWidth);
        lamps_[side] = new Lamp(7, this);
        lamps_[side]->setColor(colors::unlitLamp());
        lamps_[side]->setAccessibleName(title + QLatin1Char(' ') + QString::fromLatin1(kSideNames[side]) +
                                        QStringLiteral(" clip"));
        lamps_[side]->setValueText(QStringLiteral("No clipping"));
        grid->addWidget(letter, side, 0);
        grid->addWidget(bars_[side], side, 1);
        grid->addWidget(levels_[side], side, 2);
        grid->addWidget(lamps_[side], side, 3, Qt::AlignCenter);
    }
    column->addLayout(grid);
    setChannels({});
}

void Meter::setChannels(const std::array<Channel, 2>& channels) {
    for (int side = 0; side < 2; ++side) {
        const Channel& channel = channels[side];
        QString value = channel.levelText + QStringLiteral(" dBFS");
        if (channel.clipped) value += QStringLiteral(", clipping detected");
        bars_[side]->setReading(channel.fraction, value);
        levels_[side]->setText(channel.levelText);
        lamps_[side]->setColor(channel.clipped ? colors::clipRed() : colors::unlitLamp());
        lamps_[side]->setValueText(channel.clipped ? QStringLiteral("Clipping detected") : QStringLiteral("No clipping"));
    }
}

}  // namespace korvane::views
