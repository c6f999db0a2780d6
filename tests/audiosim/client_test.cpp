// The client library against a real daemon: callback threads that start late or are stopped mid
// cycle, a daemon that restarts or stops answering, and a permission prompt left unanswered.
#include "audiosim/client/callback_thread.h"
#include "audiosim/client/remote_services.h"
#include "tests/support/daemon_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace korvane {
namespace {

using namespace platform::audio;
using namespace std::chrono_literals;
using audiosim::wire::Message;
using test::DaemonFixture;
using test::waitUntil;

std::uint64_t daemonCycles(audiosim::RemoteHardware& hardware) {
    const auto reply = hardware.connection().call(Message{{"op", "stats"}});
    return reply ? (*reply)["cycles"].get<std::uint64_t>() : 0;
}

// Counts its calls.
OSStatus countCalls(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                    AudioBufferList*, const AudioTimeStamp*, void* context) {
    static_cast<std::atomic<std::uint64_t>*>(context)->fetch_add(1);
    return 0;
}

// Sets the callback thread's start hook for the test's lifetime.
struct StartHook {
    explicit StartHook(void (*hook)(const audiosim::SharedCycle&)) { audiosim::CallbackThread::startHookForTesting = hook; }
    ~StartHook() { audiosim::CallbackThread::startHookForTesting = nullptr; }
};

TEST(AudiosimClient, ACallbackThreadThatStartsAfterTheFirstCycleStillRunsIt) {
    DaemonFixture daemon;
    auto hardware = daemon.connect();
    // The thread starts only once the daemon has announced cycle 1, as on a busy machine.
    StartHook hook([](const audiosim::SharedCycle& cycle) {
        waitUntil([&] { return cycle.sequence.load() != 0; });
    });
    const AudioObjectID speakers = deviceForUID(*hardware, "BuiltInSpeakerDevice");
    std::atomic<std::uint64_t> calls{0};
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(hardware->createIOProcID(speakers, &countCalls, &calls, proc), 0);
    ASSERT_EQ(hardware->startDevice(speakers, proc), 0);
    EXPECT_TRUE(waitUntil([&] { return calls.load() >= 20; })) << "the callback ran " << calls.load() << " times";
    EXPECT_EQ(hardware->stopDevice(speakers, proc), 0);
    EXPECT_EQ(hardware->destroyIOProcID(speakers, proc), 0);
}

}  // namespace
}  // namespace korvane
