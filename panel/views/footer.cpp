#include "panel/views/footer.h"

#include "panel/views/appearance.h"
#include "panel/views/icons.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace korvane::views {

Footer::Footer(const std::optional<platform::BundleInfo>& bundleInfo, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 0, 4, 0);
    auto* lines = new QVBoxLayout;
    lines->setSpacing(1);
    driver_ = new QLabel(this);
    driver_->setFont(textFont(*this, 9));
    makeSecondary(*driver_);
    version_ = new QLabel(QString::fromStdString(views::versionLine(bundleInfo)), this);
    version_->setFont(textFont(*this, 9));
    makeSecondary(*version_);
    lines->addWidget(driver_);
    lines->addWidget(version_);
    // A tool button without a bezel, as the header's are: unlike a flat push button it shows the
    // keyboard focus.
    setup_ = new QToolButton(this);
    setup_->setIcon(icon(Symbol::QuestionCircle));
    setup_->setText(QStringLiteral("DAW setup"));
    setup_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setup_->setAutoRaise(true);
    setup_->setIconSize(QSize(14, 14));
    setup_->setCursor(Qt::PointingHandCursor);
    row->addLayout(lines);
    row->addStretch(1);
    row->addWidget(setup_);
    connect(setup_, &QToolButton::clicked, this, &Footer::helpRequested);
}

void Footer::refresh(const AudioModel& audio) { driver_->setText(QString::fromStdString(views::driverLine(audio))); }

}  // namespace korvane::views
