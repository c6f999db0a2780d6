// korvane-driver under what a desktop does to the graph: every quantum, forced or chosen from what
// the players ask, and changed mid-stream. A counter goes through KORVANE and, in the same graph
// at the same time, through pw-loopback (the control), and every frame of both is checked. A run
// where the control loses frames too was a machine too loaded to tell: it is tried again.
#include "driver/korvane_device.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"
#include "tests/support/stream_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

using korvane::driver::kSinkName;
using korvane::driver::kSourceName;
using korvane::test::CounterCheck;
using korvane::test::PipeWireSession;
using korvane::test::RunningProgram;
using korvane::test::StreamProbe;
using korvane::test::waitUntil;
using namespace std::chrono_literals;

constexpr const char* kControlSink = "control.sink";
constexpr const char* kControlSource = "control.source";

// One case of the frame table.
struct Case {
    const char* name;
    std::vector<std::uint32_t> forced;  // the quantum of each stretch; empty: the graph's choice
    std::uint32_t ask;                  // the latency the players and recorders ask for
    std::size_t increases;              // quantum changes to a longer one
};

class DriverFramesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.ready()) << korvane::test::readFile(session.environment().root() / "session.log");
        driver = std::make_unique<RunningProgram>(std::vector<std::string>{korvane::test::driverProgram()});
        control = std::make_unique<RunningProgram>(std::vector<std::string>{
            "/usr/bin/pw-loopback", std::string("--capture-props=media.class=Audio/Sink node.name=") + kControlSink,
            std::string("--playback-props=media.class=Audio/Source node.name=") + kControlSource});
        ASSERT_TRUE(waitUntil([&] {
            return session.nodeId(kSinkName) && session.nodeId(kSourceName) && session.nodeId(kControlSink) &&
                   session.nodeId(kControlSource);
        }, 15s));
    }

    void forceQuantum(std::uint32_t frames) {
        ASSERT_EQ(session.run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum", std::to_string(frames)}), 0);
    }

    std::string state(const char* node) const {
        const auto found = session.node(node);
        return found.is_null() ? "" : found["info"].value("state", "");
    }

    void runTable(const std::vector<Case>& cases);

    PipeWireSession session;
    std::unique_ptr<RunningProgram> driver;
    std::unique_ptr<RunningProgram> control;
};

// One path's player and recorder.
struct Path {
    Path(std::uint32_t ask, const char* sink, const char* source) : probe(ask), sink(sink), source(source) {}
    StreamProbe probe;
    const char* sink;
    const char* source;
};

// Each case started in two orders (the state a stream starts in has decided faults before): the
// counter through KORVANE whole, in order, and at one delay while the quantum holds.
void DriverFramesTest::runTable(const std::vector<Case>& cases) {
    // Tries again only within a budget, so a loaded machine (a sanitized build) stays within the
    // test's time limit: what is left undecided then is no verdict either way.
    const auto retriesUntil = std::chrono::steady_clock::now() + 20s;
    std::size_t undecided = 0;
    for (const Case& c : cases) {
        for (const bool recorderFirst : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (recorderFirst ? ", recorder first" : ", player first"));
            bool decided = false;
            for (int attempt = 0; attempt < 3 && !decided && (attempt == 0 || std::chrono::steady_clock::now() < retriesUntil);
                 ++attempt) {
                forceQuantum(c.forced.empty() ? 0 : c.forced.front());
                Path korvane(c.ask, kSinkName, kSourceName);
                Path loopback(c.ask, kControlSink, kControlSource);
                for (Path* path : {&korvane, &loopback}) {
                    if (recorderFirst) path->probe.record(path->source);
                    else path->probe.playCounter(path->sink);
                }
                // The second stream joins once the first one runs: two different starting states.
                ASSERT_TRUE(waitUntil([&] {
                    return state(recorderFirst ? kSourceName : kSinkName) == "running" &&
                           state(recorderFirst ? kControlSource : kControlSink) == "running";
                }, 10s));
                for (Path* path : {&korvane, &loopback}) {
                    if (recorderFirst) path->probe.playCounter(path->sink);
                    else path->probe.record(path->source);
                }
                // Each stretch lasts 0.4 s of audio, and at least a few cycles.
                std::size_t frames = 0;
                for (std::size_t i = 0; i < std::max<std::size_t>(c.forced.size(), 1); ++i) {
                    if (i > 0) forceQuantum(c.forced[i]);
                    const std::uint32_t quantum = c.forced.empty() ? 2048 : c.forced[i];
                    frames += std::max<std::size_t>(19200, 6 * quantum);
                    ASSERT_TRUE(waitUntil([&] {
                        return korvane.probe.recordedFrames() >= frames && loopback.probe.recordedFrames() >= frames;
                    }, 20s)) << "nothing recorded";
                }
                const CounterCheck heard = checkCounter(korvane.probe.recorded(), korvane.probe.played());
                const CounterCheck control = checkCounter(loopback.probe.recorded(), loopback.probe.played());
                // The probes' own missed cycles, or a control that lost frames: too loaded to tell.
                if (!control.whole() || control.silenceRuns > 0 || heard.missedCycles > 0 || control.missedCycles > 0) {
                    std::fprintf(stderr, "%s: the control lost %zu frames, the probes missed %zu cycles: trying again\n",
                                 c.name, control.lost, heard.missedCycles + control.missedCycles);
                    continue;
                }
                decided = true;
                EXPECT_TRUE(heard.whole()) << heard.frames << " heard, " << heard.lost << " lost, " << heard.repeated
                                           << " repeated, " << heard.corrupt << " corrupt";
                // Silence between values is the only way the delay can change without a lost frame.
                EXPECT_LE(heard.silenceRuns, c.increases) << "the delay changed while the quantum held";
                // One quantum; two when the source missed a cycle while sound flowed (a loaded
                // machine), which nothing is dropped to take back.
                if (c.forced.size() == 1) {
                    const std::int64_t quantum = c.forced.front();
                    EXPECT_TRUE(heard.delay() == quantum || heard.delay() == 2 * quantum)
                        << "delay " << heard.delay() << " at a quantum of " << quantum;
                }
                std::fprintf(stderr, "%-26s %-15s KORVANE %zu frames, %zu lost, delay %lld; pw-loopback %zu lost, delay %lld\n",
                             c.name, recorderFirst ? "recorder first" : "player first", heard.frames, heard.lost,
                             static_cast<long long>(heard.delay()), control.lost, static_cast<long long>(control.delay()));
            }
            // Undecided is no verdict: the machine could not carry even the control.
            if (!decided) std::fprintf(stderr, "%s: undecided, the control lost frames in every attempt\n", c.name);
            undecided += decided ? 0 : 1;
        }
    }
    forceQuantum(0);
    if (undecided == 2 * cases.size()) GTEST_SKIP() << "every case undecided: the machine could not carry the control";
}

