// The client library against a real daemon: callback threads that start late or are stopped mid
// cycle, a daemon that restarts or stops answering, and a permission prompt left unanswered.
#include "audiosim/client/callback_thread.h"
#include "tests/audiosim/daemon_test_prelude.h"

#include <algorithm>
#include <cmath>
#include <future>

namespace korvane {
namespace {

double nominalRate(AudioHardware& hardware, AudioObjectID device) {
    double rate = 0;
    std::uint32_t size = sizeof rate;
    return hardware.getPropertyData(device, globalAddress(kAudioDevicePropertyNominalSampleRate), nullptr, size, &rate) == 0
               ? rate
               : 0;
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

TEST(AudiosimClient, AfterADaemonRestartTheNextCallConnectsAgain) {
    DaemonFixture daemon;
    std::string error;
    std::shared_ptr<audiosim::DaemonConnection> connection = audiosim::DaemonConnection::open(error);
    audiosim::RemoteHardware hardware(connection);
    audiosim::RemoteCapturePermission permission(connection);
    const AudioObjectID speakers = deviceForUID(hardware, "BuiltInSpeakerDevice");
    std::atomic<std::uint64_t> oldCalls{0};
    AudioDeviceIOProcID old = nullptr;
    ASSERT_EQ(hardware.createIOProcID(speakers, &countCalls, &oldCalls, old), 0);
    ASSERT_EQ(hardware.startDevice(speakers, old), 0);
    ASSERT_TRUE(waitUntil([&] { return oldCalls.load() > 0; }));

    daemon.killDaemon();
    // No daemon: calls fail, and a status query that fails is no answer.
    EXPECT_EQ(nominalRate(hardware, speakers), 0.0);
    EXPECT_EQ(permission.status(), CaptureAuthorization::Unavailable);

    daemon.startDaemon();
    EXPECT_EQ(nominalRate(hardware, speakers), 48000.0);
    EXPECT_EQ(permission.status(), CaptureAuthorization::Authorized);
    // The old callback went with its connection: naming it fails, and it never runs again.
    EXPECT_NE(hardware.stopDevice(speakers, old), 0);
    EXPECT_NE(hardware.destroyIOProcID(speakers, old), 0);
    const std::uint64_t oldCallsAfter = oldCalls.load();
    std::atomic<std::uint64_t> calls{0};
    {
        Running fresh(hardware, speakers, &countCalls, &calls);
        EXPECT_TRUE(waitUntil([&] { return calls.load() >= 20; }));
    }
    EXPECT_EQ(oldCalls.load(), oldCallsAfter);
}

// A request that names what the daemon gave out (a playback's number, a callback's handle) is for
// that daemon only: the next one numbers its own from 1 again.
TEST(AudiosimClient, AQueueOfADaemonThatEndedLeavesThePlaybacksOfTheNextAlone) {
    DaemonFixture daemon;
    std::string error;
    std::shared_ptr<audiosim::DaemonConnection> connection = audiosim::DaemonConnection::open(error);
    ASSERT_TRUE(connection) << error;
    audiosim::RemoteQueueService service(connection);
    const AudioStreamBasicDescription format = kStereoFloat;
    std::unique_ptr<AudioOutputQueue> queue;
    ASSERT_EQ(service.newOutput(format, queue), 0);
    ASSERT_EQ(queue->setCurrentDevice("BuiltInSpeakerDevice"), 0);
    AudioQueueBuffer* buffer = nullptr;
    ASSERT_EQ(queue->allocateBuffer(48000 * 8, buffer), 0);
    buffer->mAudioDataByteSize = 48000 * 8;
    ASSERT_EQ(queue->enqueueBuffer(buffer), 0);
    ASSERT_EQ(queue->start(), 0);

    daemon.killDaemon();
    EXPECT_FALSE(connection->call(Message{{"op", "ping"}}));  // the connection finds its daemon gone
    daemon.startDaemon();
    // Another program plays, under the number the queue's playback had.
    auto other = daemon.connect();
    const std::vector<std::uint8_t> second(48000 * 8);
    const auto played = other->connection().call(
        Message{{"op", "play"}, {"uid", "BuiltInSpeakerDevice"}, {"channels", 2}, {"data", Message::binary(second)}});
    ASSERT_TRUE(played);
    const auto number = audiosim::wire::unsignedField(*played, "playback");
    ASSERT_EQ(number, 1u);

    EXPECT_EQ(queue->dispose(), 0);
    const auto state = other->connection().call(Message{{"op", "playbackState"}, {"playback", *number}});
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->value("playing", false)) << "the queue's disposal stopped another program's playback";
}

TEST(AudiosimClient, AfterOneTimeoutCallsToAStoppedDaemonFailAtOnceUntilItAnswers) {
    DaemonFixture daemon;
    daemon.environment.set("AUDIOSIM_TIMEOUT_MS", "30000");  // a call that waits its own timeout hangs the test
    auto hardware = daemon.connect();
    const AudioObjectID speakers = deviceForUID(*hardware, "BuiltInSpeakerDevice");
    ::kill(daemon.daemonPid(), SIGSTOP);
    EXPECT_FALSE(hardware->connection().call(Message{{"op", "ping"}}, 200ms));
    auto later = std::async(std::launch::async, [&] {
        int failed = 0;
        for (int i = 0; i < 5; ++i) failed += nominalRate(*hardware, speakers) == 0.0;
        return failed;
    });
    const bool returned = later.wait_for(20s) == std::future_status::ready;  // a bound against hanging
    ::kill(daemon.daemonPid(), SIGCONT);
    ASSERT_TRUE(returned);
    EXPECT_EQ(later.get(), 5);
    // Once the daemon answers again, so do calls.
    EXPECT_TRUE(waitUntil([&] { return nominalRate(*hardware, speakers) == 48000.0; }));
    EXPECT_EQ(nominalRate(*hardware, speakers), 48000.0);
}

TEST(AudiosimClient, APendingPermissionPromptHoldsUpNoOtherCall) {
    DaemonFixture daemon;
    auto observer = daemon.connect();
    ASSERT_EQ(test::runProgram({test::audiosimProgram(), "permission", "not-determined", "--answer", "granted", "--delay", "60"}), 0);
    std::string error;
    std::shared_ptr<audiosim::DaemonConnection> connection = audiosim::DaemonConnection::open(error);
    audiosim::RemoteHardware hardware(connection);
    auto permission = std::make_unique<audiosim::RemoteCapturePermission>(connection);
    std::atomic<bool> answered{false};
    permission->requestAccess([&](bool) { answered = true; });
    ASSERT_TRUE(waitUntil([&] { return daemonStat(*observer, "prompts") == 1; }));

    // Calls over the service's connection go on while the prompt waits.
    auto status = std::async(std::launch::async, [&] { return permission->status(); });
    ASSERT_EQ(status.wait_for(20s), std::future_status::ready);  // a bound against hanging
    EXPECT_EQ(status.get(), CaptureAuthorization::NotDetermined);
    EXPECT_EQ(nominalRate(hardware, deviceForUID(hardware, "BuiltInSpeakerDevice")), 48000.0);

    // Destroying the service ends the wait at once; the answer goes nowhere.
    auto destroyed = std::async(std::launch::async, [&] { permission.reset(); });
    ASSERT_EQ(destroyed.wait_for(20s), std::future_status::ready);
    EXPECT_FALSE(answered.load());
    EXPECT_TRUE(waitUntil([&] { return daemonStat(*observer, "prompts") == 0; }));  // its connection closed
}

// A callback that takes three seconds the first time, as a stuck one might. The sleep is that
// stuck callback, not a wait: stop must wait it out.
struct SlowFirstCall {
    std::atomic<bool> inside{false};
    std::atomic<std::uint64_t> calls{0};

