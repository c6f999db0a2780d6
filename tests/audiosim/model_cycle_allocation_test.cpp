// Proves that the device model's clock thread allocates nothing once it runs: this program counts
// what that thread allocates (the counter replaces the global allocation functions), from the first
// callback it runs on, through cycles of devices, aggregates, the KORVANE processing, taps and
// output queues, while another thread changes what runs.
#include "audiosim/model/device_model.h"
#include "tests/audiosim/model_load.h"
#include "tests/support/allocation_counter.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <functional>

namespace audiosim {
namespace {

using namespace platform::audio;
using korvane::test::allocateOnce;
using korvane::test::countedAllocations;
using korvane::test::resetCountedAllocations;
using korvane::test::startCountingAllocations;
using korvane::test::stopCountingAllocations;
using test::waitFor;

// Starts counting on the thread it runs on, plays a quiet tone, and counts its cycles; with
// `allocates`, allocates in every cycle, which proves the counting.
struct Probe {
    std::atomic<std::uint64_t> cycles{0};
    bool allocates = false;

    static OSStatus render(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                           AudioBufferList* output, const AudioTimeStamp*, void* data) {
        auto* self = static_cast<Probe*>(data);
        startCountingAllocations();
        if (self->allocates) allocateOnce();
        for (std::uint32_t b = 0; b < output->mNumberBuffers; ++b) {
            auto* samples = static_cast<float*>(output->mBuffers[b].mData);
            for (std::uint32_t i = 0; i < output->mBuffers[b].mDataByteSize / 4; ++i) samples[i] = 0.01f * float(i % 7);
        }
        self->cycles.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
};

PropertyList routeAggregate() {
    PropertyList::Array subs;
    for (const char* uid : {"audio.ravlin.stereo.v1", "USBInterface:2in2out", "BuiltInSpeakerDevice"})
        subs.emplace_back(PropertyList::Dictionary{{"uid", PropertyList(uid)}});
    return PropertyList(PropertyList::Dictionary{{"name", PropertyList("route")},
                                                 {"uid", PropertyList("route.aggregate")},
                                                 {"private", PropertyList(1)},
                                                 {"master", PropertyList("BuiltInSpeakerDevice")},
                                                 {"subdevices", PropertyList(std::move(subs))}});
}

TEST(ModelCycleAllocation, TheClockThreadAllocatesNothing) {
    // The counter itself works, on this thread and on the clock thread.
    startCountingAllocations();
    allocateOnce();
    stopCountingAllocations();
    EXPECT_GE(countedAllocations(), 1u);

    struct Case {
        const char* name;
        const char* device;  // the probe's; empty: the route's aggregate
        bool allocates;
        std::function<void(DeviceModel&)> meanwhile;  // on this thread, while the probe counts
    };
    const auto playPieces = [](DeviceModel& model) {
        // Pieces that start, get appended to, finish and are handed back.
        for (int i = 0; i < 5; ++i) {
            const auto id = model.enqueuePlayback("BTHeadphones:00-11-22", 2, std::vector<float>(2 * 100, 0.1f));
            model.enqueuePlayback("BTHeadphones:00-11-22", 2, std::vector<float>(2 * 50, 0.2f), id);
            waitFor([&] { return !model.playbackRemaining(id); }, "a playback to finish");
        }
    };
    const Case cases[] = {
        {"the counter on the clock thread", "BuiltInSpeakerDevice", true, nullptr},
        {"a device's own callback", "BuiltInSpeakerDevice", false, nullptr},
        {"KORVANE's processing and its input", "audio.ravlin.stereo.v1", false, nullptr},
        {"a route's aggregate over three devices", "", false, nullptr},
        {"output queues that finish", "BuiltInSpeakerDevice", false, playPieces},
        {"a route's aggregate converting members at other rates", "", false,
         [](DeviceModel& model) {
             model.setNominalRate("USBInterface:2in2out", 96000);
             model.setNominalRate("audio.ravlin.stereo.v1", 44100);
         }},
        {"a rate change and a taken tap", "", false,
         [](DeviceModel& model) {
             model.setNominalRate("BuiltInMicrophoneDevice", 44100);
             model.takeOutputTap("BuiltInSpeakerDevice");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetCountedAllocations();
        platform::ManualClock clock;
        DeviceModel model(test::shortCycleMachine(), clock);
        auto client = model.connect();
        AudioObjectID device = 0;
        if (*c.device)
            device = model.deviceId(c.device);
        else
            ASSERT_EQ(client->createAggregateDevice(routeAggregate(), device), 0);
        Probe probe;
        probe.allocates = c.allocates;
        AudioDeviceIOProcID proc = nullptr;
        ASSERT_EQ(client->createIOProcID(device, &Probe::render, &probe, proc), 0);
        ASSERT_EQ(client->startDevice(device, proc), 0);
        model.startClock();
        {
            test::RequestHammer hammer(model);
            ASSERT_TRUE(waitFor([&] { return probe.cycles.load() >= 1; }, "the probe's first cycle"));
            if (c.meanwhile) c.meanwhile(model);
            const std::uint64_t from = probe.cycles.load();
            const std::uint64_t rounds = hammer.rounds();
            ASSERT_TRUE(waitFor([&] { return probe.cycles.load() >= from + 200 && hammer.rounds() >= rounds + 20; },
                                "200 more cycles under requests"));
        }
        const std::size_t counted = countedAllocations();
        if (c.allocates)
            EXPECT_GE(counted, 200u);
        else
            EXPECT_EQ(counted, 0u);
        ASSERT_EQ(client->stopDevice(device, proc), 0);
        model.stopClock();
    }
}

}  // namespace
}  // namespace audiosim