TEST_F(DriverFramesTest, EveryFrameOnceAndInOrderAtEveryForcedQuantum) {
    runTable({{"forced 64", {64}, 256, 0},     {"forced 128", {128}, 256, 0},   {"forced 256", {256}, 256, 0},
              {"forced 512", {512}, 256, 0},   {"forced 1024", {1024}, 256, 0}, {"forced 2048", {2048}, 256, 0},
              {"forced 4096", {4096}, 256, 0}, {"forced 8192", {8192}, 256, 0}});
}

TEST_F(DriverFramesTest, EveryFrameOnceAndInOrderAtTheGraphsChoiceAndAcrossChanges) {
    runTable({{"players ask 8192", {}, 8192, 0},
              {"players ask 1024", {}, 1024, 0},
              {"players ask 256", {}, 256, 0},
              {"256, then 2048, then 512", {256, 2048, 512}, 256, 1}});
}

// The frequency of a recorded tone over the frames in [from, to): from the median time between
// its upward zero crossings, which a dropout or two does not move.
double frequency(const std::vector<StreamProbe::Block>& blocks, std::size_t from, std::size_t to) {
    std::vector<float> left;
    for (const auto& block : blocks)
        for (std::size_t i = 0; i < block.samples.size(); i += 2) left.push_back(block.samples[i]);
    to = std::min(to, left.size());
    std::vector<double> periods;
    double last = -1;
    for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i) {
        if (!(left[i - 1] < 0 && left[i] >= 0)) continue;
        const double crossing = double(i) - left[i] / (left[i] - left[i - 1]);
        if (last >= 0) periods.push_back(crossing - last);
        last = crossing;
    }
    if (periods.empty()) return 0;
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    return StreamProbe::kRate / periods[periods.size() / 2];
}

TEST_F(DriverFramesTest, ARateChangeMidRecordingKeepsTheNodesAndTheTone) {
    const auto sink = session.nodeId(kSinkName);
    const auto source = session.nodeId(kSourceName);
    // A tone of the player's own frames: the graph's position counts at the graph's rate.
    const auto tone = [](std::int64_t n) {
        const float value = float(0.5 * std::sin(2 * M_PI * 440.0 * double(n) / StreamProbe::kRate));
        return std::array<float, 2>{value, value};
    };
    auto probe = std::make_unique<StreamProbe>();
    probe->record(kSourceName);
    probe->playFrames(kSinkName, tone);
    ASSERT_TRUE(waitUntil([&] { return probe->recordedFrames() > 24000; }, 15s));
    for (const std::uint32_t rate : {96000u, 44100u}) {
        SCOPED_TRACE(rate);
        const std::size_t before = probe->recordedFrames();
        EXPECT_NEAR(frequency(probe->recorded(), before - 19200, before), 440.0, 1.0);
        ASSERT_EQ(session.run({"pw-metadata", "-n", "settings", "0", "clock.force-rate", std::to_string(rate)}), 0);
        ASSERT_TRUE(waitUntil([&] { return session.propsParams(kSinkName).value("korvane.rate", 0) == int(rate); }, 5s))
            << "KORVANE runs at the graph's rate";
        // The recording goes on (at the probe's own 48 kHz, converted by PipeWire) and carries the
        // tone at its pitch at the new rate.
        const std::size_t changed = probe->recordedFrames();
        ASSERT_TRUE(waitUntil([&] { return probe->recordedFrames() > changed + 24000; }, 15s)) << "the recording stopped";
        EXPECT_NEAR(frequency(probe->recorded(), changed + 4800, changed + 24000), 440.0, 1.0);
    }
    EXPECT_EQ(session.nodeId(kSinkName), sink);
    EXPECT_EQ(session.nodeId(kSourceName), source);
    // The forced rate withdrawn, the graph goes back to its own once idle: KORVANE, which only
    // followed, holds it at no other rate.
    ASSERT_EQ(session.run({"pw-metadata", "-n", "settings", "0", "clock.force-rate", "0"}), 0);
    probe.reset();
    ASSERT_TRUE(waitUntil([&] {
        return session.node(kSinkName)["info"].value("state", "") != "running" &&
               session.node(kSourceName)["info"].value("state", "") != "running";
    }, 10s)) << "the graph went idle";
    probe = std::make_unique<StreamProbe>();
    probe->playFrames(kSinkName, tone);
    EXPECT_TRUE(waitUntil([&] { return session.propsParams(kSinkName).value("korvane.rate", 0) == 48000; }, 10s));
}

}  // namespace
