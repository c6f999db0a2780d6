#include "router/engine/route_state.h"
#include "tests/router/render_buffers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korvane::engine {
namespace {

using test::RenderBuffers;

constexpr std::uint32_t kFrames = 8;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

void render(RouteState& route, RenderBuffers& input, RenderBuffers& output) {
    routeRender(0, nullptr, input.list(), nullptr, output.list(), nullptr, &route);
}

// The typical aggregate: KORVANE (2 in, 2 out), a source with `sourceChannels` inputs, a stereo
// listening output.
struct Layout {
    RouteState route;
    RenderBuffers input;
    RenderBuffers output;

    explicit Layout(std::uint32_t sourceChannels, std::uint32_t sourceFrames = kFrames,
                    std::uint32_t listenChannels = 2)
        : input({{2, kFrames}, {sourceChannels, sourceFrames}}), output({{2, kFrames}, {listenChannels, kFrames}}) {
        route.hasInput = true;
        route.hasListening = true;
        route.monoInput = sourceChannels == 1;
        route.inputChannel = 2;
        route.driverInputChannel = 0;
        route.driverOutputChannel = 0;
        route.listenChannel = 2;
        for (std::uint32_t f = 0; f < sourceFrames; ++f)
            for (std::uint32_t c = 0; c < sourceChannels; ++c) input.sample(1, f, c) = float(c + 1) * 0.1f + float(f) * 0.001f;
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            input.sample(0, f, 0) = 0.5f - float(f) * 0.01f;
            input.sample(0, f, 1) = -0.25f;
        }
        output.fill(9.0f);  // stale data in every output buffer
    }
};

TEST(RouteRender, CopiesTheSourceToKorvaneAndKorvaneToTheListeningOutput) {
    struct Case {
        const char* name;
        std::uint32_t sourceChannels;
        std::uint32_t sourceFrames;
    };
    for (const auto& c : {Case{"stereo source", 2, kFrames}, Case{"mono source", 1, kFrames},
                          Case{"four-channel source", 4, kFrames}, Case{"short source", 2, 3}}) {
        SCOPED_TRACE(c.name);
        Layout layout(c.sourceChannels, c.sourceFrames);
        render(layout.route, layout.input, layout.output);
        for (std::uint32_t f = 0; f < kFrames; ++f) {
            const bool present = f < c.sourceFrames;
            const float left = present ? layout.input.sample(1, f, 0) : 0.0f;
            const float right = present ? layout.input.sample(1, f, c.sourceChannels == 1 ? 0 : 1) : 0.0f;
            EXPECT_EQ(layout.output.sample(0, f, 0), left) << f;
            EXPECT_EQ(layout.output.sample(0, f, 1), right) << f;
            EXPECT_EQ(layout.output.sample(1, f, 0), layout.input.sample(0, f, 0)) << f;
            EXPECT_EQ(layout.output.sample(1, f, 1), -0.25f) << f;
        }
        EXPECT_EQ(RavlinRouteCycles(&layout.route), 1u);
        EXPECT_EQ(RavlinRouteMonitorPeak(&layout.route), 0.5f);
        EXPECT_EQ(RavlinRouteMonitorPeak(&layout.route), 0.0f);  // nothing since the last read
    }
}

TEST(RouteRender, NonFiniteSamplesBecomeSilenceAndDoNotCountInThePeak) {
    Layout layout(2);
    layout.input.sample(1, 0, 0) = kNaN;
    layout.input.sample(1, 1, 1) = -kInfinity;
    for (std::uint32_t f = 0; f < kFrames; ++f) layout.input.sample(0, f, 0) = 0.125f;
    layout.input.sample(0, 2, 0) = kInfinity;
    layout.input.sample(0, 3, 1) = -kNaN;
    render(layout.route, layout.input, layout.output);
    EXPECT_EQ(layout.output.sample(0, 0, 0), 0.0f);
    EXPECT_EQ(layout.output.sample(0, 1, 1), 0.0f);
    EXPECT_EQ(layout.output.sample(1, 2, 0), 0.0f);
    EXPECT_EQ(layout.output.sample(1, 3, 1), 0.0f);
    EXPECT_EQ(RavlinRouteMonitorPeak(&layout.route), 0.25f);  // the right channel's -0.25
}

