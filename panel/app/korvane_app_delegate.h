// KORVANEAppDelegate: what happens when the panel is asked to quit, when its last window closes and
// when the user reopens it. Its one intricate piece is the quit sequence: the panel never leaves
// while its routing helper (which owns the live route and the system playback switch) still runs.
// It asks the model to stop audio, asks the helper to quit, polls it 50 times 100 ms apart on the
// main thread (never blocking it), and only then lets the application terminate.
//
// Plain C++ over platform interfaces, so the sequence runs in tests without a display; the Qt
// program supplies the application's side in AppDelegateEnvironment.
//
// Thread contract: main thread only, every member.
#pragma once

#include "platform/application_services.h"
#include "platform/main_thread.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::panel {
class AudioModel;
}

namespace korvane::app {

inline constexpr std::chrono::milliseconds kQuitPollInterval{100};
inline constexpr int kQuitPollLimit = 50;

// A modal alert's two texts.
struct Alert {
    std::string message;
    std::string informativeText;
    friend bool operator==(const Alert&, const Alert&) = default;
};

inline constexpr std::string_view kHelperNotClosedMessage = "Routing helper has not finished closing";
inline constexpr std::string_view kHelperNotClosedInformation =
    "Audio has been asked to stop. Try Quit KORVANE again after a few seconds.";
inline constexpr std::string_view kCloseSettingsMessage = "Close Settings to finish quitting";
inline constexpr std::string_view kCloseSettingsInformation =
    "Choose KORVANE → Quit KORVANE after closing the open dialog.";

enum class TerminateReply { now, cancel };

// Who asked to quit: the user (a window's close button, the menu), or the system through SIGTERM or
// SIGINT, as at logout, where a panel that stays open would hold up the session.
enum class QuitRequest { user, signal };

// The three quit states of the delegate.
enum class QuitState {
    idle,     // no quit under way
    waiting,  // the helper was asked to quit; polling it
    ready,    // the helper has gone; the next termination request is granted at once
};

// The application's side. Every reference and function must outlive the delegate.
struct AppDelegateEnvironment {
    platform::MainThread& mainThread;
    platform::ApplicationServices& applications;
    // Asks the application to terminate, which calls applicationShouldTerminate() again.
    std::function<void()> requestTermination;
    // Shows a modal alert with one default button; must not block the main thread's other work.
    std::function<void(const Alert&)> showAlert;
    // True while any application window shows an attached sheet (a modal dialog).
    std::function<bool()> anyWindowHasSheet;
    // Posts the application-local notification KORVANEExplicitReopen, with no object.
    std::function<void()> postExplicitReopen;
};

class KORVANEAppDelegate : public std::enable_shared_from_this<KORVANEAppDelegate> {
public:
    static std::shared_ptr<KORVANEAppDelegate> create(AppDelegateEnvironment environment);

    // The main window's content has appeared: from now on a quit prepares the model. Held weakly;
    // the delegate never keeps the model alive.
    void attach(std::weak_ptr<panel::AudioModel> audio) { audio_ = std::move(audio); }

    // The quit sequence. `now` lets the process end; `cancel` keeps it running (a wait is under way,
    // or was already under way when asked again). A wait that a signal asked for, or that a signal
    // joined, does not give up with the alert after its 50 polls: it ends the panel, putting the
    // default output back first as when no helper is left.
    TerminateReply applicationShouldTerminate(QuitRequest request = QuitRequest::user);
    // Closing the last window quits, through applicationShouldTerminate().
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    // The user launched the panel again while it runs: posts KORVANEExplicitReopen. The application
    // then brings its window back.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);

    // "Completely quit KORVANE" from the settings view, after it dismissed itself: waits (50 polls
    // of 100 ms) until no window shows a sheet, then requests termination; or shows the
    // "Close Settings to finish quitting" alert and gives up.
    void quitAfterSettingsClose();

    QuitState quitState() const;
    // Polls made by the current (or last) wait for the helper; for tests and diagnostics.
    int helperPolls() const { return helperPolls_; }

private:
    explicit KORVANEAppDelegate(AppDelegateEnvironment environment);
    std::vector<std::shared_ptr<platform::RunningApplication>> ownHelpers() const;
    void pollHelpers(std::vector<std::shared_ptr<platform::RunningApplication>> helpers);
    void helpersTerminated();
    void restoreOutputLeftOnDriver();
    void giveUpWaiting(const std::vector<std::shared_ptr<platform::RunningApplication>>& helpers);
    void pollSheets(int polls);

    AppDelegateEnvironment environment_;
    std::weak_ptr<panel::AudioModel> audio_;
    bool quitting_ = false;
    bool readyToTerminate_ = false;
    bool signalled_ = false;  // a signal asked for the quit under way
    int helperPolls_ = 0;
};

}  // namespace korvane::app
