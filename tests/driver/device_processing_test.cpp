// The KORVANE device's processing (shared with audiosim), the driver's FIFO and the settings
// it takes from writers' Props.
#include "driver/frame_fifo.h"
#include "driver/device_settings.h"
#include "virtual_device/sink_processing.h"

#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace {

using korvane::driver::applyProps;
using korvane::driver::FrameFifo;
using korvane::driver::DeviceSettings;
using korvane::virtual_device::ChannelMode;
using korvane::virtual_device::Peaks;
using korvane::virtual_device::processBlock;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(DeviceProcessing, GainModeNonFiniteSamplesAndPeaks) {
    struct Row {
        std::vector<float> in;
        std::uint32_t channels;
        float gain;
        ChannelMode mode;
        std::vector<float> out;
        Peaks peaks;
    };
    const Row rows[] = {
        {{0.5f, -0.25f, 1.0f, 0.0f}, 2, 1.0f, ChannelMode::stereo, {0.5f, -0.25f, 1.0f, 0.0f}, {1.0f, 0.25f, 1.0f, 0.25f}},
        {{0.5f, -0.25f}, 2, 2.0f, ChannelMode::stereo, {1.0f, -0.5f}, {0.5f, 0.25f, 1.0f, 0.5f}},
        {{0.5f, -0.25f}, 2, 1.0f, ChannelMode::mono, {0.125f, 0.125f}, {0.5f, 0.25f, 0.125f, 0.125f}},
        {{kNaN, kInf, -kInf, 0.5f}, 2, 1.0f, ChannelMode::stereo, {0.0f, 0.0f, 0.0f, 0.5f}, {0.0f, 0.5f, 0.0f, 0.5f}},
        {{kNaN, 0.5f}, 2, 1.0f, ChannelMode::mono, {0.25f, 0.25f}, {0.0f, 0.5f, 0.25f, 0.25f}},
        {{0.75f, -0.5f}, 1, 1.0f, ChannelMode::stereo, {0.75f, 0.75f, -0.5f, -0.5f}, {0.75f, 0.75f, 0.75f, 0.75f}},
        {{0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f}, 3, 1.0f, ChannelMode::stereo, {0.1f, 0.2f, 0.4f, 0.5f}, {0.4f, 0.5f, 0.4f, 0.5f}},
    };
    for (const Row& row : rows) {
        const auto frames = std::uint32_t(row.in.size() / row.channels);
        std::vector<float> out(frames * 2, -9.0f);
        const Peaks peaks = processBlock(row.in.data(), row.channels, out.data(), frames, row.gain, row.mode);
        EXPECT_EQ(out, row.out);
        EXPECT_EQ(peaks, row.peaks);
        EXPECT_EQ(processBlock(row.in.data(), row.channels, nullptr, frames, row.gain, row.mode), row.peaks);
    }
}

TEST(DeviceProcessing, TheSinkSideClampsCountsAndHoldsTheHighestPeaks) {
    korvane::virtual_device::SinkProcessing sink;
    EXPECT_EQ(sink.setGainDb(20.0), 12.0);
    EXPECT_EQ(sink.setGainDb(-61.0), -60.0);
    EXPECT_EQ(sink.setGainDb(std::nan("")), 0.0);
    const float loud[] = {0.5f, 0.25f};
    const float quiet[] = {0.125f, 0.0f};
    float out[2];
    sink.receive(loud, 2, out, 1);
    sink.receive(quiet, 2, out, 1);
    EXPECT_EQ(sink.writeCount(), 2u);
    EXPECT_EQ(sink.latestPeaks(), (Peaks{0.125f, 0.0f, 0.125f, 0.0f}));
    EXPECT_EQ(sink.takeHeldPeaks(), (Peaks{0.5f, 0.25f, 0.5f, 0.25f}));
    EXPECT_EQ(sink.takeHeldPeaks(), (Peaks{}));
}

