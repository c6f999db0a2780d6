#include "panel/app/korvane_app.h"

#include "panel/app/main_window.h"
#include "panel/audio_model.h"
#include "panel/views/settings_panel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QVBoxLayout>

namespace korvane::app {
namespace {

constexpr int kSettingsWidth = views::SettingsPanel::kWidth;
constexpr int kSettingsHeight = views::SettingsPanel::kHeight;

}  // namespace

KORVANEApp::KORVANEApp(platform::ApplicationServices& applications, platform::audio::AudioQueueService& queues)
    : applications_(applications), queues_(queues) {
    // Closing the last window goes through the delegate, never straight out of the event loop.
    QApplication::setQuitOnLastWindowClosed(false);
}

KORVANEApp::~KORVANEApp() {
    delete settingsWindow_;
    delete mainWindow_;
}

MainWindow* KORVANEApp::mainWindow() const { return mainWindow_; }

void KORVANEApp::start() {
    audio_ = panel::AudioModel::create({mainThread_, uptime_, wallClock_, defaults_, applications_, queues_});
    // Told after the model operation that saved has finished, so that it cannot clear the message.
    defaults_.onSaveFailure([this, weak = std::weak_ptr(audio_)] {
        mainThread_.post([weak] {
            if (auto audio = weak.lock()) audio->showPreferencesNotSaved();
        });
    });
    delegate_ = KORVANEAppDelegate::create(delegateEnvironment());

    const auto bundle = applications_.mainBundleLocation();
    mainWindow_ = new MainWindow(
        *this, audio_,
        {*audio_, interface_, applications_.mainBundleInfo(),
         bundle ? QString::fromStdString((*bundle / "Contents/Resources/KORVANEBrand.png").string()) : QString()});
    mainWindow_->installEventFilter(this);
    connect(mainWindow_, &MainWindow::contentAppeared, this, [this] { delegate_->attach(audio_); });
    mainWindow_->show();
}

AppDelegateEnvironment KORVANEApp::delegateEnvironment() {
    return {
        .mainThread = mainThread_,
        .applications = applications_,
        .requestTermination = [this] { requestTermination(); },
        .showAlert = [this](const Alert& alert) { showAlert(alert); },
        .anyWindowHasSheet = [this] { return anyWindowHasSheet(); },
        // Delivered from the event loop, after the delegate has replied, as a posted notification is.
        .postExplicitReopen = [this] { QMetaObject::invokeMethod(this, &KORVANEApp::explicitReopen, Qt::QueuedConnection); },
    };
}

void KORVANEApp::requestTermination() { terminate(QuitRequest::user); }

void KORVANEApp::requestTerminationBySignal() { terminate(QuitRequest::signal); }

void KORVANEApp::terminate(QuitRequest request) {
    if (terminating_ || !delegate_) return;
    if (delegate_->applicationShouldTerminate(request) == TerminateReply::cancel) return;
    terminating_ = true;
    QCoreApplication::quit();
}

void KORVANEApp::reopen() {
    if (!delegate_ || terminating_) return;
    const bool hasVisibleWindows = (mainWindow_ && mainWindow_->isVisible()) || (settingsWindow_ && settingsWindow_->isVisible());
    delegate_->applicationShouldHandleReopen(hasVisibleWindows);
    if (!mainWindow_) return;
    if (mainWindow_->isMinimized()) mainWindow_->showNormal();
    mainWindow_->show();
    mainWindow_->raise();
    mainWindow_->activateWindow();
}

void KORVANEApp::openSettings() {
    QWidget* window = settingsWindow();
    window->show();
    window->raise();
    window->activateWindow();
}

QWidget* KORVANEApp::settingsWindow() {
    if (settingsWindow_) return settingsWindow_;
    // Each opening is a new window, so that it starts as a new settings view does (nothing copied
    // yet); closing it while the main window stays open deletes it.
    auto* window = new QWidget(nullptr, Qt::Window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QStringLiteral("Settings"));
    window->setObjectName(QStringLiteral("KORVANESettingsWindow"));
    window->resize(kSettingsWidth, kSettingsHeight);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* settings = new views::SettingsPanel(*audio_, interface_, mainWindow_->panel()->watcher(), window);
    layout->addWidget(settings);
    connect(settings, &views::SettingsPanel::doneRequested, window, &QWidget::close);
    connect(settings, &views::SettingsPanel::completelyQuitRequested, this,
            [this] { delegate_->quitAfterSettingsClose(); });
    window->installEventFilter(this);
    settingsWindow_ = window;
    return window;
}

// Closing a window hides it while another of the panel's windows stays open; closing the last one
// is a termination request, and the window stays until the delegate grants it.
bool KORVANEApp::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Close || terminating_) return QObject::eventFilter(watched, event);
    for (QWidget* other : {static_cast<QWidget*>(mainWindow_), settingsWindow_.data()}) {
        if (other && other != watched && other->isVisible()) return false;
    }
    event->ignore();
    requestTermination();
    return true;
}

void KORVANEApp::showAlert(const Alert& alert) {
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("KORVANE"), QString::fromStdString(alert.message),
                                QMessageBox::Ok, mainWindow_);
    box->setInformativeText(QString::fromStdString(alert.informativeText));
    box->setDefaultButton(QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->show();  // modal, but the event loop (the model's refresh among it) keeps running
}

bool KORVANEApp::anyWindowHasSheet() const {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->isModal()) return true;
    }
    return false;
}

}  // namespace korvane::app
