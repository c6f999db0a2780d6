// KORVANEApp: the panel program's application value. It owns the one AudioModel for the life of the
// process, the application delegate, the main window and the settings window, and turns the
// desktop's requests (the close button, "Quit KORVANE", SIGTERM, a later launch) into the
// delegate's callbacks.
//
// Thread contract: main thread only.
#pragma once

#include "panel/app/korvane_app_delegate.h"
#include "panel/app/qt_main_thread.h"
#include "panel/app/settings_defaults_store.h"
#include "panel/views/interface_preferences.h"
#include "platform/clock.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QWidget;

namespace platform::audio {
class AudioQueueService;
}

namespace korvane::panel {
class AudioModel;
}

namespace korvane::app {

class MainWindow;

class KORVANEApp final : public QObject {
    Q_OBJECT
public:
    // The audio hardware must be installed (platform::audio::hardware()) for the app's lifetime.
    KORVANEApp(platform::ApplicationServices& applications, platform::audio::AudioQueueService& queues);
    ~KORVANEApp() override;

    // Builds the model and shows the main window at its default size.
    void start();

    // A termination request from the close button of the last window or the menu: runs the
    // delegate's quit sequence and ends the event loop once it replies `now`.
    void requestTermination();
    // The same from SIGTERM or SIGINT: a quit that ends the panel even when the helper does not go.
    void requestTerminationBySignal();
    // A later launch of the panel: the delegate posts KORVANEExplicitReopen, then the main window
    // is shown, raised and activated.
    void reopen();
    void openSettings();

    panel::AudioModel& audio() { return *audio_; }
    KORVANEAppDelegate& delegate() { return *delegate_; }
    MainWindow* mainWindow() const;

signals:
    // KORVANEExplicitReopen: the application-local notification of an explicit reopen.
    void explicitReopen();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    AppDelegateEnvironment delegateEnvironment();
    void terminate(QuitRequest request);
    void showAlert(const Alert& alert);
    bool anyWindowHasSheet() const;
    QWidget* settingsWindow();

    platform::ApplicationServices& applications_;
    platform::audio::AudioQueueService& queues_;
    QtMainThread mainThread_;
    SettingsDefaultsStore defaults_;
    platform::SystemUptimeClock uptime_;
    platform::SystemWallClock wallClock_;
    views::InterfacePreferences interface_{defaults_};
    std::shared_ptr<panel::AudioModel> audio_;
    std::shared_ptr<KORVANEAppDelegate> delegate_;
    QPointer<MainWindow> mainWindow_;
    QPointer<QWidget> settingsWindow_;
    bool terminating_ = false;
};

}  // namespace korvane::app
