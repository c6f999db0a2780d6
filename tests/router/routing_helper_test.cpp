// The real helper program over a real audiosim daemon, driven through "route.json" as the panel
// drives it.
#include "audiosim/cli/wav_file.h"
#include "audiosim/protocol/paths.h"
#include "shared/routing_files.h"
#include "tests/support/daemon_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <map>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef KORVANE_ROUTING_PROGRAM
#error "KORVANE_ROUTING_PROGRAM must name the helper program"
#endif

namespace korvane {
namespace {

using namespace std::chrono_literals;
using audiosim::wire::Message;

using Environment = std::map<std::string, std::optional<std::string>>;

class Helper {
public:
    // Starts the helper with the test's environment, changed by `changes` (nothing removes a
    // variable).
    explicit Helper(const Environment& changes = {}) {
        std::vector<std::string> variables;
        for (char** entry = environ; *entry; ++entry) {
            const std::string variable = *entry;
            if (!changes.contains(variable.substr(0, variable.find('=')))) variables.push_back(variable);
        }
        for (const auto& [name, value] : changes)
            if (value) variables.push_back(name + "=" + *value);
        std::vector<char*> envp;
        for (auto& variable : variables) envp.push_back(variable.data());
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execle(KORVANE_ROUTING_PROGRAM, KORVANE_ROUTING_PROGRAM, static_cast<char*>(nullptr), envp.data());
            ::_exit(127);
        }
    }
    ~Helper() { terminate(); }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // SIGTERM, as the panel's quit request; returns the exit status.
    int terminate() { return end(SIGTERM); }
    // As a crash would end it: no route stopped, nothing restored.
    void kill() { end(SIGKILL); }
    void signal(int number) const {
        if (pid_ > 0) ::kill(pid_, number);
    }
    // The exit status once the helper has ended, waiting up to `deadline` for it.
    std::optional<int> waitForExit(std::chrono::milliseconds deadline) {
        const bool ended = test::waitUntil(
            [&] {
                int status = 0;
                if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) reaped(status);
                return pid_ <= 0;
            },
            deadline);
        return ended ? std::optional<int>(status_) : std::nullopt;
    }

private:
    int end(int number) {
        if (pid_ <= 0) return status_;
        ::kill(pid_, number);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped(status);
        return status_;
    }
    void reaped(int status) {
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t pid_ = -1;
    int status_ = -1;
};

std::string request(const std::string& input, const std::string& output, bool enabled = true) {
    RoutingChoice choice;
    choice.inputUID = input;
    choice.outputUID = output;
    choice.enabled = enabled;
    EXPECT_FALSE(RoutingFiles::write(choice, RoutingFiles::kChoiceFileName));
    return choice.revision;
}

// Polls the report until it answers `revision` with `detail`; collects every detail seen for that
// revision on the way.
bool waitForDetail(const std::string& revision, const std::string& detail, std::set<std::string>* seen = nullptr) {
    return test::waitUntil([&] {
        const auto report = RoutingFiles::readReport();
        if (!report || report->revision != revision) return false;
        if (seen) seen->insert(report->detail);
        return report->detail == detail;
    });
}

std::string defaultOutput() {
    std::string output;
    test::runProgram({test::audiosimProgram(), "default-output"}, &output);
    return output;
}

bool reportPhaseIs(const std::string& revision, const std::string& phase) {
    const auto report = RoutingFiles::readReport();
    return report && report->revision == revision && report->phase == phase;
}

// The physical outputs of the built-in machine: where the computer's playback may rest.
bool isPhysicalOutput(const std::string& uid) {
    static const std::set<std::string> physical{"BuiltInSpeakerDevice\n", "USBInterface:2in2out\n",
                                                "BTHeadphones:00-11-22\n", "HDMIDisplay:1\n"};
    return physical.contains(uid);
}

constexpr const char* kSystemPlaybackConnected = "System playback connected · stereo 1–2";

TEST(RoutingHelper, SystemPlaybackIsHeardOnTheListeningOutputAtUnity) {
    test::DaemonFixture daemon;
    Helper helper;
    const auto revision = request("system", "BuiltInSpeakerDevice");
    ASSERT_TRUE(waitForDetail(revision, "System playback connected · stereo 1–2"));
    EXPECT_EQ(RoutingFiles::readReport()->phase, "running");
    EXPECT_EQ(defaultOutput(), "audio.ravlin.stereo.v1\n");

    audiosim::WavAudio tone;
    tone.channels = 2;
    tone.rate = 48000;
    for (int i = 0; i < 24000; ++i) {
        tone.samples.push_back(float(0.5 * std::sin(2 * M_PI * 440 * i / 48000.0 + 0.1)));
        tone.samples.push_back(float(-0.25 * std::sin(2 * M_PI * 330 * i / 48000.0 + 0.2)));
    }
    const auto source = (daemon.environment.root() / "tone.wav").string();
    const auto heard = (daemon.environment.root() / "heard.wav").string();
    ASSERT_EQ(audiosim::writeWav(source, tone), "");
    const auto attempt = [&] {
        test::RunningProgram recorder({test::audiosimProgram(), "record", "BuiltInSpeakerDevice", heard, "--seconds", "1.5", "--output"});
        if (!recorder.waitForOutput("Recording ")) return false;
        const int played = test::runProgram({test::audiosimProgram(), "play", source});
        if (recorder.wait() != 0) return false;
        std::string error;
        const auto audio = audiosim::readWav(heard, error);
        if (played != 0 || !audio) return false;
        std::size_t start = 0;
        while (start < audio->frames() && audio->samples[2 * start] == 0.0f) ++start;
        if (start + tone.frames() > audio->frames()) return false;
        for (std::size_t i = 0; i < tone.samples.size(); ++i)
            if (audio->samples[2 * start + i] != tone.samples[i]) return false;
        return true;
    };
    EXPECT_TRUE(daemon.unlessCyclesWereMissed(attempt));

    // Quitting stops the route, restores the default output and leaves "stopped".
    EXPECT_EQ(helper.terminate(), 0);
    const auto last = RoutingFiles::readReport();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->phase, "stopped");
    EXPECT_EQ(last->detail, "Routing stopped");
    EXPECT_EQ(last->cycles, 0u);
    EXPECT_EQ(defaultOutput(), "BuiltInSpeakerDevice\n");
}

