// The panel model end to end, without any view: a real audiosim daemon, the real routing helper
// launched by the model from the bundle in the build tree, the model driven by a real main loop.
#include "audiosim/client/remote_hardware.h"
#include "audiosim/client/remote_services.h"
#include "panel/audio_model.h"
#include "platform/linux_application_services.h"
#include "shared/routing_files.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/test_main_loop.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <csignal>
#include <numbers>

#ifndef KORVANE_APP_DIR
#error "KORVANE_APP_DIR must name the panel's bundle in the build tree"
#endif

namespace korvane::test {
namespace {

using namespace std::chrono_literals;
using namespace platform::audio;

constexpr const char* kSpeakers = "BuiltInSpeakerDevice";
constexpr std::string_view kHelperIdentifier = "audio.ravlin.router";

std::filesystem::path helperBundle() {
    return std::filesystem::weakly_canonical(std::filesystem::path(KORVANE_APP_DIR) / "Contents/Helpers/KORVANE Routing.app");
}

// The real application services, with the build tree's bundle as the panel's own. Helpers running
// from other checkouts on the same machine are not listed: the test's machine has one installation.
class BuildTreeApplications final : public platform::ApplicationServices {
public:
    std::optional<std::filesystem::path> mainBundleLocation() const override {
        return std::filesystem::weakly_canonical(KORVANE_APP_DIR);
    }
    std::optional<platform::BundleInfo> mainBundleInfo() const override {
        return platform::BundleInfo{{"CFBundleShortVersionString", "0.1.0"}, {"CFBundleVersion", "0.1.0"}};
    }
    std::vector<std::shared_ptr<platform::RunningApplication>> runningApplications(std::string_view identifier) const override {
        auto running = real_.runningApplications(identifier);
        std::erase_if(running, [](const auto& application) {
            const auto location = application->bundleLocation();
            return !location || std::filesystem::weakly_canonical(*location) != helperBundle();
        });
        return running;
    }
    void openApplication(const std::filesystem::path& bundle,
                         std::function<void(std::optional<std::string>)> completion) override {
        real_.openApplication(bundle, std::move(completion));
    }
    std::string operatingSystemVersion() const override { return real_.operatingSystemVersion(); }

private:
    platform::LinuxApplicationServices real_;
};

// Processes running the build tree's helper program.
std::vector<pid_t> helperProcesses() {
    const auto program = helperBundle() / "Contents/MacOS/KORVANE Routing";
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        pid_t pid = 0;
        if (std::from_chars(name.data(), name.data() + name.size(), pid).ptr != name.data() + name.size()) continue;
        std::error_code unreadable;
        if (std::filesystem::read_symlink(entry.path() / "exe", unreadable) == program) found.push_back(pid);
    }
    return found;
}

// The level of a sine of `frequency` in one channel of interleaved stereo frames [from, to).
double toneLevel(const std::vector<float>& samples, std::size_t channel, std::size_t from, std::size_t to, double frequency) {
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / 48000);
    double s1 = 0, s2 = 0;
    for (std::size_t frame = from; frame < to; ++frame) {
        const double s0 = samples[2 * frame + channel] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / double(to - from);
}

struct EndToEnd {
    EndToEnd() : queues(audiosim::DaemonConnection::open(connectionError)) {}
    ~EndToEnd() {
        // The helper leaves as the panel's quit sequence asks it to; one that does not is killed.
        for (const auto& helper : applications.runningApplications(kHelperIdentifier)) helper->terminate();
        if (!loop.runUntil([&] { return applications.runningApplications(kHelperIdentifier).empty(); }, 10s)) {
            ADD_FAILURE() << "the routing helper did not quit";
            for (const pid_t pid : helperProcesses()) ::kill(pid, SIGKILL);
        }
        // The model goes once every launch completion has handed it back on this thread.
        std::weak_ptr<panel::AudioModel> weak = model;
        model.reset();
        EXPECT_TRUE(loop.runUntil([&] { return weak.expired(); }, 10s));
    }