    static OSStatus run(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                        AudioBufferList*, const AudioTimeStamp*, void* context) {
        auto* self = static_cast<SlowFirstCall*>(context);
        if (self->calls.fetch_add(1) == 0) {
            self->inside = true;
            std::this_thread::sleep_for(3s);
            self->inside = false;
        }
        return 0;
    }
};

TEST(AudiosimClient, AfterStopOrDestroyReturnsTheCallbackNeverRunsAgain) {
    DaemonFixture daemon;
    auto hardware = daemon.connect();
    const AudioObjectID speakers = deviceForUID(*hardware, "BuiltInSpeakerDevice");
    // Another callback keeps the device running, so that cycles go on after the one stopped.
    std::atomic<std::uint64_t> other{0};
    Running keeper(*hardware, speakers, &countCalls, &other);
    const auto afterMoreCycles = [&] {
        const std::uint64_t from = other.load();
        return waitUntil([&] { return other.load() >= from + 20; });
    };

    {
        SCOPED_TRACE("stopped while its cycle runs");
        SlowFirstCall slow;
        AudioDeviceIOProcID proc = nullptr;
        ASSERT_EQ(hardware->createIOProcID(speakers, &SlowFirstCall::run, &slow, proc), 0);
        ASSERT_EQ(hardware->startDevice(speakers, proc), 0);
        ASSERT_TRUE(waitUntil([&] { return slow.inside.load(); }));
        EXPECT_EQ(hardware->stopDevice(speakers, proc), 0);
        EXPECT_FALSE(slow.inside.load());  // the cycle in progress ended before stop returned
        const std::uint64_t calls = slow.calls.load();
        EXPECT_TRUE(afterMoreCycles());
        EXPECT_EQ(slow.calls.load(), calls);
        EXPECT_EQ(hardware->destroyIOProcID(speakers, proc), 0);
    }
    {
        SCOPED_TRACE("destroyed with an error answer");
        std::atomic<std::uint64_t> calls{0};
        AudioDeviceIOProcID proc = nullptr;
        ASSERT_EQ(hardware->createIOProcID(speakers, &countCalls, &calls, proc), 0);
        ASSERT_EQ(hardware->startDevice(speakers, proc), 0);
        ASSERT_TRUE(waitUntil([&] { return calls.load() > 0; }));
        const AudioObjectID wrongDevice = deviceForUID(*hardware, "HDMIDisplay:1");
        EXPECT_NE(hardware->destroyIOProcID(wrongDevice, proc), 0);
        const std::uint64_t after = calls.load();
        EXPECT_TRUE(afterMoreCycles());
        EXPECT_EQ(calls.load(), after);
        EXPECT_NE(hardware->startDevice(speakers, proc), 0);  // the handle is gone
    }
}

// Fills every output sample with the level the test chose; once asked, takes its time over one
// cycle first, as a callback that is stopped while it runs.
struct LevelWriter {
    std::atomic<float> level{0};
    std::atomic<bool> slowOnce{false};
    std::atomic<bool> inside{false};

