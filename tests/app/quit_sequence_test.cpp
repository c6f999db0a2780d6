// The quit sequence against real processes: copies of a probe program in temporary bundle layouts
// stand in for the routing helper ("KORVANE Routing", "audio.ravlin.router"), one inside the panel's
// bundle and one inside another copy of the program. The delegate polls them on a real Qt event loop.
#include "panel/app/korvane_app_delegate.h"
#include "panel/app/qt_main_thread.h"
#include "panel/audio_model.h"
#include "shared/routing_files.h"
#include "tests/app/app_test_support.h"
#include "tests/support/bundle_fixture.h"
#include "tests/support/fake_audio_queue.h"
#include "tests/support/model_fixture.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

namespace korvane::test {
namespace {

namespace fs = std::filesystem;
using app::QuitState;
using app::TerminateReply;

constexpr char kHelperName[] = "KORVANE Routing";

enum class Helper {
    quitsAfter300ms,  // ours: leaves 300 ms after SIGTERM
    neverQuits,       // ours: ignores SIGTERM
    quitsAtOnce,      // ours
    otherCopy,        // from another copy of the program: leaves at once on SIGTERM, if ever sent one
};

class QuitSequenceTest : public ::testing::Test {
protected:
    QuitSequenceTest()
        : panelBundle(environment.root() / "Applications" / "KORVANE.app"),
          services(panelBundle),
          delegate(app::KORVANEAppDelegate::create({
              .mainThread = mainThread,
              .applications = services,
              .requestTermination = [this] { ++terminationRequests; },
              .showAlert = [this](const app::Alert& alert) { alerts.push_back(alert); },
              .anyWindowHasSheet = [this] { return sheetOpen; },
              .postExplicitReopen = [this] { ++reopenNotifications; },
          })) {
        fs::create_directories(panelBundle / "Contents" / "MacOS");
    }

    // The helper bundle inside the panel's bundle, or inside another copy of the program.
    TestBundle helperBundle(bool ours) {
        const fs::path panel = ours ? panelBundle : environment.root() / "Other" / "KORVANE.app";
        return makeBundle(panel / "Contents" / "Helpers", kHelperName, kHelperName,
                          infoJson("audio.ravlin.router", kHelperName));
    }

    std::unique_ptr<ChildProcess> start(Helper kind) {
        const TestBundle bundle = helperBundle(kind != Helper::otherCopy);
        switch (kind) {
        case Helper::quitsAfter300ms: return std::make_unique<ChildProcess>(bundle.executable, std::vector<std::string>{"--term-delay-ms", "300"});
        case Helper::neverQuits: return std::make_unique<ChildProcess>(bundle.executable, std::vector<std::string>{"--ignore-term"});
        case Helper::quitsAtOnce:
        case Helper::otherCopy: return std::make_unique<ChildProcess>(bundle.executable, std::vector<std::string>{});
        }
        return nullptr;
    }

    // The model over the in-process device model, attached to the delegate.
    std::shared_ptr<panel::AudioModel> attachModel() {
        auto audio = panel::AudioModel::create({mainThread, modelSetup.clock, modelSetup.clock, defaults, services, queues});
        delegate->attach(audio);
        return audio;
    }

    static bool stillRunning(const ChildProcess& process) {
        int status = 0;
        return ::waitpid(process.pid(), &status, WNOHANG) == 0;
    }

    bool waitForTerminationRequest() {
        return loop.runUntil([this] { return terminationRequests > 0 || !alerts.empty(); }, "the end of the wait");
    }

