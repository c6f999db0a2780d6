// The whole panel program on a virtual X display over a real audiosim daemon: it starts, starts
// audio on its own (the route reaches "running" in the helper's report), hands a later launch
// over to itself, and on SIGTERM stops audio, waits for its helper and exits 0, leaving the
// default output where it was.
#include "panel/app/korvane_app_delegate.h"
#include "panel/app/qt_main_thread.h"
#include "panel/audio_model.h"
#include "platform/linux_application_services.h"
#include "shared/routing_files.h"
#include "tests/app/app_test_support.h"
#include "tests/support/bundle_fixture.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/fake_audio_queue.h"
#include "tests/support/virtual_display.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace korvane::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path panelProgram() { return KORVANE_PANEL_PROGRAM; }

std::string defaultOutput() {
    std::string output;
    runProgram({audiosimProgram(), "default-output"}, &output);
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

class KorvaneProgramTest : public ::testing::Test {
protected:
    KorvaneProgramTest() {
        daemon.environment.set("XDG_CONFIG_HOME", (daemon.environment.root() / "config").string());
        daemon.environment.set("QT_QPA_PLATFORM", "xcb");
        daemon.environment.set("DISPLAY", display.name());
        ::unsetenv("WAYLAND_DISPLAY");
    }

    std::optional<RoutingReport> runningReport() {
        const auto choice = RoutingFiles::readChoice();
        const auto report = RoutingFiles::readReport();
        if (!choice || !report || !choice->enabled || report->revision != choice->revision) return std::nullopt;
        return report->phase == "running" ? report : std::nullopt;
    }

    DaemonFixture daemon;
    VirtualDisplay display;
};

TEST_F(KorvaneProgramTest, StartsAudioOnItsOwnAndOnSigtermLeavesNothingRunning) {
    ASSERT_FALSE(display.name().empty()) << "Xvfb did not start";
    const std::string outputBefore = defaultOutput();
    ASSERT_FALSE(outputBefore.empty());

    const auto launched = Clock::now();
    ChildProcess panel(panelProgram(), {}, false);
    ASSERT_TRUE(waitUntil([&] { return runningReport().has_value(); }, std::chrono::seconds(30)))
        << "the route did not reach running";
    std::printf("[ launch to running: %.0f ms ]\n",
                std::chrono::duration<double, std::milli>(Clock::now() - launched).count());
    EXPECT_EQ(defaultOutput(), "audio.ravlin.stereo.v1") << "system playback is routed through the KORVANE device";
    platform::LinuxApplicationServices applications;
    ASSERT_EQ(applications.runningApplications("audio.ravlin.router").size(), 1u);

    // A later launch hands over to the running panel and exits 0.
    ChildProcess later(panelProgram(), {}, false);
    int laterStatus = -1;
    ASSERT_TRUE(waitUntil([&] { return ::waitpid(later.pid(), &laterStatus, WNOHANG) == later.pid(); }));
    EXPECT_TRUE(WIFEXITED(laterStatus) && WEXITSTATUS(laterStatus) == 0);

    ::kill(panel.pid(), SIGTERM);
    int status = -1;
    ASSERT_TRUE(waitUntil([&] { return ::waitpid(panel.pid(), &status, WNOHANG) == panel.pid(); },
                          std::chrono::seconds(20)))
        << "the panel did not quit";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_TRUE(applications.runningApplications("audio.ravlin.router").empty()) << "the helper outlived the panel";
    EXPECT_EQ(defaultOutput(), outputBefore);
    const auto choice = RoutingFiles::readChoice();
    ASSERT_TRUE(choice);
    EXPECT_FALSE(choice->enabled);
    const auto report = RoutingFiles::readReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->phase, "stopped");
}

// The model as the panel runs it (on the Qt event loop) over the real daemon and the real helper
// launched from the build's bundle: from "Start audio" to the status line reading "Routing · Driver
// connected" (the figure is printed; machines are too noisy for a limit here), then the quit
// sequence against that helper.
TEST_F(KorvaneProgramTest, FromStartAudioToTheRunningStatusLineAndQuitOverTheRealHelper) {
    EventLoop loop;
    app::QtMainThread mainThread;
    auto hardware = daemon.connect();
    platform::audio::ScopedHardware installed(*hardware);
    BundledServices services(panelProgram().parent_path().parent_path().parent_path(), true);
    platform::MemoryDefaultsStore defaults;
    RecordingQueueService queues;
    platform::SystemUptimeClock uptime;
    platform::SystemWallClock wallClock;
    const std::string outputBefore = defaultOutput();
    auto audio = panel::AudioModel::create({mainThread, uptime, wallClock, defaults, services, queues});
    const std::string routing = "Routing · Driver connected";
    ASSERT_TRUE(loop.runUntil([&] { return audio->statusText() == routing; }, "the automatic start"));

    std::vector<double> milliseconds;
    for (int attempt = 0; attempt < 5; ++attempt) {
        audio->applyRouting(false);
        ASSERT_TRUE(loop.runUntil([&] { return audio->routingPhase() == "stopped"; }, "the route to stop"));
        const auto pressed = Clock::now();
        audio->applyRouting(true);
        ASSERT_TRUE(loop.runUntil([&] { return audio->statusText() == routing; }, "the running status"));
        milliseconds.push_back(std::chrono::duration<double, std::milli>(Clock::now() - pressed).count());
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("[ Start audio to \"%s\": min %.0f ms, median %.0f ms, max %.0f ms over %zu ]\n", routing.c_str(),
                milliseconds.front(), milliseconds[milliseconds.size() / 2], milliseconds.back(), milliseconds.size());
    EXPECT_EQ(services.launched.size(), 1u) << "the helper is launched once and then stays";

    int terminationRequests = 0;
    std::vector<app::Alert> alerts;
    auto delegate = app::KORVANEAppDelegate::create({mainThread, services, [&] { ++terminationRequests; },
                                                     [&](const app::Alert& alert) { alerts.push_back(alert); },
                                                     [] { return false; }, [] {}});
    delegate->attach(audio);
    ASSERT_EQ(delegate->applicationShouldTerminate(), app::TerminateReply::cancel);
    ASSERT_TRUE(loop.runUntil([&] { return terminationRequests > 0 || !alerts.empty(); }, "the helper to quit"));
    EXPECT_TRUE(alerts.empty());
    EXPECT_EQ(delegate->applicationShouldTerminate(), app::TerminateReply::now);
    EXPECT_TRUE(services.runningApplications("audio.ravlin.router").empty());
    EXPECT_EQ(defaultOutput(), outputBefore);
}

}  // namespace
}  // namespace korvane::test