TEST(RoutingHelper, AMicrophoneRouteAndItsListeningOutputUnplugged) {
    test::DaemonFixture daemon;
    Helper helper;
    const auto revision = request("BuiltInMicrophoneDevice", "BuiltInSpeakerDevice");
    std::set<std::string> seen;
    ASSERT_TRUE(waitForDetail(revision, "Sending L/R audio to Built-in Speakers", &seen));
    // The apply's own report stands for half a second before the first tick that sees callbacks.
    EXPECT_TRUE(seen.count("Connected · waiting for audio callbacks · mono input sent to L and R"));

    ASSERT_EQ(test::runProgram({test::audiosimProgram(), "unplug", "BuiltInSpeakerDevice"}), 0);
    ASSERT_TRUE(waitForDetail(revision, "An audio device changed or disconnected. Choose devices and Apply again."));
    EXPECT_EQ(RoutingFiles::readReport()->phase, "error");
    EXPECT_EQ(helper.terminate(), 0);
}

TEST(RoutingHelper, ARequestAfterTheDaemonRestartedRuns) {
    test::DaemonFixture daemon;
    Helper helper;
    const auto first = request("system", "BuiltInSpeakerDevice");
    ASSERT_TRUE(waitForDetail(first, "System playback connected · stereo 1–2"));
    daemon.killDaemon();  // the helper's connection, route and callback die with it
    daemon.startDaemon();
    const auto revision = request("BuiltInMicrophoneDevice", "BuiltInSpeakerDevice");
    EXPECT_TRUE(waitForDetail(revision, "Sending L/R audio to Built-in Speakers"));
    EXPECT_EQ(helper.terminate(), 0);
}

TEST(RoutingHelper, NoRequestMeansNoReport) {
    test::DaemonFixture daemon;
    auto observer = daemon.connect();
    Helper helper;
    // Connected, the helper looks for a request at once, then every half second.
    ASSERT_TRUE(test::waitUntil([&] { return test::daemonStat(*observer, "clients") >= 2; }, 20s));
    // The quiet period is the point: over it, more than one look, nothing may be written. A slow
    // machine that looks fewer times proves less, but never fails wrongly.
    std::this_thread::sleep_for(700ms);
    EXPECT_FALSE(RoutingFiles::readBytes(RoutingFiles::kReportFileName));
}

