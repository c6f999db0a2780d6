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

// Unplugs the speakers while the player is held, so that it cannot see its file to the end before
// the device goes. False when the playback had ended already (the test was held up that long).
bool unplugUnder(audiosim::RemoteHardware& observer, pid_t player) {
    ::kill(player, SIGSTOP);
    const bool playing = firstPlaybackPlays(observer);
    if (playing) {
        EXPECT_EQ(test::runProgram({test::audiosimProgram(), "unplug", kSpeakers}), 0);
    }
    ::kill(player, SIGCONT);
    return playing;
}

TEST(PlayEnd, WhenTheAudioStopsBeingTakenPlayEndsWithOneLineAndFails) {
    using Interrupt = std::function<bool(DaemonFixture&, audiosim::RemoteHardware& observer, pid_t player)>;
    const struct {
        const char* name;
        const char* seconds;  // the file's length: 20 s is streamed piece by piece, 1.5 s queued at once
        Interrupt interrupt;  // false: too late, try again
        std::vector<std::string> says;  // one of these lines
    } cases[] = {
        {"the daemon stopped", "20",
         [](DaemonFixture& d, audiosim::RemoteHardware&, pid_t) { return ::kill(d.daemonPid(), SIGSTOP) == 0; },
         {kNoAudioTaken}},
        {"the daemon killed", "20",
         [](DaemonFixture& d, audiosim::RemoteHardware&, pid_t) {
             d.killDaemon();
             return true;
         },
         {kNoAudioTaken}},
        // Whether play finds the new daemon before its deadline depends on how fast that starts.
        {"the daemon killed and started again", "20",
         [](DaemonFixture& d, audiosim::RemoteHardware&, pid_t) {
             d.killDaemon();
             d.startDaemon();
             return true;
         },
         {kRestarted, kNoAudioTaken}},
        {"the device unplugged mid-file", "20",
         [](DaemonFixture&, audiosim::RemoteHardware& observer, pid_t player) { return unplugUnder(observer, player); },
         {kUnplugged}},
        {"the device unplugged with the file queued", "1.5",
         [](DaemonFixture&, audiosim::RemoteHardware& observer, pid_t player) { return unplugUnder(observer, player); },
         {kUnplugged}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int attempt = 1;; ++attempt) {
            DaemonFixture daemon;
            const auto observer = daemon.connect();
            test::RunningProgram player(playCommand(tone(daemon, c.seconds)));
            if (!test::waitUntil([&] { return firstPlaybackPlays(*observer); }) ||
                !c.interrupt(daemon, *observer, player.pid())) {
                ASSERT_LT(attempt, 3) << "the playback was never caught playing";
                continue;
            }
            EXPECT_EQ(player.wait(std::chrono::seconds(60)), 1);
            EXPECT_NE(std::find(c.says.begin(), c.says.end(), player.output()), c.says.end()) << player.output();
            break;
        }
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
