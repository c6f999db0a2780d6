// The audiosim command line against a real daemon, as a person types it.
#include "tests/support/daemon_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace korvane {
namespace {

using test::DaemonFixture;

struct Outcome {
    int status;
    std::string text;  // stdout and stderr together
};

Outcome run(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh", test::audiosimProgram()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::string text;
    const int status = test::runProgram(command, &text);
    return {status, text};
}

std::string joined(const std::vector<std::string>& arguments) {
    std::string text;
    for (const auto& argument : arguments) text += argument + " ";
    return text;
}

TEST(CommandLine, BadInputIsRefusedWithOneLineAndChangesNothing) {
    DaemonFixture daemon;
    const std::string file = (daemon.environment.root() / "out.wav").string();
    const struct {
        std::vector<std::string> arguments;
        std::string says;
    } cases[] = {
        {{"record", "BuiltInMicrophoneDevice", file, "--seconds", "nan"}, "finite number"},
        {{"record", "BuiltInMicrophoneDevice", file, "--seconds", "inf"}, "finite number"},
        {{"record", "BuiltInMicrophoneDevice", file, "--seconds", "0"}, "--seconds"},
        {{"record", "NoSuchUID", file, "--seconds", "1"}, "No device has the UID \"NoSuchUID\"."},
        {{"volume", "BuiltInSpeakerDevice", "nan"}, "finite number"},
        {{"volume", "BuiltInSpeakerDevice", "1e999"}, "finite number"},
        {{"volume", "BuiltInSpeakerDevice", "1.01"}, "LEVEL"},
        {{"volume", "NoSuchUID", "0.5"}, "No device has the UID \"NoSuchUID\"."},
        {{"volume", "BuiltInMicrophoneDevice", "0.5"}, "\"BuiltInMicrophoneDevice\" has no volume control"},
        {{"input", "BuiltInMicrophoneDevice", "--sine", "nan"}, "finite number"},
        {{"input", "BuiltInMicrophoneDevice", "--sine", "-440"}, "--sine"},
        {{"input", "BuiltInMicrophoneDevice", "--sine", "440", "--level", "nan"}, "finite number"},
        {{"input", "NoSuchUID", "--sine", "440"}, "No device has the UID \"NoSuchUID\"."},
        {{"input", "BuiltInSpeakerDevice", "--sine", "440"}, "\"BuiltInSpeakerDevice\" has no input to change"},
        {{"set-rate", "NoSuchUID", "48000"}, "No device has the UID \"NoSuchUID\"."},
        {{"set-rate", "BuiltInSpeakerDevice", "nan"}, "finite number"},
        {{"set-rate", "BuiltInSpeakerDevice", "12345"}, "\"BuiltInSpeakerDevice\" cannot run at 12345 Hz"},
        {{"plug", "NoSuchUID"}, "No device has the UID \"NoSuchUID\"."},
        {{"plug", "BuiltInSpeakerDevice"}, "\"BuiltInSpeakerDevice\" is already plugged in."},
        {{"unplug", "NoSuchUID"}, "No device has the UID \"NoSuchUID\"."},
        {{"default-output", "NoSuchUID"}, "No device has the UID \"NoSuchUID\"."},
        {{"play", file, "--device", "NoSuchUID"}, "Cannot read"},  // the file is checked first
        {{"permission", "--delay", "inf"}, "finite number"},
        {{"tone", file, "--hz", "nan"}, "finite number"},
        {{"tone", file, "--seconds", "1e400"}, "--seconds"},
    };
    const std::string volumeBefore = run({"volume", "BuiltInSpeakerDevice"}).text;
    for (const auto& c : cases) {
        SCOPED_TRACE(joined(c.arguments));
        const Outcome outcome = run(c.arguments);
        EXPECT_NE(outcome.status, 0);
        EXPECT_GT(outcome.status, 0) << "ended by a signal or hung";
        EXPECT_NE(outcome.text.find(c.says), std::string::npos) << outcome.text;
        EXPECT_EQ(std::count(outcome.text.begin(), outcome.text.end(), '\n'), 1) << outcome.text;
        EXPECT_TRUE(outcome.text.starts_with("audiosim: ")) << outcome.text;
    }

    // None of them changed the machine.
    EXPECT_EQ(run({"volume", "BuiltInSpeakerDevice"}).text, volumeBefore);
    EXPECT_EQ(run({"default-output"}).text, "BuiltInSpeakerDevice\n");
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(CommandLine, GoodInputStillWorks) {
    DaemonFixture daemon;
    const struct {
        std::vector<std::string> arguments;
        std::string prints;
    } cases[] = {
        {{"volume", "BuiltInSpeakerDevice", "0.25"}, ""},
        {{"volume", "BuiltInSpeakerDevice"}, "main 0.250"},
        {{"set-rate", "BuiltInSpeakerDevice", "44100"}, ""},
        {{"input", "BuiltInMicrophoneDevice", "--sine", "1000", "--level", "-6"}, ""},
        {{"unplug", "BTHeadphones:00-11-22"}, ""},
        {{"plug", "BTHeadphones:00-11-22"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(joined(c.arguments));
        const Outcome outcome = run(c.arguments);
        EXPECT_EQ(outcome.status, 0) << outcome.text;
        EXPECT_NE(outcome.text.find(c.prints), std::string::npos) << outcome.text;
    }
}

}  // namespace
}  // namespace korvane
