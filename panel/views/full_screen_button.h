// A header button that toggles its window's full-screen state and follows that state however it
// changes (the button, the window manager, a shortcut): icon, tooltip and accessible name read
// "Exit full screen" while the window is full screen, "Expand to full screen" otherwise.
#pragma once

#include <QPointer>
#include <QToolButton>

namespace korvane::views {

class FullScreenButton final : public QToolButton {
    Q_OBJECT
public:
    explicit FullScreenButton(QWidget* parent = nullptr);
    ~FullScreenButton() override;

    // Toggles the full-screen state of the window the button is in.
    void expand();

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Stops watching the old window and watches the one the button is in now.
    void observeWindow();
    void refresh();

    QPointer<QWidget> observed_;
    bool showingFullScreen_ = false;
    bool initialised_ = false;
};

}  // namespace korvane::views
