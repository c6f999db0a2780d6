#include "panel/app/korvane_app_delegate.h"

#include "panel/audio_model.h"

#include <filesystem>
#include <system_error>

namespace korvane::app {
namespace {

// The path with every symbolic link resolved; nothing when it does not exist.
std::optional<std::filesystem::path> resolved(const std::filesystem::path& path) {
    std::error_code error;
    auto canonical = std::filesystem::canonical(path, error);
    if (error) return std::nullopt;
    return canonical;
}

}  // namespace

std::shared_ptr<KORVANEAppDelegate> KORVANEAppDelegate::create(AppDelegateEnvironment environment) {
    return std::shared_ptr<KORVANEAppDelegate>(new KORVANEAppDelegate(std::move(environment)));
}

KORVANEAppDelegate::KORVANEAppDelegate(AppDelegateEnvironment environment) : environment_(std::move(environment)) {}

QuitState KORVANEAppDelegate::quitState() const {
    if (readyToTerminate_) return QuitState::ready;
    return quitting_ ? QuitState::waiting : QuitState::idle;
}

TerminateReply KORVANEAppDelegate::applicationShouldTerminate(QuitRequest request) {
    if (readyToTerminate_) return TerminateReply::now;
    if (quitting_) {
        // The first sequence goes on; a signal makes it end the panel rather than give up.
        signalled_ = signalled_ || request == QuitRequest::signal;
        return TerminateReply::cancel;
    }
    quitting_ = true;
    signalled_ = request == QuitRequest::signal;
    if (auto audio = audio_.lock()) audio->prepareForQuit();

    auto helpers = ownHelpers();
    if (helpers.empty()) {
        restoreOutputLeftOnDriver();
        return TerminateReply::now;
    }
    for (const auto& helper : helpers) helper->terminate();
    helperPolls_ = 0;
    environment_.mainThread.post([weak = weak_from_this(), helpers = std::move(helpers)]() mutable {
        if (auto self = weak.lock()) self->pollHelpers(std::move(helpers));
    });
    return TerminateReply::cancel;
}

// The helpers of this very bundle, taken once: one running from another copy of the program is
// neither asked to quit nor waited for, and one launched after this is not waited for.
std::vector<std::shared_ptr<platform::RunningApplication>> KORVANEAppDelegate::ownHelpers() const {
    std::vector<std::shared_ptr<platform::RunningApplication>> kept;
    const auto bundle = environment_.applications.mainBundleLocation();
    if (!bundle) return kept;
    const auto expected = resolved(*bundle / panel::kHelperBundlePath);
    if (!expected) return kept;  // no helper bundle here, so none of ours can run
    for (auto& running : environment_.applications.runningApplications(panel::kHelperBundleIdentifier)) {
        const auto location = running->bundleLocation();
        if (!location) continue;
        if (const auto actual = resolved(*location); actual && *actual == *expected) kept.push_back(std::move(running));
    }
    return kept;
}

// One check, then (for the first helper still running) a 100 ms wait before the next; the 50th
// wait ends the sequence without another check.
void KORVANEAppDelegate::pollHelpers(std::vector<std::shared_ptr<platform::RunningApplication>> helpers) {
    for (const auto& helper : helpers) {
        if (helper->isTerminated()) continue;
        environment_.mainThread.postAfter(kQuitPollInterval,
                                          [weak = weak_from_this(), helpers = std::move(helpers)]() mutable {
                                              auto self = weak.lock();
                                              if (!self) return;
                                              if (++self->helperPolls_ == kQuitPollLimit)
                                                  self->giveUpWaiting(helpers);
                                              else
                                                  self->pollHelpers(std::move(helpers));
                                          });
        return;
    }
    helpersTerminated();
}

void KORVANEAppDelegate::helpersTerminated() {
    restoreOutputLeftOnDriver();
    readyToTerminate_ = true;
    // Queued rather than made from inside the waiting task, so the request re-enters the
    // application's termination path from its event loop.
    environment_.mainThread.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->environment_.requestTermination();
    });
}

// A helper puts the default output back when it ends; one that was killed cannot, and the
// computer would stay silent after everything has stopped.
void KORVANEAppDelegate::restoreOutputLeftOnDriver() {
    if (auto audio = audio_.lock()) audio->restoreOutputLeftOnDriver();
}

// The disabled route request stays in place and the automatic start stays off; a later quit
// starts the whole sequence again.
void KORVANEAppDelegate::giveUpWaiting(const std::vector<std::shared_ptr<platform::RunningApplication>>& helpers) {
    // Asked by a signal (as at logout): a helper of this bundle that has not gone (stopped, or
    // hung) is ended outright, and the computer's sound is put back.
    if (signalled_) {
        for (const auto& helper : helpers)
            if (!helper->isTerminated()) helper->forceTerminate();
        return helpersTerminated();
    }
    quitting_ = false;
    if (auto audio = audio_.lock()) audio->setIsQuitting(false);
    environment_.showAlert({std::string(kHelperNotClosedMessage), std::string(kHelperNotClosedInformation)});
}

bool KORVANEAppDelegate::applicationShouldHandleReopen(bool) {
    environment_.postExplicitReopen();
    return true;
}

void KORVANEAppDelegate::quitAfterSettingsClose() {
    // The dismissed settings sheet goes away in a later event, so the first look comes after a post.
    environment_.mainThread.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->pollSheets(0);
    });
}

void KORVANEAppDelegate::pollSheets(int polls) {
    if (!environment_.anyWindowHasSheet()) {
        environment_.mainThread.post([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->environment_.requestTermination();
        });
        return;
    }
    environment_.mainThread.postAfter(kQuitPollInterval, [weak = weak_from_this(), polls] {
        auto self = weak.lock();
        if (!self) return;
        if (polls + 1 == kQuitPollLimit)
            self->environment_.showAlert({std::string(kCloseSettingsMessage), std::string(kCloseSettingsInformation)});
        else
            self->pollSheets(polls + 1);
    });
}

}  // namespace korvane::app