    panel::AudioModel& create() {
        model = panel::AudioModel::create({loop, uptime, wall, defaults, applications, queues});
        return *model;
    }
    bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 30s) {
        return loop.runUntil(condition, limit);
    }
    AudioObjectID defaultOutput() {
        AudioObjectID id = 0;
        getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), id);
        return id;
    }
    AudioObjectID deviceId(std::string_view uid) { return deviceForUID(*hardware, uid); }
    // The first launch: the route starts by itself, system playback to the built-in speakers.
    panel::AudioModel& launchAndRun() {
        auto& panel = create();
        EXPECT_TRUE(runUntil([&] { return panel.routingPhase() == "running" && panel.systemActive(); }))
            << panel.routingPhase() << ": " << panel.routingDetail() << " / " << panel.error();
        return panel;
    }

    DaemonFixture daemon;
    std::unique_ptr<audiosim::RemoteHardware> hardware = daemon.connect();
    ScopedHardware installed{*hardware};
    std::string connectionError;
    audiosim::RemoteQueueService queues;
    TestMainLoop loop;
    platform::SystemUptimeClock uptime;
    platform::SystemWallClock wall;
    platform::MemoryDefaultsStore defaults;
    BuildTreeApplications applications;
    std::shared_ptr<panel::AudioModel> model;
};

TEST(PanelEndToEnd, FirstLaunchRoutesSystemPlaybackAndTheTestToneIsHeard) {
    EndToEnd e2e;
    auto& panel = e2e.launchAndRun();
    EXPECT_EQ(panel.selectedInput(), "system");
    EXPECT_EQ(panel.selectedOutput(), kSpeakers);
    EXPECT_EQ(panel.listeningUID(), kSpeakers);
    EXPECT_EQ(e2e.defaultOutput(), panel.device());
    EXPECT_EQ(panel.statusText(), "Routing · Driver connected");
    EXPECT_EQ(panel.error(), "");
    EXPECT_EQ(e2e.applications.runningApplications(kHelperIdentifier).size(), 1u);

    // The tone travels the route: into the virtual device, back out of its input, to the speakers.
    // A cycle missed on a loaded machine drops a stretch of audio, so the level is the peak (the
    // tone's full amplitude, −24 dBFS) and the pitch each channel's strongest of the two tones.
    double leftPeak = 0, rightPeak = 0, left660 = 0, left880 = 0, right660 = 0, right880 = 0;
    const auto dbfs = [](double level) { return 20 * std::log10(level); };
    const bool heard = e2e.daemon.unlessCyclesWereMissed([&] {
        takeTap(*e2e.hardware, kSpeakers);
        panel.playTestTone();
        if (!panel.error().empty()) return false;
        std::vector<float> tap;
        e2e.runUntil([&] {
            const auto more = takeTap(*e2e.hardware, kSpeakers);
            tap.insert(tap.end(), more.begin(), more.end());
            return tap.size() >= 2 * 48000 * 3 / 2;  // 1.5 s
        });
        std::size_t first = tap.size() / 2, last = 0;
        leftPeak = rightPeak = 0;
        for (std::size_t frame = 0; frame < tap.size() / 2; ++frame) {
            leftPeak = std::max(leftPeak, double(std::fabs(tap[2 * frame])));
            rightPeak = std::max(rightPeak, double(std::fabs(tap[2 * frame + 1])));
            if (std::fabs(tap[2 * frame]) > 1e-3 || std::fabs(tap[2 * frame + 1]) > 1e-3) {
                first = std::min(first, frame);
                last = frame;
            }
        }
        if (last <= first + 24000) return false;
        // The middle of the tone, away from its fades.
        const std::size_t from = first + 2000, to = last - 2000;
        left660 = toneLevel(tap, 0, from, to, 660);
        left880 = toneLevel(tap, 0, from, to, 880);
        right660 = toneLevel(tap, 1, from, to, 660);
        right880 = toneLevel(tap, 1, from, to, 880);
        return std::fabs(dbfs(leftPeak) + 24) < 1 && std::fabs(dbfs(rightPeak) + 24) < 1 && left880 < left660 / 10 &&
               right660 < right880 / 10;
    });
    EXPECT_TRUE(heard) << panel.error();
    EXPECT_NEAR(dbfs(leftPeak), -24.0, 1.0);
    EXPECT_NEAR(dbfs(rightPeak), -24.0, 1.0);
    EXPECT_LT(left880, left660 / 10);
    EXPECT_LT(right660, right880 / 10);

    // Quitting: the disabled request makes the helper stop the route and give the output back.
    panel.prepareForQuit();
    const auto request = RoutingFiles::readChoice();
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->enabled);
    EXPECT_TRUE(e2e.runUntil([&] {
        const auto report = RoutingFiles::readReport();
        return report && report->revision == request->revision && report->phase == "stopped" && report->cycles == 0 &&
               e2e.defaultOutput() == e2e.deviceId(kSpeakers);
    }));
    EXPECT_FALSE(panel.testSound().isPlaying());
}