    TestEnvironment environment;
    EventLoop loop;
    app::QtMainThread mainThread;
    fs::path panelBundle;
    BundledServices services;
    ModelSetup modelSetup;
    platform::MemoryDefaultsStore defaults;
    RecordingQueueService queues;
    int terminationRequests = 0;
    int reopenNotifications = 0;
    bool sheetOpen = false;
    std::vector<app::Alert> alerts;
    std::shared_ptr<app::KORVANEAppDelegate> delegate;
};

TEST_F(QuitSequenceTest, WithoutHelperQuitsAtOnceAfterSavingADisabledRequest) {
    helperBundle(true);  // installed, not running
    auto audio = attachModel();
    ASSERT_EQ(delegate->applicationShouldTerminate(), TerminateReply::now);

    const auto request = RoutingFiles::readChoice();
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->enabled);
    EXPECT_NE(request->revision, audio->appliedRevision());
    EXPECT_TRUE(audio->isQuitting());
    EXPECT_FALSE(audio->launchRoutingPending());
    EXPECT_TRUE(alerts.empty());
}

// A helper killed while routing the computer's playback leaves the default output on the silent
// KORVANE device; once no helper of ours is left, the quit puts it on the recovery output.
TEST_F(QuitSequenceTest, TheDefaultOutputLeftOnTheDriverIsRestoredWhenNoHelperIsLeft) {
    using namespace platform::audio;
    const auto defaultOutput = [] {
        AudioObjectID id = 0;
        EXPECT_EQ(getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), id), 0);
        return id;
    };
    struct Case {
        const char* name;
        std::optional<Helper> helper;
        const char* before;
        const char* after;
    };
    const Case cases[] = {
        {"no helper running", std::nullopt, kKorvane, kHeadphones},
        {"a helper that leaves when asked", Helper::quitsAtOnce, kKorvane, kHeadphones},
        {"the user's own choice", std::nullopt, kHDMI, kHDMI},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        terminationRequests = 0;
        auto fresh = app::KORVANEAppDelegate::create({mainThread, services, [this] { ++terminationRequests; },
                                                      [this](const app::Alert& alert) { alerts.push_back(alert); },
                                                      [] { return false; }, [] {}});
        auto audio = panel::AudioModel::create({mainThread, modelSetup.clock, modelSetup.clock, defaults, services, queues});
        fresh->attach(audio);
        audio->setSelectedOutput(kHeadphones);
        ASSERT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                              modelSetup.id(c.before)),
                  0);
        const auto helper = c.helper ? start(*c.helper) : nullptr;
        if (fresh->applicationShouldTerminate() == TerminateReply::cancel) {
            ASSERT_TRUE(waitForTerminationRequest());
        }
        EXPECT_EQ(defaultOutput(), modelSetup.id(c.after));
    }
}

TEST_F(QuitSequenceTest, WithoutModelTheHelperIsStillAskedAndWaitedFor) {
    auto helper = start(Helper::quitsAtOnce);
    ASSERT_EQ(delegate->applicationShouldTerminate(), TerminateReply::cancel);
    ASSERT_TRUE(waitForTerminationRequest());
    EXPECT_EQ(terminationRequests, 1);
    EXPECT_FALSE(RoutingFiles::readChoice()) << "no model, so no request is written";
    EXPECT_EQ(delegate->applicationShouldTerminate(), TerminateReply::now);
}

// Which running helpers the sequence waits for, and what it ends with.
TEST_F(QuitSequenceTest, WaitsOnlyForHelpersOfThisBundle) {
    struct Case {
        const char* name;
        std::vector<Helper> helpers;
        TerminateReply firstReply;
    };
    const Case cases[] = {
        {"another copy's helper only", {Helper::otherCopy}, TerminateReply::now},
        {"ours, leaving after 300 ms", {Helper::quitsAfter300ms}, TerminateReply::cancel},
        {"ours and another copy's", {Helper::otherCopy, Helper::quitsAfter300ms}, TerminateReply::cancel},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        auto fresh = app::KORVANEAppDelegate::create({mainThread, services, [this] { ++terminationRequests; },
                                                      [this](const app::Alert& alert) { alerts.push_back(alert); },
                                                      [] { return false; }, [] {}});
        terminationRequests = 0;
        alerts.clear();
        std::vector<std::unique_ptr<ChildProcess>> running;
        ChildProcess* other = nullptr;
        for (Helper kind : test.helpers) {
            running.push_back(start(kind));
            if (kind == Helper::otherCopy) other = running.back().get();
        }

        EXPECT_EQ(fresh->applicationShouldTerminate(), test.firstReply);
        if (test.firstReply == TerminateReply::cancel) {
            ASSERT_TRUE(loop.runUntil([&] { return terminationRequests > 0 || !alerts.empty(); }, "the wait"));
            EXPECT_TRUE(alerts.empty());
            EXPECT_EQ(terminationRequests, 1);
            // The probe sleeps 300 ms after SIGTERM, so checks at 0, 100 and 200 ms all find it running.
            EXPECT_GE(fresh->helperPolls(), 3);
            EXPECT_LT(fresh->helperPolls(), app::kQuitPollLimit);
            std::printf("[ %s: gone after %d polls ]\n", test.name, fresh->helperPolls());
            EXPECT_EQ(fresh->quitState(), QuitState::ready);
            EXPECT_EQ(fresh->applicationShouldTerminate(), TerminateReply::now);
        }
        if (other) {
            EXPECT_TRUE(stillRunning(*other)) << "another copy's helper was asked to quit";
        }
    }
}

