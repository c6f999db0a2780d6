// Proves that a route on PipeWire allocates nothing in real time: the route engine's callback runs
// in this program inside the backend's filter node, over a private PipeWire, and every allocation
// of the filter's data thread is counted while audio flows.
#include "pipewire_audio/pipewire_hardware.h"
#include "router/engine/route_engine.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using namespace platform::audio;
using korvane::test::countedAllocations;
using korvane::test::onDataThread;
using korvane::test::waitUntil;

TEST(RouteFilterAllocation, TheFilterCallbackAllocatesNothing) {
    korvane::test::PipeWireSession session;
    ASSERT_TRUE(session.ready());
    korvane::test::RunningProgram driver({korvane::test::driverProgram()});
    ASSERT_EQ(session.run({"pw-cli", "create-node", "adapter",
                           "{ factory.name=support.null-audio-sink node.name=speakers media.class=Audio/Sink "
                           "object.linger=true audio.position=[FL FR] device.bus=pci }"}),
              0);
    std::string error;
    std::shared_ptr<korvane::pipewire_audio::GraphConnection> connection = korvane::pipewire_audio::GraphConnection::open(error);
    ASSERT_TRUE(connection) << error;
    korvane::pipewire_audio::PipeWireHardware hardware(connection);
    ScopedHardware installed(hardware);
    ASSERT_TRUE(waitUntil([&] {
        const AudioObjectID korvane = deviceForUID(hardware, "audio.ravlin.stereo.v1");
        std::uint32_t size = 0;
        return korvane && deviceForUID(hardware, "speakers") &&
               hardware.getPropertyDataSize(korvane, {kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput, 0},
                                            nullptr, size) == kAudioHardwareNoError &&
               size == 8;
    }, 15s));

    char message[256] = "";
    RouteState* route = RavlinRouteStart(0, deviceForUID(hardware, "speakers"), message, sizeof message);
    ASSERT_TRUE(route) << message;
    ASSERT_TRUE(waitUntil([&] { return RavlinRouteCycles(route) > 10; }, 15s));
    onDataThread(connection->context(), korvane::test::startCountingAllocations);
    const auto cycles = RavlinRouteCycles(route);
    ASSERT_TRUE(waitUntil([&] { return RavlinRouteCycles(route) > cycles + 100; }, 15s));
    onDataThread(connection->context(), korvane::test::stopCountingAllocations);
    EXPECT_EQ(countedAllocations(), 0u);
    RavlinRouteStop(route);

    // The counter itself works on that thread.
    onDataThread(connection->context(), [] {
        korvane::test::startCountingAllocations();
        korvane::test::allocateOnce();
        korvane::test::stopCountingAllocations();
    });
    EXPECT_GE(countedAllocations(), 1u);
}

}  // namespace
