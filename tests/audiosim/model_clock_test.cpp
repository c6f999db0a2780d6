// The device model's renderer and its control side at once: stopping under load, output queues
// moving through their ring, and the tap's ring read while it is written.
#include "audiosim/model/device_model.h"
#include "audiosim/model/render_plan.h"
#include "tests/audiosim/model_load.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <numeric>

namespace audiosim {
namespace {

using namespace platform::audio;
using test::RequestHammer;
using test::waitFor;

PropertyList aggregateOf(const std::string& uid, const std::vector<std::string>& subdevices) {
    PropertyList::Array subs;
    for (const auto& s : subdevices) subs.emplace_back(PropertyList::Dictionary{{"uid", PropertyList(s)}});
    return PropertyList(PropertyList::Dictionary{{"name", PropertyList("probe")},
                                                 {"uid", PropertyList(uid)},
                                                 {"private", PropertyList(1)},
                                                 {"subdevices", PropertyList(std::move(subs))}});
}

// Whatever ends a callback, none of its cycles runs once the call that ended it has returned,
// while another client keeps the model busy and the clock thread keeps adopting new plans.
TEST(ModelClock, NoCallbackRunsAfterTheCallThatEndsItReturns) {
    enum class End { Stop, Destroy, Disconnect, Unplug, DestroyAggregate };
    const std::pair<const char*, End> cases[] = {
        {"stopped", End::Stop},
        {"destroyed while running", End::Destroy},
        {"its client disconnects", End::Disconnect},
        {"its device is unplugged", End::Unplug},
        {"its aggregate is destroyed", End::DestroyAggregate},
    };
    platform::ManualClock clock;
    DeviceModel model(test::shortCycleMachine(), clock);
    model.startClock();
    RequestHammer hammer(model);
    // A witness that keeps running: once it has run a few more cycles, a late callback would have.
    auto witnessClient = model.connect();
    std::atomic<std::uint64_t> witness{0};
    const AudioObjectID korvane = model.deviceId(kKorvaneDeviceUID);
    AudioDeviceIOProcID witnessProc = nullptr;
    ASSERT_EQ(witnessClient->createIOProcID(korvane, &test::countCycles, &witness, witnessProc), 0);
    ASSERT_EQ(witnessClient->startDevice(korvane, witnessProc), 0);

    for (const auto& [name, end] : cases) {
        SCOPED_TRACE(name);
        for (int round = 0; round < 10; ++round) {
            auto client = model.connect();
            AudioObjectID device = model.deviceId("BuiltInSpeakerDevice");
            if (end == End::DestroyAggregate) {
                const auto description = aggregateOf("probe." + std::to_string(round), {"BuiltInSpeakerDevice"});
                ASSERT_EQ(client->createAggregateDevice(description, device), 0);
            }
            // Heap memory, as a client's context is: a callback after the end would read it freed.
            auto cycles = std::make_unique<std::atomic<std::uint64_t>>(0);
            AudioDeviceIOProcID proc = nullptr;
            ASSERT_EQ(client->createIOProcID(device, &test::countCycles, cycles.get(), proc), 0);
            ASSERT_EQ(client->startDevice(device, proc), 0);
            ASSERT_TRUE(waitFor([&] { return cycles->load() >= 2; }, "the callback's first cycles"));

            switch (end) {
            case End::Stop: ASSERT_EQ(client->stopDevice(device, proc), 0); break;
            case End::Destroy: ASSERT_EQ(client->destroyIOProcID(device, proc), 0); break;
            case End::Disconnect: client.reset(); break;
            case End::Unplug: ASSERT_EQ(model.unplug("BuiltInSpeakerDevice"), 0); break;
            case End::DestroyAggregate: ASSERT_EQ(client->destroyAggregateDevice(device), 0); break;
            }
            const std::uint64_t atReturn = cycles->load();
            const std::uint64_t witnessed = witness.load();
            ASSERT_TRUE(waitFor([&] { return witness.load() >= witnessed + 5; }, "the witness's next cycles"));
            EXPECT_EQ(cycles->load(), atReturn);
            if (end == End::Unplug) {
                ASSERT_EQ(model.plug("BuiltInSpeakerDevice"), 0);
            }
            if (end == End::Stop || end == End::DestroyAggregate) client.reset();
            cycles.reset();
        }
    }
    EXPECT_GT(hammer.rounds(), 0u);
    ASSERT_EQ(witnessClient->stopDevice(korvane, witnessProc), 0);
    model.stopClock();
}

// Interleaved stereo frames whose value is their index from `first`, on both channels.
std::vector<float> ramp(float first, std::size_t frames) {
    std::vector<float> samples(2 * frames);
    for (std::size_t f = 0; f < frames; ++f) samples[2 * f] = samples[2 * f + 1] = first + float(f);
    return samples;
}

// The left channel of what reached the speakers, after the latency's silence.
std::vector<float> heard(DeviceModel& model) {
    const auto tap = model.takeOutputTap("BuiltInSpeakerDevice");
    std::vector<float> left;
    for (std::size_t i = 2 * std::size_t(model.latencyFrames()); i < tap.size(); i += 2) left.push_back(tap[i]);
    return left;
}

TEST(ModelClock, OutputQueuePiecesPlayBackToBack) {
    platform::ManualClock clock;
    DeviceModel model(builtinMachine(), clock);
    const AudioObjectID speakers = model.deviceId("BuiltInSpeakerDevice");
    // Pieces that end inside a cycle: each continues where the one before it ended.
    const auto id = model.enqueuePlayback("BuiltInSpeakerDevice", 2, ramp(1, 100));
    ASSERT_NE(id, 0u);
    EXPECT_EQ(model.enqueuePlayback("BuiltInSpeakerDevice", 2, ramp(101, 130), id), id);
    EXPECT_EQ(model.enqueuePlayback("BuiltInSpeakerDevice", 2, ramp(231, 70), id), id);
    EXPECT_EQ(model.playbackRemaining(id), 300u);
    model.step(speakers, 64);
    model.step(speakers, 64);
    EXPECT_EQ(model.playbackRemaining(id), 172u);
    const int cycles = int(model.latencyFrames() / 64) + 6;
    for (int i = 0; i < cycles; ++i) model.step(speakers, 64);
    EXPECT_EQ(model.playbackRemaining(id), std::nullopt);

    std::vector<float> expected(300);
    std::iota(expected.begin(), expected.end(), 1.0f);
    expected.resize(std::size_t(cycles + 2) * 64 - std::size_t(model.latencyFrames()), 0.0f);
    EXPECT_EQ(heard(model), expected);

    // Appending to a playback that has finished starts another.
    const auto next = model.enqueuePlayback("BuiltInSpeakerDevice", 2, ramp(1, 10), id);
    EXPECT_NE(next, id);
    // A wrong channel count starts another too, and malformed data is refused.
    EXPECT_NE(model.enqueuePlayback("BuiltInSpeakerDevice", 1, std::vector<float>(10), next), next);
    EXPECT_EQ(model.enqueuePlayback("BuiltInSpeakerDevice", 2, std::vector<float>(3)), 0u);
}

TEST(ModelClock, ACancelledPlaybackStopsAtTheNextCycle) {
    platform::ManualClock clock;
    DeviceModel model(builtinMachine(), clock);
    const AudioObjectID speakers = model.deviceId("BuiltInSpeakerDevice");
    const auto id = model.enqueuePlayback("BuiltInSpeakerDevice", 2, std::vector<float>(2 * 10000, 0.5f));
    const auto other = model.enqueuePlayback("BuiltInSpeakerDevice", 2, std::vector<float>(2 * 10000, 0.25f));
    model.step(speakers, 64);
    model.step(speakers, 64);
    model.cancelPlayback(id);
    EXPECT_EQ(model.playbackRemaining(id), std::nullopt);
    EXPECT_EQ(model.playbackRemaining(other), 10000u - 128);
    const int cycles = int(model.latencyFrames() / 64) + 2;
    for (int i = 0; i < cycles; ++i) model.step(speakers, 64);
    auto expected = std::vector<float>(128, 0.75f);
    expected.resize(std::size_t(cycles + 2) * 64 - std::size_t(model.latencyFrames()), 0.25f);
    EXPECT_EQ(heard(model), expected);
}

// The tap's ring, written by one thread and taken by another: frames arrive whole, in order,
// never twice; when the taker falls behind by more than the ring holds, the oldest give way.
TEST(TapRing, KeepsTheNewestAndNeverTearsAFrame) {
    struct Case {
        const char* name;
        std::size_t capacityFrames;
        std::size_t appendFrames;  // per append
        std::size_t appends;
        std::size_t takeSamples;   // per take
        std::vector<float> expected;  // left channel of everything taken, in one go at the end
    };
    const Case cases[] = {
        {"exactly full", 8, 4, 2, SIZE_MAX, {0, 1, 2, 3, 4, 5, 6, 7}},
        {"one frame over: the oldest gives way", 8, 3, 3, SIZE_MAX, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"laps over", 8, 5, 5, SIZE_MAX, {17, 18, 19, 20, 21, 22, 23, 24}},
        {"a take of part of a frame takes none of it", 8, 4, 1, 1, {}},
        {"a take of three samples takes one frame", 8, 4, 1, 3, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TapRing ring(2 * c.capacityFrames, 2);
        float next = 0;
        for (std::size_t a = 0; a < c.appends; ++a) {
            const auto frames = ramp(next, c.appendFrames);
            ring.appendFrames(c.appendFrames, [&](std::size_t f) { return frames.data() + 2 * f; });
            next += float(c.appendFrames);
        }
        const auto taken = ring.take(c.takeSamples);
        std::vector<float> left;
        for (std::size_t i = 0; i < taken.size(); i += 2) {
            EXPECT_EQ(taken[i], taken[i + 1]);
            left.push_back(taken[i]);
        }
        EXPECT_EQ(left, c.expected);
    }

    // Two threads: a writer that laps the taker now and then.
    constexpr float kLast = 500000;
    TapRing ring(2 * 512, 2);
    std::thread writer([&] {
        for (float next = 1; next < kLast; next += 100) {
            const auto frames = ramp(next, 100);
            ring.appendFrames(100, [&](std::size_t f) { return frames.data() + 2 * f; });
            std::this_thread::yield();  // lets the taker in between appends now and then
        }
    });
    // Takes as fast as it can, until the writer's last frame arrives (or a deadline passes).
    float last = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (last != kLast && !::testing::Test::HasFailure() && std::chrono::steady_clock::now() < deadline) {
        const auto taken = ring.take(2 * 300);
        for (std::size_t i = 0; i < taken.size(); i += 2) {
            EXPECT_EQ(taken[i], taken[i + 1]);
            EXPECT_GT(taken[i], last);
            last = taken[i];
        }
    }
    EXPECT_EQ(last, kLast);
    writer.join();
}

}  // namespace
}  // namespace audiosim
