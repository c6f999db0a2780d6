// The panel's main window: the main panel on the shared model, with the application menu
// ("Settings…", "Quit KORVANE"). Opens at 1040 × 860; its minimum size follows the panel's.
#pragma once

#include "panel/views/panel.h"

#include <QMainWindow>

#include <memory>

namespace korvane::app {

class KORVANEApp;

inline constexpr int kDefaultWindowWidth = 1040;
inline constexpr int kDefaultWindowHeight = 860;

class MainWindow final : public QMainWindow {
    Q_OBJECT
public:
    // `audio` and the environment's preferences must outlive the window.
    MainWindow(KORVANEApp& app, std::shared_ptr<panel::AudioModel> audio, views::PanelEnvironment environment);

    views::Panel* panel() const { return panel_; }

signals:
    // The window's content appeared for the first time.
    void contentAppeared();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildMenu(KORVANEApp& app);
    views::Panel* panel_;
    bool appeared_ = false;
};

}  // namespace korvane::app