// The computer's playback never stays on KORVANE once routing stops, however it stops.
TEST(RoutingHelper, TheHeadphonesThatWereTheDefaultOutputAreUnplugged) {
    test::DaemonFixture daemon;
    ASSERT_EQ(test::runProgram({test::audiosimProgram(), "default-output", "BTHeadphones:00-11-22"}), 0);
    Helper helper;
    const auto revision = request("system", "BTHeadphones:00-11-22");
    ASSERT_TRUE(waitForDetail(revision, kSystemPlaybackConnected));
    ASSERT_EQ(defaultOutput(), "audio.ravlin.stereo.v1\n");

    ASSERT_EQ(test::runProgram({test::audiosimProgram(), "unplug", "BTHeadphones:00-11-22"}), 0);
    ASSERT_TRUE(waitForDetail(revision, "An audio device changed or disconnected. Choose devices and Apply again."));
    EXPECT_TRUE(isPhysicalOutput(defaultOutput())) << defaultOutput();
    ASSERT_EQ(test::runProgram({test::audiosimProgram(), "plug", "BTHeadphones:00-11-22"}), 0);
    EXPECT_TRUE(isPhysicalOutput(defaultOutput())) << defaultOutput();
    EXPECT_EQ(helper.terminate(), 0);
    EXPECT_TRUE(isPhysicalOutput(defaultOutput())) << defaultOutput();
}

TEST(RoutingHelper, AHelperThatDiedLeftPlaybackOnKorvane) {
    test::DaemonFixture daemon;
    const auto revision = request("system", "daw");
    {
        Helper crashed;
        ASSERT_TRUE(waitForDetail(revision, kSystemPlaybackConnected));
        crashed.kill();
    }
    ASSERT_EQ(defaultOutput(), "audio.ravlin.stereo.v1\n");
    // The panel launches a new helper, which takes up the same request again.
    std::filesystem::remove(RoutingFiles::directory() / RoutingFiles::kReportFileName);
    Helper helper;
    ASSERT_TRUE(waitForDetail(revision, kSystemPlaybackConnected));
    EXPECT_EQ(helper.terminate(), 0);
    EXPECT_TRUE(isPhysicalOutput(defaultOutput())) << defaultOutput();
}

TEST(RoutingHelper, TheDaemonStopsAnsweringDuringARoute) {
    test::DaemonFixture daemon;
    Helper helper;
    const auto revision = request("system", "BuiltInSpeakerDevice");
    ASSERT_TRUE(waitForDetail(revision, kSystemPlaybackConnected));
    ASSERT_EQ(::kill(daemon.daemonPid(), SIGSTOP), 0);
    // The helper gives up on the route once its calls go unanswered; only then does the daemon
    // come back.
    const bool noticed = test::waitUntil([&] { return reportPhaseIs(revision, "error"); }, 60s);
    ASSERT_EQ(::kill(daemon.daemonPid(), SIGCONT), 0);
    ASSERT_TRUE(noticed);
    EXPECT_TRUE(test::waitUntil([] { return isPhysicalOutput(defaultOutput()); }, 20s)) << defaultOutput();
    EXPECT_EQ(helper.terminate(), 0);
    EXPECT_TRUE(isPhysicalOutput(defaultOutput())) << defaultOutput();
}

// Reads reports until `count` distinct ones (by time stamp) have been written; returns their phases.
std::vector<std::string> nextReportPhases(int count) {
    std::vector<std::string> phases;
    double last = -1;
    test::waitUntil(
        [&] {
            if (const auto report = RoutingFiles::readReport(); report && report->updated != last) {
                last = report->updated;
                phases.push_back(report->phase);
            }
            return int(phases.size()) >= count;
        },
        20s);
    return phases;
}

TEST(RoutingHelper, OneHelperPerUser) {
    test::DaemonFixture daemon;
    // Two started at once: one finds the other's instance lock and leaves at once, successfully,
    // having written nothing.
    auto first = std::make_unique<Helper>();
    auto second = std::make_unique<Helper>();
    std::optional<int> status;
    ASSERT_TRUE(test::waitUntil([&] { return (status = first->waitForExit(0ms)) || (status = second->waitForExit(0ms)); }, 20s));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(RoutingFiles::readBytes(RoutingFiles::kReportFileName));

    const auto revision = request("system", "BuiltInSpeakerDevice");
    ASSERT_TRUE(waitForDetail(revision, kSystemPlaybackConnected));
    // One more, while the route runs, leaves as well.
    Helper third;
    EXPECT_EQ(third.waitForExit(20s), 0);
    const auto phases = nextReportPhases(6);
    EXPECT_EQ(phases, std::vector<std::string>(6, "running"));
    EXPECT_EQ(first->terminate(), 0);
    EXPECT_EQ(second->terminate(), 0);
    EXPECT_EQ(RoutingFiles::readReport()->phase, "stopped");
}

