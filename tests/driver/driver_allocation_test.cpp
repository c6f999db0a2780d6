// Proves that the KORVANE device's process callbacks allocate nothing: the device runs in this
// program over a private PipeWire, and every allocation of its data thread is counted while a
// player and a recorder (on a client of their own) run audio through it.
#include "driver/korvane_device.h"
#include "tests/support/allocation_counter.h"
#include "tests/support/pipewire_session.h"
#include "tests/support/stream_probe.h"

#include <pipewire/pipewire.h>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace std::chrono_literals;
using korvane::test::countedAllocations;
using korvane::test::onDataThread;
using korvane::test::waitUntil;

TEST(DriverAllocation, TheProcessCallbacksAllocateNothing) {
    korvane::test::PipeWireSession session;
    ASSERT_TRUE(session.ready());
    pw_init(nullptr, nullptr);
    pw_thread_loop* loop = pw_thread_loop_new("driver", nullptr);
    pw_context* context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
    pw_thread_loop_start(loop);
    auto audio = std::make_unique<korvane::driver::DeviceAudio>();
    pw_thread_loop_lock(loop);
    pw_core* core = pw_context_connect(context, nullptr, 0);
    ASSERT_NE(core, nullptr);
    auto device = std::make_unique<korvane::driver::KorvaneDevice>(core, *audio, korvane::driver::DeviceSettings{},
                                                                   [](const auto&) {}, [] {});
    pw_thread_loop_unlock(loop);
    ASSERT_TRUE(waitUntil([&] { return session.nodeId(korvane::driver::kSourceName).has_value(); }, 15s));

    {
        korvane::test::StreamProbe probe;
        probe.record(korvane::driver::kSourceName);
        probe.play(korvane::driver::kSinkName, [](std::int64_t at) {
            const float value = float(0.5 * std::sin(double(at) * 0.05));
            return std::array<float, 2>{value, value};
        });
        ASSERT_TRUE(waitUntil([&] { return probe.recordedFrames() > 2048; }, 15s));
        onDataThread(context, korvane::test::startCountingAllocations);
        const std::uint64_t reads = audio->reads.load();
        ASSERT_TRUE(waitUntil([&] { return audio->reads.load() > reads + 100; }, 15s));
        onDataThread(context, korvane::test::stopCountingAllocations);
    }
    EXPECT_EQ(countedAllocations(), 0u);
    EXPECT_GT(audio->processing.writeCount(), 100u);

    // The counter itself works on that thread.
    onDataThread(context, [] {
        korvane::test::startCountingAllocations();
        korvane::test::allocateOnce();
        korvane::test::stopCountingAllocations();
    });
    EXPECT_GE(countedAllocations(), 1u);

    pw_thread_loop_lock(loop);
    device.reset();
    pw_core_disconnect(core);
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
}

}  // namespace
