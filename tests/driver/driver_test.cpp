// korvane-driver over a private PipeWire and WirePlumber: the device as a DAW and the desktop
// meet it.
#include "driver/device_settings.h"
#include "driver/korvane_device.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"
#include "tests/support/stream_probe.h"
#include "virtual_device/sink_processing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>

namespace {

using korvane::driver::kSinkName;
using korvane::driver::kSourceName;
using korvane::test::PipeWireSession;
using korvane::test::RunningProgram;
using korvane::test::StreamProbe;
using korvane::test::waitUntil;
using Frame = std::array<float, 2>;
using namespace std::chrono_literals;

constexpr std::int64_t kQuantum = StreamProbe::kQuantum;

// A different, exactly representable value for every frame.
Frame noise(std::int64_t position) {
    std::uint64_t x = std::uint64_t(position) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    const auto value = [](std::uint64_t bits) { return float(std::int32_t(bits & 0xffff) - 0x8000) / 65536.0f; };
    return {value(x), value(x >> 16)};
}

Frame tone(std::int64_t position) {
    const double phase = 2 * M_PI * 1000.0 * double(position) / StreamProbe::kRate;
    return {float(0.5 * std::sin(phase)), float(0.25 * std::sin(phase))};
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.ready()) << korvane::test::readFile(session.environment().root() / "session.log");
        driver = std::make_unique<RunningProgram>(std::vector<std::string>{korvane::test::driverProgram()});
        ASSERT_TRUE(waitForDevice()) << "the KORVANE nodes did not appear";
    }

    bool waitForDevice() {
        return waitUntil([&] { return session.nodeId(kSinkName) && session.nodeId(kSourceName); }, 15s);
    }

    std::uint32_t sinkId() { return session.nodeId(kSinkName).value_or(0); }

    std::vector<double> status() {
        const auto value = session.metadataValue("korvane", sinkId(), "korvane.status");
        if (!value || !value->is_array()) return {};
        return value->get<std::vector<double>>();
    }

    // Plays `signal` into the sink and records the source until `frames` were recorded.
    std::vector<StreamProbe::Block> loop(const StreamProbe::Signal& signal, std::size_t frames = 24000) {
        StreamProbe probe;
        EXPECT_TRUE(probe.connected());
        probe.record(kSourceName);
        probe.play(kSinkName, signal);
        EXPECT_TRUE(waitUntil([&] { return probe.recordedFrames() >= frames; }, 15s)) << "nothing recorded";
        return probe.recorded();
    }

    // Plays `signal` into the sink and records the source until 8192 consecutive frames (32
    // quanta) came out exactly as `expected` says; false when that never happens.
    bool loopsAs(const StreamProbe::Signal& signal, const StreamProbe::Signal& expected) {
        StreamProbe probe;
        probe.record(kSourceName);
        probe.play(kSinkName, signal);
        return waitUntil([&] { return korvane::test::longestMatchingRun(probe.recorded(), expected) >= 8192; }, 15s);
    }

    PipeWireSession session;
    std::unique_ptr<RunningProgram> driver;
};

TEST_F(DriverTest, PresentsOneStereoDeviceOfTwoNodesInOneGroup) {
    const auto sink = session.node(kSinkName)["info"]["props"];
    const auto source = session.node(kSourceName)["info"]["props"];
    EXPECT_EQ(sink.value("media.class", ""), "Audio/Sink");
    EXPECT_EQ(source.value("media.class", ""), "Audio/Source");
    for (const auto& props : {sink, source}) {
        EXPECT_EQ(props.value("node.description", ""), "KORVANE");
        EXPECT_EQ(props.value("audio.channels", 0), 2);
        EXPECT_NE(props.value("node.group", ""), "");
        EXPECT_FALSE(props.contains("node.trigger"));
    }
    EXPECT_EQ(sink.value("node.group", ""), source.value("node.group", ""));
    EXPECT_EQ(session.propsParams(kSinkName),
              (nlohmann::json{{"korvane.gain-db", 0.0}, {"korvane.mode", 0}, {"korvane.rate", 48000}}));
}

TEST_F(DriverTest, WhatReachesTheSinkLeavesTheSourceUnchangedOneQuantumLater) {
    EXPECT_TRUE(loopsAs(noise, [](std::int64_t at) { return noise(at - kQuantum); }));
}