    static OSStatus run(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                        AudioBufferList* output, const AudioTimeStamp*, void* context) {
        auto* self = static_cast<LevelWriter*>(context);
        if (self->slowOnce.exchange(false)) {
            self->inside = true;
            std::this_thread::sleep_for(300ms);
            self->inside = false;
        }
        for (std::uint32_t b = 0; output && b < output->mNumberBuffers; ++b) {
            auto* samples = static_cast<float*>(output->mBuffers[b].mData);
            std::fill_n(samples, output->mBuffers[b].mDataByteSize / sizeof(float), self->level.load());
        }
        return 0;
    }
};

// What the virtual device's input plays back: its output, one cycle later.
struct LoopbackWatch {
    std::atomic<float> loudest{0};  // since the test last cleared it
    std::atomic<std::uint64_t> silentInARow{0};
    std::atomic<std::uint64_t> loudCycles{0};

    static OSStatus run(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                        AudioBufferList*, const AudioTimeStamp*, void* context) {
        auto* self = static_cast<LoopbackWatch*>(context);
        float peak = 0;
        for (std::uint32_t b = 0; input && b < input->mNumberBuffers; ++b) {
            const auto* samples = static_cast<const float*>(input->mBuffers[b].mData);
            for (std::size_t i = 0; samples && i < input->mBuffers[b].mDataByteSize / sizeof(float); ++i)
                peak = std::max(peak, std::fabs(samples[i]));
        }
        if (peak > self->loudest.load()) self->loudest = peak;
        if (peak == 0) {
            self->silentInARow.fetch_add(1);
        } else {
            self->silentInARow = 0;
            self->loudCycles.fetch_add(1);
        }
        return 0;
    }
};

TEST(AudiosimClient, ACallbackStartedAgainPlaysNothingOfItsEarlierRun) {
    DaemonFixture daemon;
    auto hardware = daemon.connect();
    const AudioObjectID korvane = deviceForUID(*hardware, "audio.ravlin.stereo.v1");
    LoopbackWatch watch;
    Running watcher(*hardware, korvane, &LoopbackWatch::run, &watch);
    const struct {
        const char* name;
        bool stoppedMidCycle;
    } cases[] = {{"stopped between cycles", false}, {"stopped while its cycle runs", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LevelWriter writer;
        writer.level = 0.5f;
        AudioDeviceIOProcID proc = nullptr;
        ASSERT_EQ(hardware->createIOProcID(korvane, &LevelWriter::run, &writer, proc), 0);
        ASSERT_EQ(hardware->startDevice(korvane, proc), 0);
        ASSERT_TRUE(waitUntil([&] { return watch.loudCycles.load() >= 10; }));
        const float firstRun = watch.loudest.load();
        if (c.stoppedMidCycle) {
            writer.slowOnce = true;
            ASSERT_TRUE(waitUntil([&] { return writer.inside.load(); }));
        }
        ASSERT_EQ(hardware->stopDevice(korvane, proc), 0);
        // Everything the first run wrote has come back.
        ASSERT_TRUE(waitUntil([&] { return watch.silentInARow.load() >= 50; }));

        writer.level = 0.25f;
        watch.loudest = 0;
        watch.loudCycles = 0;
        ASSERT_EQ(hardware->startDevice(korvane, proc), 0);
        ASSERT_TRUE(waitUntil([&] { return watch.loudCycles.load() >= 10; }));
        EXPECT_GT(watch.loudest.load(), 0.0f);
        EXPECT_LT(watch.loudest.load(), 0.75f * firstRun) << "the second run played a buffer left from the first";
        EXPECT_EQ(hardware->stopDevice(korvane, proc), 0);
        EXPECT_EQ(hardware->destroyIOProcID(korvane, proc), 0);
        ASSERT_TRUE(waitUntil([&] { return watch.silentInARow.load() >= 50; }));
        watch.loudest = 0;
        watch.loudCycles = 0;
    }
}

}  // namespace
}  // namespace korvane
