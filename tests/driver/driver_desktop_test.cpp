// korvane-driver as a desktop meets it: programs of the PulseAudio API (paplay, pactl), JACK
// programs through pw-jack, and a session manager or server that restarts under it.
#include "driver/korvane_device.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"
#include "tests/support/stream_probe.h"

#include <gtest/gtest.h>

#include <sndfile.h>

#include <csignal>
#include <sstream>

namespace {

using korvane::driver::kSinkName;
using korvane::driver::kSourceName;
using korvane::test::PipeWireSession;
using korvane::test::RunningProgram;
using korvane::test::StreamProbe;
using korvane::test::waitUntil;
using namespace std::chrono_literals;

class DriverDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.ready()) << korvane::test::readFile(session.environment().root() / "session.log");
        pulse = std::make_unique<RunningProgram>(std::vector<std::string>{"/usr/bin/pipewire-pulse"});
        driver = std::make_unique<RunningProgram>(std::vector<std::string>{korvane::test::driverProgram()});
        ASSERT_TRUE(waitForDevice());
        ASSERT_TRUE(waitUntil([&] { return session.run({"pactl", "info"}) == 0; }, 10s)) << "pipewire-pulse answers";
    }

    bool waitForDevice() {
        return waitUntil([&] { return session.nodeId(kSinkName) && session.nodeId(kSourceName); }, 15s);
    }

    // What a program prints, or "" when it fails.
    std::string output(const std::vector<std::string>& arguments) const {
        std::string text;
        return session.run(arguments, &text) == 0 ? text : std::string();
    }

    PipeWireSession session;
    std::unique_ptr<RunningProgram> pulse;
    std::unique_ptr<RunningProgram> driver;
};

// A float WAV of a counter: frame n carries n + 1, as StreamProbe::playCounter plays it.
std::filesystem::path counterFile(const std::filesystem::path& directory, std::uint32_t frames) {
    const auto path = directory / "counter.wav";
    SF_INFO info{};
    info.samplerate = int(StreamProbe::kRate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<float> samples(std::size_t(frames) * 2);
    for (std::uint32_t n = 0; n < frames; ++n) {
        const auto frame = korvane::test::counterFrame(n + 1);
        samples[2 * n] = frame[0];
        samples[2 * n + 1] = frame[1];
    }
    sf_writef_float(file, samples.data(), frames);
    sf_close(file);
    return path;
}

// What a file holds, as the blocks a probe records (no positions).
std::vector<StreamProbe::Block> fileBlocks(const std::filesystem::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file || info.channels != 2) {
        if (file) sf_close(file);
        return {};
    }
    StreamProbe::Block block{-1, 0, std::vector<float>(std::size_t(info.frames) * 2)};
    block.samples.resize(std::size_t(sf_readf_float(file, block.samples.data(), info.frames)) * 2);
    sf_close(file);
    return {block};
}