// SIGTERM while something hangs: measured from the signal to the helper's exit. The deadlines are
// failure bounds far above the goals (1 s and 3 s), not timing thresholds.
TEST(RoutingHelper, QuitsPromptlyWhileSomethingHangs) {
    struct Case {
        const char* name;
        std::string input;
        std::chrono::milliseconds bound;
    };
    const Case cases[] = {
        {"a permission prompt is pending", "BuiltInMicrophoneDevice", 10s},
        {"the daemon does not answer", "system", 10s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::DaemonFixture daemon;
        ASSERT_EQ(test::runProgram({test::audiosimProgram(), "permission", "not-determined", "--delay", "60"}), 0);
        Helper helper({{"AUDIOSIM_TIMEOUT_MS", std::nullopt}});  // the users' own call timeout
        const auto revision = request(c.input, "BuiltInSpeakerDevice");
        ASSERT_TRUE(test::waitUntil([&] { return reportPhaseIs(revision, c.input == "system" ? "running" : "permission"); }, 20s));
        const bool stopDaemon = c.input == "system";
        if (stopDaemon) {
            ASSERT_EQ(::kill(daemon.daemonPid(), SIGSTOP), 0);
        }

        const auto start = std::chrono::steady_clock::now();
        helper.signal(SIGTERM);
        const auto status = helper.waitForExit(c.bound);
        const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (stopDaemon) ::kill(daemon.daemonPid(), SIGCONT);
        std::printf("[ measured ] %s: the helper quit %.3f s after SIGTERM\n", c.name, took);
        if (!status) helper.kill();
        ASSERT_TRUE(status) << "the helper still ran " << c.bound.count() << " ms after SIGTERM";
        EXPECT_EQ(status, 0);
        const auto last = RoutingFiles::readReport();
        ASSERT_TRUE(last);
        EXPECT_EQ(last->phase, "stopped");
        EXPECT_EQ(last->detail, "Routing stopped");
    }
}

TEST(RoutingHelper, ALockFilePlantedInTmpByAnotherUserBlocksNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "planting a file of another user needs root";
    test::DaemonFixture daemon;
    const std::filesystem::path planted = "/tmp/audio.korvane.routing.lock";
    const bool plantedHere = !std::filesystem::exists(std::filesystem::symlink_status(planted));
    if (plantedHere) {
        test::writeFile(planted, "");
        ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
    }
    // A helper without a per-user runtime or temporary directory: only /tmp is left to it.
    Helper helper({{"XDG_RUNTIME_DIR", std::nullopt},
                   {"TMPDIR", std::nullopt},
                   {"AUDIOSIM_SOCKET", audiosim::socketLocation().socket.string()}});
    const auto revision = request("BuiltInMicrophoneDevice", "BuiltInSpeakerDevice");
    const bool routed = waitForDetail(revision, "Sending L/R audio to Built-in Speakers");
    EXPECT_EQ(helper.terminate(), 0);
    if (plantedHere) std::filesystem::remove(planted);
    EXPECT_TRUE(routed) << RoutingFiles::readReport().value_or(RoutingReport{}).detail;
    struct stat info {};
    const auto directory = "/tmp/korvane-" + std::to_string(::getuid());
    ASSERT_EQ(::lstat(directory.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, ::getuid());
}

// A daemon that quits in good order saves KORVANE as the default output and restores it when it
// comes back: the helper puts the output it owes back then.
TEST(RoutingHelper, AfterADaemonRestartTheOwedOutputReturnsAndTheNextRequestRuns) {
    test::DaemonFixture daemon;
    Helper helper;
    const auto first = request("system", "BuiltInSpeakerDevice");
    ASSERT_TRUE(waitForDetail(first, kSystemPlaybackConnected));
    daemon.stopDaemon();
    ASSERT_TRUE(test::waitUntil([&] { return reportPhaseIs(first, "error"); }, 20s));
    daemon.startDaemon();
    const auto second = request("BuiltInMicrophoneDevice", "BuiltInSpeakerDevice");
    EXPECT_TRUE(waitForDetail(second, "Sending L/R audio to Built-in Speakers"))
        << RoutingFiles::readReport().value_or(RoutingReport{}).detail;
    EXPECT_TRUE(test::waitUntil([] { return isPhysicalOutput(defaultOutput()); }, 20s)) << defaultOutput();
    EXPECT_EQ(helper.terminate(), 0);
}

}  // namespace
}  // namespace korvane
