// How `audiosim play` ends when its audio stops being taken: the daemon stopped, killed or
// restarted, the device unplugged. Each ends the program with one line and a failure status, and
// none passes for a playback that finished.
#include "audiosim/cli/wav_file.h"
#include "tests/support/daemon_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>

namespace korvane {
namespace {

using audiosim::wire::Message;
using test::DaemonFixture;

constexpr const char* kSpeakers = "BuiltInSpeakerDevice";
const std::string kNoAudioTaken = "audiosim: No audio was taken by \"BuiltInSpeakerDevice\" for 5 s; playback stopped.\n";
const std::string kUnplugged = "audiosim: \"BuiltInSpeakerDevice\" was unplugged; playback stopped.\n";
const std::string kRestarted = "audiosim: The audiosim daemon restarted; playback stopped.\n";

// `audiosim play FILE`, its standard output and error together.
std::vector<std::string> playCommand(const std::string& file) {
    return {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh", test::audiosimProgram(), "play", file};
}

std::string tone(DaemonFixture& daemon, const char* seconds) {
    const auto file = (daemon.environment.root() / "tone.wav").string();
    EXPECT_EQ(test::runProgram({test::audiosimProgram(), "tone", file, "--seconds", seconds}), 0);
    return file;
}

// Whether the daemon holds the first playback it was given (a fresh daemon numbers them from 1).
bool firstPlaybackPlays(audiosim::RemoteHardware& hardware) {
    const auto reply = hardware.connection().call(Message{{"op", "playbackState"}, {"playback", 1}});
    return reply && reply->value("playing", false);
}

TEST(PlayEnd, WhenTheAudioStopsBeingTakenPlayEndsWithOneLineAndFails) {
    const struct {
        const char* name;
        const char* seconds;  // the file's length: 20 s is streamed piece by piece, 1.5 s queued whole
        std::function<void(DaemonFixture&)> interrupt;
        std::vector<std::string> says;  // one of these lines
    } cases[] = {
        {"the daemon stopped", "20", [](DaemonFixture& d) { ::kill(d.daemonPid(), SIGSTOP); }, {kNoAudioTaken}},
        {"the daemon killed", "20", [](DaemonFixture& d) { d.killDaemon(); }, {kNoAudioTaken}},
        // Whether play finds the new daemon before its deadline depends on how fast it starts.
        {"the daemon killed and started again", "20",
         [](DaemonFixture& d) {
             d.killDaemon();
             d.startDaemon();
         },
         {kRestarted, kNoAudioTaken}},
        {"the device unplugged mid-file", "20",
         [](DaemonFixture&) { EXPECT_EQ(test::runProgram({test::audiosimProgram(), "unplug", kSpeakers}), 0); },
         {kUnplugged}},
        {"the device unplugged with the file queued whole", "1.5",
         [](DaemonFixture&) { EXPECT_EQ(test::runProgram({test::audiosimProgram(), "unplug", kSpeakers}), 0); },
         {kUnplugged}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DaemonFixture daemon;
        const auto observer = daemon.connect();
        test::RunningProgram player(playCommand(tone(daemon, c.seconds)));
        ASSERT_TRUE(test::waitUntil([&] { return firstPlaybackPlays(*observer); }));
        c.interrupt(daemon);
        EXPECT_EQ(player.wait(std::chrono::seconds(60)), 1);
        EXPECT_NE(std::find(c.says.begin(), c.says.end(), player.output()), c.says.end()) << player.output();
    }
}

TEST(PlayEnd, AFileWithoutFramesPlaysNothingAndEnds) {
    DaemonFixture daemon;
    const auto file = (daemon.environment.root() / "empty.wav").string();
    ASSERT_EQ(audiosim::writeWav(file, {{}, 2, 48000}), "");
    test::RunningProgram player(playCommand(file));
    EXPECT_EQ(player.wait(), 0);
    EXPECT_EQ(player.output(), "");
}

TEST(PlayEnd, AFilePlayedToItsEndSucceeds) {
    DaemonFixture daemon;
    test::RunningProgram player(playCommand(tone(daemon, "1.5")));
    EXPECT_EQ(player.wait(), 0);
    EXPECT_EQ(player.output(), "");
}

}  // namespace
}  // namespace korvane