// paplay into KORVANE, recorded from its source by a JACK recorder: every frame of the file, once
// and in order; and the capture latency a JACK DAW reads is the delay KORVANE adds.
TEST_F(DriverDesktopTest, PaplayReachesAJackRecorderWholeAndJackReadsTheLatencyMeasured) {
    ASSERT_EQ(session.run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum", "512"}), 0);
    const auto recording = session.environment().root() / "recorded.wav";
    RunningProgram recorder({"/usr/bin/pw-jack", "jack_capture", "--daemon", "--recording-time", "4", "--port",
                             "KORVANE:capture_FL", "--port", "KORVANE:capture_FR", "--filename", recording.string()});
    ASSERT_TRUE(waitUntil([&] { return output({"pw-jack", "jack_lsp", "-c"}).find("jack_capture") != std::string::npos; }, 10s))
        << "the JACK recorder runs";
    const auto file = counterFile(session.environment().root(), 48000);
    RunningProgram player({"/usr/bin/paplay", std::string("--device=") + kSinkName, file.string()});
    EXPECT_EQ(player.wait(20s), 0);
    EXPECT_EQ(recorder.wait(20s), 0);
    const auto heard = korvane::test::checkCounter(fileBlocks(recording), {});
    EXPECT_TRUE(heard.whole()) << heard.frames << " heard, " << heard.lost << " lost, " << heard.repeated << " repeated, "
                               << heard.missedCycles << " cycles the recorder missed";
    EXPECT_EQ(heard.frames, 48000u) << "the whole file";

    // The delay through KORVANE, measured with the probe's own counter, against what JACK reads.
    StreamProbe probe;
    probe.record(kSourceName);
    probe.playCounter(kSinkName);
    ASSERT_TRUE(waitUntil([&] { return probe.recordedFrames() >= 24000; }, 10s));
    const std::int64_t measured = korvane::test::checkCounter(probe.recorded(), probe.played()).delay();
    EXPECT_TRUE(measured == 512 || measured == 1024) << measured << ": one quantum, two after a cycle missed under load";
    std::string latency;
    EXPECT_TRUE(waitUntil([&] {
        latency = output({"pw-jack", "jack_lsp", "-l", "KORVANE:capture_FL"});
        return latency.find("port capture latency = [ " + std::to_string(measured) + " " + std::to_string(measured) + " ]") !=
               std::string::npos;
    }, 5s)) << latency;
    ASSERT_EQ(session.run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum", "0"}), 0);
}

// A desktop's volume on KORVANE's input is undone, so a DAW always records the device's own level.
TEST_F(DriverDesktopTest, ASourceVolumeSetThroughThePulseAudioAPIIsUndone) {
    ASSERT_EQ(session.run({"pactl", "set-source-volume", kSourceName, "50%"}), 0);
    ASSERT_EQ(session.run({"pactl", "set-source-mute", kSourceName, "1"}), 0);
    EXPECT_TRUE(waitUntil([&] {
        const std::string volume = output({"pactl", "get-source-volume", kSourceName});
        const std::string mute = output({"pactl", "get-source-mute", kSourceName});
        return volume.find("100%") != std::string::npos && volume.find("50%") == std::string::npos &&
               mute.find("no") != std::string::npos;
    }, 5s)) << output({"pactl", "get-source-volume", kSourceName});
}

// WirePlumber restarted under a running driver: new streams play within 5 s, and KORVANE is there
// as at first.
TEST_F(DriverDesktopTest, ARestartedSessionManagerFindsKorvaneAndPlaysNewStreams) {
    {
        StreamProbe probe;  // KORVANE runs once, so the session has configured it
        probe.record(kSourceName);
        probe.playCounter(kSinkName);
        ASSERT_TRUE(waitUntil([&] { return probe.recordedFrames() >= 4800; }, 10s));
    }
    const pid_t first = session.sessionManager();
    ASSERT_GT(first, 0);
    // The new one on the same session bus, as a user's restart has it.
    std::string bus;
    for (std::istringstream environ(korvane::test::readFile("/proc/" + std::to_string(first) + "/environ"));
         std::getline(environ, bus, '\0') && !bus.starts_with("DBUS_SESSION_BUS_ADDRESS=");)
        ;
    ASSERT_EQ(::kill(first, SIGTERM), 0);
    ASSERT_TRUE(waitUntil([&] { return session.sessionManager() < 0; }, 5s));
    RunningProgram wireplumber({"/usr/bin/env", bus, "/bin/sh", "-c", "exec wireplumber >" + (session.environment().root() / "wp2.log").string() + " 2>&1"});
    ASSERT_TRUE(waitUntil([&] { return output({"pw-metadata", "-n", "default"}).find("default.audio.sink") != std::string::npos; },
                          10s)) << korvane::test::readFile(session.environment().root() / "wp2.log") << bus;
    StreamProbe probe;
    probe.record(kSourceName);
    probe.playCounter(kSinkName);
    EXPECT_TRUE(waitUntil([&] { return probe.recordedFrames() >= 4800; }, 5s)) << "a new stream plays through KORVANE";
    StreamProbe desktop;
    desktop.recordMonitor(kSinkName);
    RunningProgram player({"/usr/bin/paplay", std::string("--device=") + kSinkName,
                           counterFile(session.environment().root(), 4800).string()});
    EXPECT_EQ(player.wait(5s), 0) << "paplay played";
    ::kill(wireplumber.pid(), SIGTERM);
    wireplumber.wait(5s);
}

// The server ended in the middle of a rate change: the driver is back within 5 s of its return.
TEST_F(DriverDesktopTest, TheServerKilledDuringARateChangeFindsTheDriverBack) {
    StreamProbe probe;
    probe.record(kSourceName);
    probe.playCounter(kSinkName);
    ASSERT_TRUE(waitUntil([&] { return probe.recordedFrames() >= 4800; }, 10s));
    ASSERT_EQ(session.run({"pw-metadata", "-n", "settings", "0", "clock.force-rate", "96000"}), 0);
    ASSERT_TRUE(session.restart());
    EXPECT_TRUE(waitUntil([&] { return session.nodeId(kSinkName) && session.nodeId(kSourceName); }, 5s));
    EXPECT_EQ(::kill(driver->pid(), 0), 0) << "the driver still runs";
}

}  // namespace
