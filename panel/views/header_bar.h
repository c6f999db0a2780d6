// The panel's header: the brand mark (the bundle's "KORVANEBrand.png", or the text mark with a
// maker credit when it cannot be loaded), the layout toggle, the full-screen button and the
// settings button.
#pragma once

#include <QPixmap>
#include <QWidget>

class QLabel;
class QToolButton;

namespace korvane::views {

class FullScreenButton;

class HeaderBar final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kBrandWidthFull = 48;
    static constexpr int kBrandWidthCompact = 36;

    // `brandImage` is the path of the brand image; empty or unreadable shows the text mark.
    explicit HeaderBar(const QString& brandImage, QWidget* parent = nullptr);

    void setCompact(bool compact);

    bool showsBrandImage() const { return !brand_.isNull(); }
    QLabel* brandMark() const { return mark_; }
    QToolButton* settingsButton() const { return settings_; }
    QToolButton* layoutToggle() const { return layout_; }
    FullScreenButton* fullScreenButton() const { return fullScreen_; }

signals:
    void settingsRequested();
    void layoutToggleRequested();

private:
    QPixmap brand_;
    QLabel* mark_;
    QToolButton* settings_;
    QToolButton* layout_;
    FullScreenButton* fullScreen_;
    int compact_ = -1;
};

}  // namespace korvane::views
