#include "panel/views/signal_tile.h"

#include "panel/views/appearance.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace korvane::views {

SignalTile::SignalTile(Symbol symbol, const QString& caption, QWidget* parent) : Surface(parent) {
    setFixedWidth(kWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);  // the surface pads
    column->setSpacing(4);

    auto* top = new QHBoxLayout;
    top->setSpacing(8);
    auto* glyph = new QLabel(this);
    glyph->setPixmap(icon(symbol).pixmap(QSize(20, 20)));
    auto* captionLabel = new QLabel(caption, this);
    captionLabel->setFont(captionFont(*this));
    makeSecondary(*captionLabel);
    top->addWidget(glyph);
    top->addWidget(captionLabel, 1);
    column->addLayout(top);
    column->addSpacing(4);

    title_ = new QLabel(this);
    title_->setFont(textFont(*this, 11, 600));
    title_->setWordWrap(true);
    subtitle_ = new QLabel(this);
    subtitle_->setFont(textFont(*this, 9.5));
    makeSecondary(*subtitle_);
    column->addWidget(title_);
    column->addWidget(subtitle_);
    setAccessibleName(caption);
}

void SignalTile::setTitle(const QString& title) { title_->setText(title); }
void SignalTile::setSubtitle(const QString& subtitle) { subtitle_->setText(subtitle); }
QString SignalTile::title() const { return title_->text(); }
QString SignalTile::subtitle() const { return subtitle_->text(); }

}  // namespace korvane::views