// Each row is written over the one before it; a refused value leaves what was in effect.
TEST_F(DriverTest, GainAndModeChangeWhatIsRecordedAndBadValuesChangeNothing) {
    struct Row {
        const char* params;
        double gainDb;
        int mode;
    };
    const Row rows[] = {
        {"\"korvane.gain-db\" 6.0", 6.0, 0},
        {"\"korvane.mode\" 1", 6.0, 1},
        {"\"korvane.gain-db\" 20.0 \"korvane.mode\" 0", 12.0, 0},
        {"\"korvane.gain-db\" -75", -60.0, 0},
        {"\"korvane.gain-db\" \"loud\" \"korvane.mode\" 2", -60.0, 0},
        {"\"korvane.mode\" 0.5 \"korvane.rate\" 12345 \"korvane.gain-db\" true", -60.0, 0},
        {"\"korvane.gain-db\" -3.5", -3.5, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.params);
        ASSERT_TRUE(session.setProps(sinkId(), std::string("{ params = [ ") + row.params + " ] }"));
        const nlohmann::json expected{{"korvane.gain-db", row.gainDb}, {"korvane.mode", row.mode}, {"korvane.rate", 48000}};
        ASSERT_TRUE(waitUntil([&] { return session.propsParams(kSinkName) == expected; }))
            << session.propsParams(kSinkName);
        const float gain = korvane::virtual_device::linearGain(row.gainDb);
        const auto mode = korvane::virtual_device::ChannelMode(row.mode);
        EXPECT_TRUE(loopsAs(noise, [&](std::int64_t at) {
            const Frame in = noise(at - kQuantum);
            Frame out{};
            korvane::virtual_device::processBlock(in.data(), 2, out.data(), 1, gain, mode);
            return out;
        }));
    }
    EXPECT_EQ(driver->pid() > 0 && ::kill(driver->pid(), 0) == 0, true) << "the driver ended";
}

TEST_F(DriverTest, AVolumeOrMuteSetOnTheSinkIsUndone) {
    const std::string id = std::to_string(sinkId());
    ASSERT_EQ(session.run({"wpctl", "set-volume", id, "0.3"}), 0);
    ASSERT_EQ(session.run({"wpctl", "set-mute", id, "1"}), 0);
    EXPECT_TRUE(waitUntil([&] {
        std::string volume;
        return session.run({"wpctl", "get-volume", id}, &volume) == 0 && volume == "Volume: 1.00\n";
    })) << "the sink's volume stayed changed";
    EXPECT_TRUE(loopsAs(noise, [](std::int64_t at) { return noise(at - kQuantum); }));
}

TEST_F(DriverTest, TheStatusFollowsTheLevelsAndItsCountersMoveOnlyWithTheirSide) {
    StreamProbe player;
    player.play(kSinkName, tone);
    const auto near = [](double value, double expected) { return std::fabs(value - expected) < 1e-3; };
    std::vector<double> before;
    ASSERT_TRUE(waitUntil([&] {
        before = status();
        return before.size() == 7 && near(before[0], 0.5) && near(before[1], 0.25) && near(before[2], 0.5) &&
               near(before[3], 0.25);
    })) << nlohmann::json(before);
    EXPECT_EQ(before[6], 0.0);
    std::vector<double> later;
    ASSERT_TRUE(waitUntil([&] { return (later = status()).size() == 7 && later[4] > before[4]; }));
    EXPECT_EQ(later[5], before[5]) << "nothing reads the source";

    StreamProbe recorder;
    recorder.record(kSourceName);
    EXPECT_TRUE(waitUntil([&] { return (later = status()).size() == 7 && later[5] > before[5]; }));

    // Anyone's write to the status is put back.
    const std::string id = std::to_string(sinkId());
    ASSERT_EQ(session.run({"pw-metadata", "-n", "korvane", id, "korvane.status", "[9,9,9,9,9,9,9]", "Spa:String:JSON"}), 0);
    EXPECT_TRUE(waitUntil([&] { return (later = status()).size() == 7 && later[0] != 9.0; }));
}

TEST_F(DriverTest, ASecondDriverSaysOneRunsAndLeavesTheFirstAlone) {
    std::string output;
    EXPECT_EQ(korvane::test::runProgram({korvane::test::driverProgram()}, &output), 0);
    EXPECT_EQ(output, "korvane-driver: a KORVANE driver already runs for this user.\n");
    EXPECT_EQ(::kill(driver->pid(), 0), 0);
}

TEST_F(DriverTest, TheQuitSignalsRemoveTheDevice) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        if (!driver) driver = std::make_unique<RunningProgram>(std::vector<std::string>{korvane::test::driverProgram()});
        ASSERT_TRUE(waitForDevice());
        ::kill(driver->pid(), signal);
        EXPECT_EQ(driver->wait(5s), 0);
        EXPECT_FALSE(session.nodeId(kSinkName));
        EXPECT_FALSE(session.nodeId(kSourceName));
        driver.reset();
    }
}

TEST_F(DriverTest, ComesBackWhenTheServerIsRestartedAndKeepsItsSettings) {
    ASSERT_TRUE(session.setProps(sinkId(), "{ params = [ \"korvane.gain-db\" -6.0 ] }"));
    ASSERT_TRUE(waitUntil([&] { return session.propsParams(kSinkName).value("korvane.gain-db", 0.0) == -6.0; }));
    ASSERT_TRUE(session.restart());
    EXPECT_TRUE(waitForDevice());
    EXPECT_EQ(session.propsParams(kSinkName).value("korvane.gain-db", 0.0), -6.0);
    EXPECT_FALSE(loop(tone, 4096).empty());
}

}  // namespace