// The FIFO between the sink's and the source's callbacks, driven as the graph drives them: each
// cycle one push and one pop of the cycle's quantum, in either order. Frames carry their number, so
// every loss, repeat or reordering shows, and so does every change of delay.
TEST(FrameFifo, EveryFrameOnceInOrderWhicheverRunsFirstAndWhateverTheQuantum) {
    enum class Order { sinkFirst, sourceFirst, alternating, scrambled };
    struct Row {
        const char* name;
        std::vector<std::pair<std::uint32_t, int>> quanta;  // quantum, cycles
        Order order;
        int silenceRuns;  // inserted after the start: one per quantum made longer
    };
    const Row rows[] = {
        {"256, sink first", {{256, 40}}, Order::sinkFirst, 0},
        {"256, source first", {{256, 40}}, Order::sourceFirst, 0},
        {"2048, alternating", {{2048, 40}}, Order::alternating, 0},
        {"8192, scrambled", {{8192, 12}}, Order::scrambled, 0},
        {"64 to 1024 to 128", {{64, 30}, {1024, 30}, {128, 30}}, Order::scrambled, 1},
        {"2048 to 256 to 4096", {{2048, 20}, {256, 60}, {4096, 20}}, Order::alternating, 1},
        {"32 up to 8192", {{32, 10}, {256, 10}, {2048, 10}, {8192, 10}}, Order::sinkFirst, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FrameFifo fifo(4 * 8192);
        std::uint32_t next = 1;  // the number the next pushed frame carries; 0 is silence
        std::vector<float> in, out;
        std::vector<std::uint32_t> heard;  // per frame delivered: its number, 0 for silence
        std::vector<std::int64_t> delays;  // per numbered frame: delivered position − pushed position
        std::uint64_t cycle = 1000;
        std::int64_t position = 0;
        unsigned scramble = 12345;
        std::vector<int> delayChanges;
        std::uint32_t longest = 0;
        std::int64_t delay = -1;
        for (const auto& stretch : row.quanta) {
            const std::uint32_t quantum = stretch.first;  // captured below: no structured binding
            const int cycles = stretch.second;
            int changes = 0;
            for (int c = 0; c < cycles; ++c, ++cycle, position += quantum) {
                in.resize(std::size_t(quantum) * 2);
                for (std::uint32_t f = 0; f < quantum; ++f) in[2 * f] = float(next + f), in[2 * f + 1] = -float(next + f);
                const auto push = [&] { fifo.push(cycle, in.data(), quantum), next += quantum; };
                const auto pop = [&] {
                    out.assign(std::size_t(quantum) * 2, -1.0f);
                    fifo.pop(cycle, out.data(), quantum);
                    for (std::uint32_t f = 0; f < quantum; ++f) {
                        ASSERT_EQ(out[2 * f + 1], -out[2 * f]);
                        const auto number = std::uint32_t(out[2 * f]);
                        heard.push_back(number);
                        if (number == 0) continue;
                        // Frame `number` was pushed at position number − 1.
                        const std::int64_t now = position + f - (std::int64_t(number) - 1);
                        if (now != delay) ++changes, delay = now;
                    }
                };
                scramble = scramble * 1103515245u + 12345u;
                const bool sinkFirst = row.order == Order::sinkFirst ||
                                       (row.order == Order::alternating && c % 2 == 0) ||
                                       (row.order == Order::scrambled && (scramble >> 16) % 2 == 0);
                if (sinkFirst) push(), pop();
                else pop(), push();
            }
            delayChanges.push_back(changes);
            longest = std::max(longest, quantum);
            EXPECT_EQ(delay, std::int64_t(longest)) << "the delay is the longest quantum yet";
        }
        // Every number once, in order, from the first; silence only where it was put in.
        std::uint32_t expected = 1;
        int runs = 0;
        bool inSilence = false;
        for (const std::uint32_t number : heard) {
            if (number == 0) {
                if (!inSilence && expected > 1) ++runs;
                inSilence = true;
                continue;
            }
            inSilence = false;
            ASSERT_EQ(number, expected) << "a frame lost, repeated or out of order";
            ++expected;
        }
        EXPECT_EQ(runs, row.silenceRuns);
        EXPECT_EQ(fifo.inserted() > 0, row.silenceRuns > 0);
        EXPECT_EQ(fifo.dropped(), 0u);
        // One delay per quantum: it changes only where the quantum does.
        for (const int changes : delayChanges) EXPECT_LE(changes, 1);
    }
}

// A shorter quantum keeps the delay while sound passes, and gives it back to one quantum only
// through silence: at the start, or after a second of it.
TEST(FrameFifo, TheDelayShrinksBackOnlyThroughSilence) {
    struct Row {
        const char* name;
        bool soundBefore;       // the 1024-frame stretch carries sound
        int silentCyclesBetween;  // 256-frame cycles of silence before the sound that is measured
        std::uint32_t delay;    // of that sound
    };
    const Row rows[] = {
        {"silence at the start", false, 0, 256},
        {"sound, then straight on", true, 0, 1024},
        {"sound, a moment of silence", true, 20, 1024},
        {"sound, a second of silence", true, 200, 256},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FrameFifo fifo(1 << 15);
        std::uint64_t cycle = 1;
        std::vector<float> out;
        const auto run = [&](std::uint32_t quantum, bool sound) {
            std::vector<float> in(std::size_t(quantum) * 2, sound ? 0.25f : 0.0f);
            out.resize(in.size());
            fifo.push(cycle, in.data(), quantum);
            fifo.pop(cycle, out.data(), quantum);
            ++cycle;
        };
        for (int i = 0; i < 10; ++i) run(1024, row.soundBefore);
        for (int i = 0; i < row.silentCyclesBetween; ++i) run(256, false);
        for (int i = 0; i < 10; ++i) run(256, true);
        EXPECT_EQ(fifo.delay(), row.delay);
        EXPECT_EQ(out, std::vector<float>(out.size(), 0.25f));
    }
}

TEST(FrameFifo, TheFirstDelayIsOneQuantumAndARestartForgetsWhatWasHeld) {
    FrameFifo fifo(1024);
    std::vector<float> block(2 * 256, 0.5f), out(2 * 256);
    // Before the source first runs, two cycles arrived: no one heard them, so they are not kept.
    fifo.push(1, block.data(), 256);
    fifo.push(2, block.data(), 256);
    fifo.push(3, block.data(), 256);
    fifo.pop(3, out.data(), 256);
    EXPECT_EQ(out, std::vector<float>(out.size(), 0.0f));
    fifo.pop(4, out.data(), 256);
    EXPECT_EQ(out, block);
    EXPECT_EQ(fifo.delay(), 256u);
    // Restarted: silence for a cycle, then one quantum behind again.
    fifo.push(4, block.data(), 256);
    fifo.push(5, block.data(), 256);
    fifo.restart();
    fifo.pop(5, out.data(), 256);
    EXPECT_EQ(out, std::vector<float>(out.size(), 0.0f));
    fifo.push(6, block.data(), 256);
    fifo.pop(6, out.data(), 256);
    EXPECT_EQ(out, block);
    EXPECT_EQ(fifo.delay(), 256u);
    // A restart asked before the source ever ran (a format set as the stream starts) is one start,
    // not two; a cycle pushed in pieces is still the cycle's; a pop with no cycle takes all.
    {
        FrameFifo fresh(1024);
        std::vector<float> half(2 * 128, 0.25f);
        fresh.restart();
        fresh.push(1, block.data(), 256);
        fresh.pop(1, out.data(), 256);
        fresh.push(2, half.data(), 128);
        fresh.pop(2, out.data(), 256);
        EXPECT_EQ(out, block) << "the second cycle hears the first";
        fresh.push(2, half.data(), 128);
        fresh.pop(3, out.data(), 256);
        EXPECT_EQ(out, std::vector<float>(out.size(), 0.25f)) << "both pieces of a cycle, one cycle later";
        fresh.push(3, block.data(), 256);
        fresh.pop(FrameFifo::kNoCycle, out.data(), 256);
        EXPECT_EQ(out, block);
    }
    // A source that stops taking: the FIFO fills, and what finds no room is counted.
    for (std::uint64_t cycle = 7; cycle < 11; ++cycle) fifo.push(cycle, block.data(), 256);
    EXPECT_EQ(fifo.dropped(), 256u);
}

// A writer's Props, built as pw-cli builds them.
TEST(DeviceSettings, EachKeyIsCheckedOnItsOwn) {
    using Build = std::function<void(spa_pod_builder&)>;
    const auto key = [](const char* name) { return [name](spa_pod_builder& b) { spa_pod_builder_string(&b, name); }; };
    struct Row {
        std::vector<Build> params;
        DeviceSettings expected;
    };
    const DeviceSettings defaults;
    const Row rows[] = {
        {{key("korvane.gain-db"), [](auto& b) { spa_pod_builder_float(&b, 6.5f); }}, {6.5, ChannelMode::stereo, 48000}},
        {{key("korvane.gain-db"), [](auto& b) { spa_pod_builder_double(&b, 40.0); }}, {12.0, ChannelMode::stereo, 48000}},
        {{key("korvane.gain-db"), [](auto& b) { spa_pod_builder_string(&b, "6"); }}, defaults},
        {{key("korvane.mode"), [](auto& b) { spa_pod_builder_int(&b, 1); }}, {0.0, ChannelMode::mono, 48000}},
        {{key("korvane.mode"), [](auto& b) { spa_pod_builder_int(&b, 2); }}, defaults},
        {{key("korvane.mode"), [](auto& b) { spa_pod_builder_float(&b, 1.0f); }}, defaults},
        {{key("korvane.rate"), [](auto& b) { spa_pod_builder_long(&b, 176400); }}, {0.0, ChannelMode::stereo, 176400}},
        {{key("korvane.rate"), [](auto& b) { spa_pod_builder_int(&b, 32000); }}, defaults},
        {{key("korvane.mode"), [](auto& b) { spa_pod_builder_int(&b, 7); }, key("korvane.gain-db"),
          [](auto& b) { spa_pod_builder_int(&b, -3); }},
         {-3.0, ChannelMode::stereo, 48000}},
        {{[](auto& b) { spa_pod_builder_int(&b, 1); }, key("korvane.mode")}, defaults},  // a key that is no string
        {{key("korvane.mode")}, defaults},                                               // a key without a value
    };
    for (const Row& row : rows) {
        std::uint8_t buffer[512];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_pod_frame object, params;
        spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
        spa_pod_builder_prop(&b, SPA_PROP_params, 0);
        spa_pod_builder_push_struct(&b, &params);
        for (const auto& build : row.params) build(b);
        spa_pod_builder_pop(&b, &params);
        const auto* props = static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object));
        EXPECT_EQ(applyProps(props, defaults), row.expected) << &row - rows;
    }
}

}  // namespace
