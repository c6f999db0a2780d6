// korvane-driver puts back the configured default output that a route left on KORVANE (a crash,
// a logout mid-route), exactly as it was, when it starts; not while a route holds the routing lock.
#include "driver/default_output_keeper.h"
#include "driver/korvane_device.h"
#include "platform/lock_file.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <sstream>

namespace {

using korvane::driver::kConfiguredSinkKey;
using korvane::driver::kSinkName;
using korvane::test::PipeWireSession;
using korvane::test::RunningProgram;
using korvane::test::waitUntil;
using namespace std::chrono_literals;

constexpr const char* kKorvane = R"({"name":"audio.ravlin.stereo.v1"})";

class DefaultOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.ready()) << korvane::test::readFile(session.environment().root() / "session.log");
        ASSERT_EQ(session.run({"pw-cli", "create-node", "adapter",
                               "{ factory.name=support.null-audio-sink node.name=usb.if media.class=Audio/Sink "
                               "object.linger=true audio.position=[FL FR] }"}),
                  0);
        startDriver();
    }

    void startDriver() {
        driver = std::make_unique<RunningProgram>(std::vector<std::string>{korvane::test::driverProgram()});
        ASSERT_TRUE(waitUntil([&] { return session.nodeId(kSinkName).has_value(); }, 15s));
    }

    void restartDriver() {
        ::kill(driver->pid(), SIGTERM);
        ASSERT_EQ(driver->wait(5s), 0);
        startDriver();
    }

    // The key's value exactly as written, or nullopt when it is absent.
    std::optional<std::string> configured() {
        std::string output;
        if (session.run({"pw-metadata", "-n", "default"}, &output) != 0) return "(unreadable)";
        static const std::regex kLine(R"(update: id:0 key:'default\.configured\.audio\.sink' value:'(.*)' type:'[^']*')");
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);)
            if (std::smatch match; std::regex_match(line, match, kLine)) return match[1].str();
        return std::nullopt;
    }

    bool configure(const std::optional<std::string>& value) {
        if (!value) return session.run({"pw-metadata", "-n", "default", "-d", "0", kConfiguredSinkKey}) == 0;
        return session.run({"pw-metadata", "-n", "default", "0", kConfiguredSinkKey, *value, "Spa:String:JSON"}) == 0;
    }

    std::string record() {
        return korvane::test::readFile(session.environment().root() / "state" / "korvane" / "default-output.json");
    }

    PipeWireSession session;
    std::unique_ptr<RunningProgram> driver;
};

TEST_F(DefaultOutputTest, AStartPutsBackExactlyWhatWasConfiguredBeforeKorvane) {
    const std::optional<std::string> previous[] = {R"({ "name": "usb.if" })", std::nullopt};
    for (const auto& value : previous) {
        SCOPED_TRACE(value.value_or("(absent)"));
        ASSERT_TRUE(configure(R"({"name":"something.else"})"));
        ASSERT_TRUE(waitUntil([&] { return record().find("something.else") != std::string::npos; }));
        ASSERT_TRUE(configure(value));
        const std::string expected = korvane::driver::configuredSinkRecordText({value});
        ASSERT_TRUE(waitUntil([&] { return record() == expected; })) << record();
        ASSERT_TRUE(configure(kKorvane));  // a route sets it, then ends without putting it back
        ASSERT_TRUE(waitUntil([&] { return configured() == kKorvane; }));
        restartDriver();
        EXPECT_TRUE(driver->waitForOutput("the default output was left on KORVANE; put back"));
        EXPECT_TRUE(waitUntil([&] { return configured() == value; })) << configured().value_or("(absent)");
        EXPECT_EQ(record(), expected);
    }
}

TEST_F(DefaultOutputTest, WhileARouteHoldsTheLockKorvaneStays) {
    ASSERT_TRUE(configure(R"({"name":"usb.if"})"));
    ASSERT_TRUE(waitUntil([&] { return record().find("usb.if") != std::string::npos; }));
    std::error_code error;
    platform::LockFile::Outcome outcome;
    const auto lock = platform::LockFile::acquire(korvane::driver::kRoutingLockName, error, outcome);
    ASSERT_EQ(outcome, platform::LockFile::Outcome::acquired) << error.message();
    ASSERT_TRUE(configure(kKorvane));
    ASSERT_TRUE(waitUntil([&] { return configured() == kKorvane; }));
    restartDriver();
    EXPECT_TRUE(driver->waitForOutput("a route runs; the default output stays on KORVANE"));
    EXPECT_EQ(configured(), kKorvane);
    EXPECT_NE(record().find("usb.if"), std::string::npos);
}

}  // namespace
