#include "panel/views/full_screen_button.h"

#include "panel/views/icons.h"

#include <QEvent>

namespace korvane::views {

FullScreenButton::FullScreenButton(QWidget* parent) : QToolButton(parent) {
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setAutoRaise(true);
    setFixedSize(30, 30);
    setIconSize(QSize(16, 16));
    setCursor(Qt::PointingHandCursor);
    connect(this, &QToolButton::clicked, this, &FullScreenButton::expand);
    refresh();
}

FullScreenButton::~FullScreenButton() {
    if (observed_) observed_->removeEventFilter(this);
}

void FullScreenButton::expand() {
    QWidget* top = window();
    if (!top) return;
    top->setWindowState(top->windowState() ^ Qt::WindowFullScreen);
    refresh();
}

bool FullScreenButton::event(QEvent* event) {
    switch (event->type()) {
        case QEvent::ParentChange:
        case QEvent::Show: observeWindow(); break;
        default: break;
    }
    return QToolButton::event(event);
}

bool FullScreenButton::eventFilter(QObject* watched, QEvent* event) {
    if (watched == observed_ && event->type() == QEvent::WindowStateChange) refresh();
    return QToolButton::eventFilter(watched, event);
}

void FullScreenButton::observeWindow() {
    QWidget* top = window();
    if (top == observed_) return refresh();
    if (observed_) observed_->removeEventFilter(this);
    observed_ = top;
    // The button's own window is itself while it has no parent; that is not a window to follow.
    if (observed_ && observed_ != this) observed_->installEventFilter(this);
    refresh();
}

void FullScreenButton::refresh() {
    const QWidget* top = window();
    const bool fullScreen = top && top != this && top->isFullScreen();
    if (initialised_ && fullScreen == showingFullScreen_) return;
    initialised_ = true;
    showingFullScreen_ = fullScreen;
    const QString text = fullScreen ? QStringLiteral("Exit full screen") : QStringLiteral("Expand to full screen");
    setIcon(views::icon(fullScreen ? Symbol::ArrowsInward : Symbol::ArrowsOutward));
    setToolTip(text);
    setAccessibleName(text);
}

}  // namespace korvane::views
