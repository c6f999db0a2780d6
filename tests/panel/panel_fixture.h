// Test support for the panel model: the device model in process on a manual clock, a manual main
// thread on the same clock, an in-memory defaults store, fake application services and a
// recording audio queue service; the panel's bundle in a private temporary directory.
#pragma once

#include "panel/audio_model.h"
#include "platform/manual_main_thread.h"
#include "tests/support/fake_application_services.h"
#include "tests/support/fake_audio_queue.h"
#include "tests/support/model_fixture.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

namespace korvane::test {

struct PanelSetup {
    explicit PanelSetup(audiosim::MachineSpec machine = audiosim::builtinMachine()) : audio(std::move(machine)) {
        queues.model = &audio.model;
        applications.bundle = environment.root() / "KORVANE.app";
        applications.info = platform::BundleInfo{{"CFBundleShortVersionString", "1.4.2"}, {"CFBundleVersion", "87"}};
        std::filesystem::create_directories(helperBundle());
    }
    // Pending launch completions hold the model; they hand it back to the main thread, which
    // releases it while everything it uses still exists.
    ~PanelSetup() {
        model.reset();
        applications.launches.clear();
        mainThread.runPending();
    }

    std::filesystem::path helperBundle() const { return *applications.bundle / "Contents/Helpers/KORVANE Routing.app"; }

    panel::AudioModel& create() {
        model = panel::AudioModel::create({mainThread, audio.clock, audio.clock, defaults, applications, queues});
        return *model;
    }
    // A public aggregate device of two sub-devices; its id.
    platform::audio::AudioObjectID createAggregate(const std::string& uid, const std::string& name, const char* first,
                                                   const char* second) {
        using platform::audio::PropertyList;
        const PropertyList::Dictionary description{
            {"name", name},
            {"uid", uid},
            {"private", 0},
            {"subdevices", PropertyList::Array{PropertyList::Dictionary{{"uid", first}}, PropertyList::Dictionary{{"uid", second}}}},
        };
        platform::audio::AudioObjectID id = 0;
        EXPECT_EQ(audio.client->createAggregateDevice(PropertyList(description), id), 0);
        return id;
    }
    // Runs `passes` timer ticks of 50 ms.
    void passes(int count) { mainThread.advance(0.05 * count); }

    TestEnvironment environment;
    ModelSetup audio;
    platform::ManualMainThread mainThread{audio.clock};
    platform::MemoryDefaultsStore defaults;
    FakeApplicationServices applications;
    RecordingQueueService queues;
    std::shared_ptr<panel::AudioModel> model;
};

}  // namespace korvane::test
