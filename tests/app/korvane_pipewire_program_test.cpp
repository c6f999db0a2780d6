// The whole panel program on a virtual X display over a private PipeWire and WirePlumber: it
// chooses PipeWire by itself, starts korvane-driver when the session has no KORVANE device, routes
// the computer's playback to the listening output through its real helper, and on quitting leaves
// no helper, no route node and the computer's sound on a physical output, even when the helper was
// killed first.
#include "platform/linux_application_services.h"
#include "shared/routing_files.h"
#include "tests/support/bundle_fixture.h"
#include "tests/support/pipewire_session.h"
#include "tests/support/stream_probe.h"
#include "tests/support/virtual_display.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>

namespace korvane::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kKorvane = "audio.ravlin.stereo.v1";
constexpr const char* kRouter = "audio.ravlin.router";

// The korvane-driver processes started in this test's session (the panel starts it detached, so
// the session's own teardown does not reach it).
std::vector<pid_t> driversOf(const fs::path& runtimeDirectory) {
    std::vector<pid_t> found;
    const std::string marker = "XDG_RUNTIME_DIR=" + runtimeDirectory.string();
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const pid_t pid = std::atoi(entry.path().filename().c_str());
        std::error_code error;
        if (pid <= 0 || fs::read_symlink(entry.path() / "exe", error).filename() != "korvane-driver") continue;
        std::ifstream environ(entry.path() / "environ", std::ios::binary);
        const std::string variables((std::istreambuf_iterator<char>(environ)), {});
        if (variables.find(marker + '\0') != std::string::npos) found.push_back(pid);
    }
    return found;
}

class KorvanePipeWireProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.ready());
        ASSERT_FALSE(display.name().empty()) << "Xvfb did not start";
        auto& environment = session.environment();
        environment.set("XDG_CONFIG_HOME", (environment.root() / "config").string());
        environment.set("QT_QPA_PLATFORM", "xcb");
        environment.set("DISPLAY", display.name());
        environment.set("PATH", fs::path(driverProgram()).parent_path().string() + ":" + std::getenv("PATH"));
        ::unsetenv("WAYLAND_DISPLAY");
        ::unsetenv("KORVANE_AUDIO_SYSTEM");
        ASSERT_EQ(session.run({"pw-cli", "create-node", "adapter",
                               "{ factory.name=support.null-audio-sink node.name=builtin.out "
                               "node.description=\"Built-in Output\" media.class=Audio/Sink object.linger=true "
                               "audio.position=[FL FR] device.bus=pci priority.session=2000 }"}),
                  0);
        ASSERT_TRUE(waitUntil([&] { return defaultSink() == "builtin.out"; }));
        configuredBefore = session.metadataValue("default", 0, "default.configured.audio.sink");
    }

    void TearDown() override {
        for (const pid_t driver : driversOf(session.environment().runtimeDirectory())) ::kill(driver, SIGTERM);
    }

    std::string defaultSink() {
        const auto value = session.metadataValue("default", 0, "default.audio.sink");
        return value && value->is_object() && value->contains("name") ? (*value)["name"].get<std::string>() : "";
    }

    bool running() {
        const auto choice = RoutingFiles::readChoice();
        const auto report = RoutingFiles::readReport();
        return choice && report && choice->enabled && report->revision == choice->revision && report->phase == "running";
    }

    std::string reportText() {
        const auto report = RoutingFiles::readReport();
        std::string defaults;
        session.run({"pw-metadata", "-n", "default"}, &defaults);
        return (report ? "the helper reports " + report->phase + ": " + report->detail : "no report") + "\n" + defaults;
    }

    // Quits the panel as the desktop does at logout and checks what it leaves behind.
    void quitAndCheck(ChildProcess& panel) {
        ::kill(panel.pid(), SIGTERM);
        int status = -1;
        ASSERT_TRUE(waitUntil([&] { return ::waitpid(panel.pid(), &status, WNOHANG) == panel.pid(); }, 20s));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        EXPECT_TRUE(applications.runningApplications(kRouter).empty()) << "the helper outlived the panel";
        EXPECT_EQ(defaultSink(), "builtin.out") << "the computer's sound is left on a physical output";
        EXPECT_FALSE(session.nodeId("audio.korvane.route")) << "a route node is left";
        EXPECT_EQ(session.metadataValue("default", 0, "default.configured.audio.sink"), configuredBefore);
    }

    PipeWireSession session;
    VirtualDisplay display;
    platform::LinuxApplicationServices applications;
    std::optional<nlohmann::json> configuredBefore;
};

