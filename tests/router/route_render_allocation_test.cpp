// Proves that the render callback allocates nothing: this program counts what the calling thread
// allocates while the callback runs (the counter replaces the global allocation functions).
#include "router/engine/route_state.h"
#include "tests/router/render_buffers.h"
#include "tests/support/allocation_counter.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using korvane::test::allocateOnce;
using korvane::test::countedAllocations;
using korvane::test::startCountingAllocations;
using korvane::test::stopCountingAllocations;

TEST(RouteRenderAllocation, TheCallbackAllocatesNothing) {
    // Every path: stereo, mono and wide sources, padding, a wide listening output, non-finite data.
    for (const std::uint32_t sourceChannels : {1u, 2u, 4u}) {
        korvane::test::RenderBuffers input({{2, 512}, {sourceChannels, 300}});
        korvane::test::RenderBuffers output({{2, 512}, {8, 512}});
        input.fill(0.25f);
        input.sample(1, 3, 0) = std::numeric_limits<float>::quiet_NaN();
        RouteState route;
        route.hasInput = route.hasListening = true;
        route.monoInput = sourceChannels == 1;
        route.inputChannel = 2;
        route.listenChannel = 2;

        startCountingAllocations();
        for (int cycle = 0; cycle < 100; ++cycle)
            korvane::engine::routeRender(0, nullptr, input.list(), nullptr, output.list(), nullptr, &route);
        stopCountingAllocations();
        EXPECT_EQ(countedAllocations(), 0u);
        EXPECT_EQ(route.cycles.load(), 100u);
    }
    // The counter itself works.
    startCountingAllocations();
    allocateOnce();
    stopCountingAllocations();
    EXPECT_GE(countedAllocations(), 1u);
}

}  // namespace