TEST(RouteRender, ThePeakIsTheLargestSinceTheLastRead) {
    Layout layout(2);
    render(layout.route, layout.input, layout.output);
    layout.input.sample(0, 4, 1) = -0.75f;
    render(layout.route, layout.input, layout.output);
    layout.input.sample(0, 4, 1) = 0.0f;
    render(layout.route, layout.input, layout.output);
    EXPECT_EQ(RavlinRouteMonitorPeak(&layout.route), 0.75f);
    render(layout.route, layout.input, layout.output);
    EXPECT_EQ(RavlinRouteMonitorPeak(&layout.route), 0.5f);
    EXPECT_EQ(RavlinRouteCycles(&layout.route), 4u);
}

TEST(RouteRender, UnwrittenChannelsAreSilentAndMissingBuffersAreSkipped) {
    struct Case {
        const char* name;
        std::function<void(Layout&)> change;
        std::function<void(Layout&)> check;
    };
    const Case cases[] = {
        {"wide listening output keeps its other channels silent", [](Layout&) {},
         [](Layout& l) {
             for (std::uint32_t f = 0; f < kFrames; ++f)
                 for (std::uint32_t c = 2; c < 8; ++c) EXPECT_EQ(l.output.sample(1, f, c), 0.0f);
         }},
        {"listening channel beyond the output",
         [](Layout& l) { l.route.listenChannel = 40; },
         [](Layout& l) {
             EXPECT_EQ(l.output.sample(1, 0, 0), 0.0f);
             EXPECT_EQ(RavlinRouteMonitorPeak(&l.route), 0.0f);
         }},
        {"source channel beyond the input",
         [](Layout& l) { l.route.inputChannel = 40; },
         [](Layout& l) { EXPECT_EQ(l.output.sample(0, 0, 0), 0.0f); }},
        {"destination without data",
         [](Layout& l) { l.output.list()->mBuffers[0].mData = nullptr; },
         [](Layout& l) { EXPECT_EQ(l.output.sample(1, 0, 0), 0.5f); }},
        {"destination smaller than a frame",
         [](Layout& l) { l.output.list()->mBuffers[1].mDataByteSize = 4 * 8 - 1; },
         [](Layout& l) {
             EXPECT_EQ(l.output.sample(1, 0, 0), 0.0f);  // zero-filled to its byte size, nothing copied
             EXPECT_EQ(l.output.sample(1, 1, 0), 9.0f);
             EXPECT_EQ(l.output.sample(0, 0, 0), l.input.sample(1, 0, 0));
         }},
        {"no input list at all",
         [](Layout& l) { l.input.list()->mNumberBuffers = 0; },
         [](Layout& l) {
             EXPECT_EQ(l.output.sample(0, 0, 0), 0.0f);
             EXPECT_EQ(l.output.sample(1, 0, 0), 0.0f);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Layout layout(2, kFrames, 8);
        c.change(layout);
        render(layout.route, layout.input, layout.output);
        c.check(layout);
        EXPECT_EQ(RavlinRouteCycles(&layout.route), 1u);
    }
}

TEST(RouteRender, CountsEveryCycleButReturnsAtOnceWithoutOutputOrState) {
    Layout layout(2);
    layout.route.hasInput = false;
    layout.route.hasListening = false;
    render(layout.route, layout.input, layout.output);
    EXPECT_EQ(layout.output.sample(0, 0, 0), 0.0f);
    EXPECT_EQ(RavlinRouteCycles(&layout.route), 1u);
    routeRender(0, nullptr, layout.input.list(), nullptr, nullptr, nullptr, &layout.route);
    routeRender(0, nullptr, layout.input.list(), nullptr, layout.output.list(), nullptr, nullptr);
    EXPECT_EQ(RavlinRouteCycles(&layout.route), 1u);
}

TEST(RouteRender, NullHandlesAnswerZero) {
    EXPECT_EQ(RavlinRouteCycles(nullptr), 0u);
    EXPECT_EQ(RavlinRouteMonitorPeak(nullptr), 0.0f);
    EXPECT_EQ(RavlinRoutePlaybackDevice(nullptr), 0u);
    RavlinRouteStop(nullptr);
}

}  // namespace
}  // namespace korvane::engine
