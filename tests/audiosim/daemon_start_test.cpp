// How the daemon starts when something is wrong: a damaged saved state, a machine description it
// cannot use, no descriptor for its quit signals; and what a client that started it then says.
#include "audiosim/client/daemon_connection.h"
#include "audiosim/daemon/server.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/descriptor_exhaustion.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::DaemonFixture;

TEST(DaemonStart, AWrongTypedStateFileIsSetAsideAndTheDaemonStartsAfresh) {
    const char* const files[] = {
        R"({"aggregates":[],"defaultOutput":7,"volumes":{}})",
        R"({"aggregates":[],"defaultOutput":"HDMIDisplay:1","defaultSystemOutput":null,"volumes":{}})",
        R"({"volumes":{"BuiltInSpeakerDevice":{"0":"half"}}})",
    };
    for (const char* text : files) {
        SCOPED_TRACE(text);
        DaemonFixture daemon;
        daemon.stopDaemon();
        const fs::path directory = audiosim::stateDirectory();
        fs::create_directories(directory);
        fs::permissions(directory, fs::perms::owner_all);
        test::writeFile(directory / "state.json", text);
        ASSERT_NO_THROW(daemon.startDaemon());
        EXPECT_EQ(test::readFile(directory / "state.json.bad"), text);
        std::string output;
        EXPECT_EQ(test::runProgram({test::audiosimProgram(), "default-output"}, &output), 0);
        EXPECT_EQ(output, "BuiltInSpeakerDevice\n");  // the machine's own, not the file's
        // The next change is saved again.
        EXPECT_EQ(test::runProgram({test::audiosimProgram(), "default-output", "HDMIDisplay:1"}), 0);
        EXPECT_NE(test::readFile(directory / "state.json").find("HDMIDisplay:1"), std::string::npos);
    }
}

TEST(DaemonStart, AClientThatCannotStartTheDaemonSaysWhyInTheDaemonsWords) {
    const struct {
        const char* name;
        std::string binary;
        std::string config;
        std::string says;
    } cases[] = {
        {"a machine description that is not there", test::audiosimProgram(), "/nonexistent/machine.json",
         "cannot open machine description /nonexistent/machine.json"},
        {"a machine description of the wrong shape", test::audiosimProgram(), "wrong.json", "unknown key \"speakers\""},
        {"no program", "/nonexistent/audiosim", "", "Cannot run /nonexistent/audiosim"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TestEnvironment environment;
        environment.set("XDG_STATE_HOME", (environment.root() / "state").string());
        environment.set("AUDIOSIM_BINARY", c.binary);
        environment.set("AUDIOSIM_AUTOSPAWN", "1");
        std::string config = c.config;
        if (config == "wrong.json") {
            config = (environment.root() / "wrong.json").string();
            test::writeFile(config, R"({"speakers": []})");
        }
        environment.set("AUDIOSIM_CONFIG", config);
        std::string error;
        EXPECT_FALSE(audiosim::DaemonConnection::open(error));
        EXPECT_NE(error.find("Could not start the audiosim daemon"), std::string::npos) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST(DaemonStart, TheDaemonStopsAtOnceWhenItCannotWatchForItsQuitSignals) {
    test::TestEnvironment environment;
    environment.set("XDG_STATE_HOME", (environment.root() / "state").string());
    audiosim::Server server(audiosim::builtinMachine(), audiosim::socketLocation(), audiosim::stateDirectory());
    testing::internal::CaptureStderr();
    int status = 0;
    {
        test::DescriptorExhaustion exhausted(0);
        status = server.run();  // before the fix: served on, deaf to SIGTERM, or failed for another reason
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_NE(said.find("Cannot watch for SIGTERM and SIGINT"), std::string::npos) << said;
}

}  // namespace
}  // namespace korvane