TEST(PanelEndToEnd, AKilledHelperIsUnavailableAndRecoveryRestoresTheSpeakers) {
    EndToEnd e2e;
    auto& panel = e2e.launchAndRun();
    const auto helpers = helperProcesses();
    ASSERT_EQ(helpers.size(), 1u);
    ASSERT_EQ(::kill(helpers[0], SIGKILL), 0);

    EXPECT_TRUE(e2e.runUntil([&] { return panel.routingPhase() == "unavailable"; }));
    EXPECT_EQ(panel.routingDetail(), "Routing helper is not responding. Press Start audio to reconnect.");
    EXPECT_EQ(panel.statusText(), "Routing helper unavailable · Start audio to reconnect");
    // Killed, it could not give the output back.
    EXPECT_EQ(e2e.defaultOutput(), panel.device());

    panel.restoreMacOutput();
    EXPECT_EQ(panel.recoveryMessage(),
              "Mac playback now uses Built-in Speakers directly. Volume is unchanged; unmute that device when you want to listen.");
    EXPECT_EQ(e2e.defaultOutput(), e2e.deviceId(kSpeakers));
    // The stop request launched a new helper, which answers it.
    EXPECT_TRUE(e2e.runUntil([&] { return panel.routingPhase() == "stopped"; }))
        << panel.routingPhase() << ": " << panel.routingDetail() << " / " << panel.error();
    EXPECT_EQ(e2e.defaultOutput(), e2e.deviceId(kSpeakers));
    EXPECT_FALSE(panel.systemActive());

    // "Start audio" reconnects.
    panel.applyRouting(true);
    EXPECT_TRUE(e2e.runUntil([&] { return panel.routingPhase() == "running" && panel.systemActive(); }));
}

TEST(PanelEndToEnd, AHungHelperIsUnavailableUntilItAnswersAgain) {
    EndToEnd e2e;
    auto& panel = e2e.launchAndRun();
    const auto helpers = helperProcesses();
    ASSERT_EQ(helpers.size(), 1u);
    ASSERT_EQ(::kill(helpers[0], SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{helpers[0]};

    EXPECT_TRUE(e2e.runUntil([&] { return panel.routingPhase() == "unavailable"; }));
    // "Start audio" writes a new request; the hung helper still runs, so no second one starts.
    panel.applyRouting(true);
    EXPECT_EQ(panel.routingPhase(), "starting");
    EXPECT_EQ(panel.error(), "");
    EXPECT_TRUE(e2e.runUntil([&] { return panel.routingPhase() == "unavailable"; }));
    EXPECT_EQ(helperProcesses().size(), 1u);

    // It wakes up, takes the latest request and answers it.
    ASSERT_EQ(::kill(helpers[0], SIGCONT), 0);
    EXPECT_TRUE(e2e.runUntil([&] { return panel.routingPhase() == "running" && panel.systemActive(); }))
        << panel.routingPhase() << ": " << panel.routingDetail();
}

}  // namespace
}  // namespace korvane::test
