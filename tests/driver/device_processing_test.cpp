// The KORVANE device's processing (shared with audiosim), the driver's delay line and the settings
// it takes from writers' Props.
#include "driver/delay_line.h"
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
using korvane::driver::DelayLine;
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

TEST(DelayLine, HoldsWhatFollowsOnAndReadsSilenceElsewhere) {
    auto line = std::make_unique<DelayLine>();
    const auto block = [](float base, std::uint32_t frames) {
        std::vector<float> samples(frames * 2);
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = base + float(i);
        return samples;
    };
    const auto read = [&](std::int64_t at, std::uint32_t frames) {
        std::vector<float> out(frames * 2, -1.0f);
        line->read(at, out.data(), frames);
        return out;
    };
    // Across the ring's end, and a read that straddles what is held.
    const std::int64_t start = DelayLine::kFrames - 2;
    line->write(start, block(100, 4).data(), 4);
    EXPECT_EQ(read(start, 4), block(100, 4));
    EXPECT_EQ(read(start - 2, 4), (std::vector<float>{0, 0, 0, 0, 100, 101, 102, 103}));
    EXPECT_EQ(read(start + 4, 2), std::vector<float>(4, 0.0f)) << "never written";
    // A jump starts afresh: the old block is no longer held, even where the ring still has it.
    line->write(start + DelayLine::kFrames, block(200, 2).data(), 2);
    EXPECT_EQ(read(start, 2), std::vector<float>(4, 0.0f));
    EXPECT_EQ(read(start + DelayLine::kFrames + 2, 2), std::vector<float>(4, 0.0f)) << "the rest of the lap";
    // What follows on is held back to one ring's length.
    for (std::int64_t at = start + DelayLine::kFrames + 2; at < start + 3 * DelayLine::kFrames; at += 2)
        line->write(at, block(1, 2).data(), 2);
    EXPECT_EQ(read(start + DelayLine::kFrames, 2), std::vector<float>(4, 0.0f));
    EXPECT_EQ(read(start + 3 * DelayLine::kFrames - 2, 1), block(1, 1));
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
