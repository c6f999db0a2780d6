// The real helper program over a real audiosim daemon, driven through "route.json" as the panel
// drives it.
#include "audiosim/cli/wav_file.h"
#include "shared/routing_files.h"
#include "tests/support/daemon_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <set>
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

class Helper {
public:
    Helper() {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(KORVANE_ROUTING_PROGRAM, KORVANE_ROUTING_PROGRAM, static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Helper() { terminate(); }
    // SIGTERM, as the panel's quit request; returns the exit status.
    int terminate() {
        if (pid_ <= 0) return status_;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
    }

private:
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

// Polls the report until it answers `revision` with `detail` (or 5 s pass); collects every detail
// seen for that revision on the way.
bool waitForDetail(const std::string& revision, const std::string& detail, std::set<std::string>* seen = nullptr) {
    for (int i = 0; i < 500; ++i) {
        if (const auto report = RoutingFiles::readReport(); report && report->revision == revision) {
            if (seen) seen->insert(report->detail);
            if (report->detail == detail) return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::string defaultOutput() {
    std::string output;
    test::runProgram({test::audiosimProgram(), "default-output"}, &output);
    return output;
}

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
    Helper helper;
    std::this_thread::sleep_for(700ms);
    EXPECT_FALSE(RoutingFiles::readBytes(RoutingFiles::kReportFileName));
}

}  // namespace
}  // namespace korvane
