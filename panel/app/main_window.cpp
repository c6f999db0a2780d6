#include "panel/app/main_window.h"

#include "panel/app/korvane_app.h"
#include "panel/audio_model.h"

#include <QAction>
#include <QMenuBar>

namespace korvane::app {

MainWindow::MainWindow(KORVANEApp& app, std::shared_ptr<panel::AudioModel> audio, views::PanelEnvironment environment)
    : panel_(new views::Panel(std::move(environment), this)) {
    setWindowTitle(QStringLiteral("KORVANE"));
    setObjectName(QStringLiteral("KORVANEMainWindow"));
    // The window's minimum size follows the panel's (it changes with the compact layout).
    setCentralWidget(panel_);
    connect(panel_, &views::Panel::completelyQuitRequested, &app,
            [&app] { app.delegate().quitAfterSettingsClose(); });
    buildMenu(app);
    resize(kDefaultWindowWidth, kDefaultWindowHeight);

    // The explicit reopen resumes the automatic start (it does nothing while the route runs).
    connect(&app, &KORVANEApp::explicitReopen, this, [weak = std::weak_ptr(audio)] {
        if (auto model = weak.lock()) model->resumeAutomaticStart();
    });
}

void MainWindow::buildMenu(KORVANEApp& app) {
    QMenu* menu = menuBar()->addMenu(QStringLiteral("KORVANE"));
    QAction* settings = menu->addAction(QStringLiteral("Settings…"));
    settings->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
    settings->setMenuRole(QAction::NoRole);
    connect(settings, &QAction::triggered, &app, &KORVANEApp::openSettings);
    menu->addSeparator();
    QAction* quit = menu->addAction(QStringLiteral("Quit KORVANE"));
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    quit->setShortcutContext(Qt::ApplicationShortcut);
    quit->setMenuRole(QAction::NoRole);
    connect(quit, &QAction::triggered, &app, &KORVANEApp::requestTermination);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (appeared_) return;
    appeared_ = true;
    emit contentAppeared();
}

}  // namespace korvane::app