TEST_F(KorvanePipeWireProgramTest, RoutesTheComputersPlaybackAndQuitsClean) {
    ChildProcess panel(KORVANE_PANEL_PROGRAM, {}, false);
    ASSERT_TRUE(waitUntil([&] { return running(); }, 40s)) << "the route did not reach running; " << reportText();
    EXPECT_EQ(driversOf(session.environment().runtimeDirectory()).size(), 1u) << "the panel starts the driver";
    EXPECT_EQ(defaultSink(), kKorvane) << "system playback goes through KORVANE";

    StreamProbe probe;
    probe.recordMonitor("builtin.out");
    probe.play(kKorvane, [](std::int64_t position) {
        const float sample = float(0.5 * std::sin(2 * M_PI * 440 * double(position) / StreamProbe::kRate));
        return std::array<float, 2>{sample, sample};
    });
    EXPECT_TRUE(waitUntil([&] {
        float peak = 0;
        for (const auto& block : probe.recorded())
            for (const float sample : block.samples) peak = std::max(peak, std::abs(sample));
        return peak > 0.45f;
    })) << "the playback was not heard on the listening output";

    quitAndCheck(panel);
}

// The listening output unplugged mid-route: the route ends in an error, and the computer's sound
// is not left on KORVANE but moves to the other physical output.
TEST_F(KorvanePipeWireProgramTest, AnUnpluggedListeningOutputEndsInErrorWithTheSoundOnAnotherOutput) {
    ASSERT_EQ(session.run({"pw-cli", "create-node", "adapter",
                           "{ factory.name=support.null-audio-sink node.name=usb.if node.description=\"USB Interface\" "
                           "media.class=Audio/Sink object.linger=true audio.position=[FL FR] device.bus=usb }"}),
              0);
    ChildProcess panel(KORVANE_PANEL_PROGRAM, {}, false);
    ASSERT_TRUE(waitUntil([&] { return running(); }, 40s)) << "the route did not reach running; " << reportText();
    ASSERT_EQ(defaultSink(), kKorvane);
    const auto builtin = session.nodeId("builtin.out");
    ASSERT_TRUE(builtin);
    ASSERT_EQ(session.run({"pw-cli", "destroy", std::to_string(*builtin)}), 0);
    EXPECT_TRUE(waitUntil([&] {
        const auto report = RoutingFiles::readReport();
        return report && report->phase == "error";
    }, 20s)) << reportText();
    EXPECT_TRUE(waitUntil([&] { return defaultSink() == "usb.if"; }, 20s)) << reportText();
    ::kill(panel.pid(), SIGTERM);
    int status = -1;
    EXPECT_TRUE(waitUntil([&] { return ::waitpid(panel.pid(), &status, WNOHANG) == panel.pid(); }, 30s));
    EXPECT_NE(defaultSink(), kKorvane);
}

// The listening output's rate changes when the graph is forced to another rate (as a desktop
// setting or a pro-audio program does): the helper matches KORVANE to it.
TEST_F(KorvanePipeWireProgramTest, KorvaneFollowsTheListeningOutputsNewRate) {
    ChildProcess panel(KORVANE_PANEL_PROGRAM, {}, false);
    ASSERT_TRUE(waitUntil([&] { return running(); }, 40s)) << "the route did not reach running; " << reportText();
    ASSERT_EQ(session.run({"pw-metadata", "-n", "settings", "0", "clock.force-rate", "96000"}), 0);
    EXPECT_TRUE(waitUntil([&] { return session.propsParams(kKorvane)["korvane.rate"] == 96000; }, 20s))
        << "KORVANE did not follow the listening output's new rate; " << reportText();
    ::kill(panel.pid(), SIGTERM);
    int status = -1;
    EXPECT_TRUE(waitUntil([&] { return ::waitpid(panel.pid(), &status, WNOHANG) == panel.pid(); }, 30s));
}

TEST_F(KorvanePipeWireProgramTest, AKilledHelperNeverLeavesTheSoundOnKorvane) {
    ChildProcess panel(KORVANE_PANEL_PROGRAM, {}, false);
    ASSERT_TRUE(waitUntil([&] { return running(); }, 40s)) << "the route did not reach running; " << reportText();
    const auto helpers = applications.runningApplications(kRouter);
    ASSERT_EQ(helpers.size(), 1u);
    helpers.front()->forceTerminate();
    ASSERT_TRUE(waitUntil([&] { return applications.runningApplications(kRouter).empty(); }));
    quitAndCheck(panel);
}

}  // namespace
}  // namespace korvane::test