TEST_F(QuitSequenceTest, AHelperReachedThroughALinkedHelperFolderIsOurs) {
    const TestBundle elsewhere = makeBundle(environment.root() / "Elsewhere", kHelperName, kHelperName,
                                            infoJson("audio.ravlin.router", kHelperName));
    fs::create_directories(panelBundle / "Contents" / "Helpers");
    fs::create_directory_symlink(elsewhere.location, panelBundle / "Contents" / "Helpers" / "KORVANE Routing.app");
    ChildProcess helper(elsewhere.executable, {});

    ASSERT_EQ(delegate->applicationShouldTerminate(), TerminateReply::cancel);
    ASSERT_TRUE(waitForTerminationRequest());
    EXPECT_EQ(terminationRequests, 1);
    EXPECT_FALSE(stillRunning(helper));
}

TEST_F(QuitSequenceTest, ASecondQuitWhileWaitingIsRefusedAndTheFirstCompletes) {
    auto helper = start(Helper::quitsAfter300ms);
    ASSERT_EQ(delegate->applicationShouldTerminate(), TerminateReply::cancel);
    EXPECT_EQ(delegate->applicationShouldTerminate(), TerminateReply::cancel);
    EXPECT_EQ(delegate->quitState(), QuitState::waiting);
    ASSERT_TRUE(waitForTerminationRequest());
    EXPECT_EQ(terminationRequests, 1) << "the refused request started no second wait";
    EXPECT_TRUE(alerts.empty());
    EXPECT_EQ(delegate->applicationShouldTerminate(), TerminateReply::now);
}

TEST_F(QuitSequenceTest, AHelperThatNeverQuitsEndsInTheAlertAndTheNextQuitStartsOver) {
    auto helper = start(Helper::neverQuits);
    auto audio = attachModel();
    ASSERT_EQ(delegate->applicationShouldTerminate(), TerminateReply::cancel);
    const auto firstRequest = RoutingFiles::readChoice();
    ASSERT_TRUE(firstRequest);
    EXPECT_TRUE(audio->isQuitting());

    ASSERT_TRUE(waitForTerminationRequest());
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], (app::Alert{"Routing helper has not finished closing",
                                     "Audio has been asked to stop. Try Quit KORVANE again after a few seconds."}));
    EXPECT_EQ(delegate->helperPolls(), app::kQuitPollLimit);
    EXPECT_EQ(terminationRequests, 0);
    EXPECT_EQ(delegate->quitState(), QuitState::idle);
    EXPECT_FALSE(audio->isQuitting());
    EXPECT_FALSE(audio->launchRoutingPending()) << "giving up does not re-arm the automatic start";
    EXPECT_TRUE(stillRunning(*helper));
    const auto request = RoutingFiles::readChoice();
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->enabled) << "the disabled request stays in place";

    // Starting over: the model is prepared again (a new request) and the helper waited for anew.
    ASSERT_EQ(delegate->applicationShouldTerminate(), TerminateReply::cancel);
    EXPECT_EQ(delegate->quitState(), QuitState::waiting);
    EXPECT_TRUE(audio->isQuitting());
    const auto secondRequest = RoutingFiles::readChoice();
    ASSERT_TRUE(secondRequest);
    EXPECT_NE(secondRequest->revision, firstRequest->revision);
    alerts.clear();
    ::kill(helper->pid(), SIGKILL);
    ASSERT_TRUE(waitForTerminationRequest());
    EXPECT_TRUE(alerts.empty());
    EXPECT_EQ(terminationRequests, 1);
    EXPECT_EQ(delegate->applicationShouldTerminate(), TerminateReply::now);
}

// At logout the panel is sent SIGTERM: a helper that cannot leave (stopped, or hung) must not keep
// the panel open, nor the computer's sound on the silent KORVANE device.
TEST_F(QuitSequenceTest, AQuitASignalAskedForEndsThePanelAfterTheWait) {
    using namespace platform::audio;
    struct Case {
        const char* name;
        std::vector<app::QuitRequest> requests;  // the second while the first one waits
    };
    const Case cases[] = {
        {"SIGTERM", {app::QuitRequest::signal}},
        {"the menu, then SIGTERM while it waits", {app::QuitRequest::user, app::QuitRequest::signal}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        terminationRequests = 0;
        alerts.clear();
        auto fresh = app::KORVANEAppDelegate::create({mainThread, services, [this] { ++terminationRequests; },
                                                      [this](const app::Alert& alert) { alerts.push_back(alert); },
                                                      [] { return false; }, [] {}});
        auto audio = panel::AudioModel::create({mainThread, modelSetup.clock, modelSetup.clock, defaults, services, queues});
        fresh->attach(audio);
        ASSERT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                              modelSetup.id(kKorvane)),
                  0);
        auto helper = start(Helper::neverQuits);
        for (const app::QuitRequest request : c.requests)
            EXPECT_EQ(fresh->applicationShouldTerminate(request), TerminateReply::cancel);
        ASSERT_TRUE(waitForTerminationRequest());
        EXPECT_TRUE(alerts.empty());
        EXPECT_EQ(terminationRequests, 1);
        EXPECT_EQ(fresh->applicationShouldTerminate(), TerminateReply::now);
        AudioObjectID output = 0;
        EXPECT_EQ(getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), output), 0);
        EXPECT_NE(output, modelSetup.id(kKorvane));
        // The stuck helper was ended outright: it is a zombie for this test to reap.
        const auto ended = [pid = helper->pid()] {
            const std::string stat = korvane::test::readFile("/proc/" + std::to_string(pid) + "/stat");
            const auto close = stat.rfind(')');
            return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
        };
        ASSERT_TRUE(korvane::test::waitUntil(ended, std::chrono::seconds(5))) << "the helper still runs";
        const int status = helper->reap();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    }
}

TEST_F(QuitSequenceTest, SettingsQuitWaitsForSheetsToClose) {
    struct Case {
        const char* name;
        int pollsWithSheet;  // -1: the sheet never closes
        int terminationRequests;
        std::size_t alerts;
    };
    const Case cases[] = {
        {"no sheet", 0, 1, 0},
        {"a sheet closing after three polls", 3, 1, 0},
        {"a sheet that stays", -1, 0, 1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        terminationRequests = 0;
        alerts.clear();
        int looks = 0;
        auto fresh = app::KORVANEAppDelegate::create({mainThread, services, [this] { ++terminationRequests; },
                                                      [this](const app::Alert& alert) { alerts.push_back(alert); },
                                                      [&] { return test.pollsWithSheet < 0 || looks++ < test.pollsWithSheet; },
                                                      [] {}});
        fresh->quitAfterSettingsClose();
        ASSERT_TRUE(waitForTerminationRequest());
        EXPECT_EQ(terminationRequests, test.terminationRequests);
        ASSERT_EQ(alerts.size(), test.alerts);
        if (test.alerts) {
            EXPECT_EQ(alerts[0], (app::Alert{"Close Settings to finish quitting",
                                             "Choose KORVANE → Quit KORVANE after closing the open dialog."}));
        }
        EXPECT_EQ(fresh->quitState(), QuitState::idle) << "the settings quit only asks; the quit sequence decides";
    }
}

TEST_F(QuitSequenceTest, ReopenPostsTheExplicitReopenNotification) {
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(true));
    EXPECT_TRUE(delegate->applicationShouldHandleReopen(false));
    EXPECT_EQ(reopenNotifications, 2);
    EXPECT_TRUE(delegate->applicationShouldTerminateAfterLastWindowClosed());
}

TEST_F(QuitSequenceTest, TheDelegateDoesNotKeepTheModelAlive) {
    auto audio = attachModel();
    std::weak_ptr<panel::AudioModel> weak = audio;
    audio.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(delegate->applicationShouldTerminate(), TerminateReply::now) << "no model, no helper";
    EXPECT_FALSE(RoutingFiles::readChoice());
}

}  // namespace
}  // namespace korvane::test
