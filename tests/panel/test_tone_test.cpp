// The test tone: its buffer and format, the player's queue lifetime, and the model's checks.
#include "shared/routing_files.h"
#include "tests/panel/panel_fixture.h"

#include <cmath>

namespace korvane::test {
namespace {

using namespace platform::audio;
using panel::TestTonePlayer;
using Step = RecordingQueueService::Step;

TEST(TestTone, BufferAndFormat) {
    const auto tone = TestTonePlayer::renderTone();
    ASSERT_EQ(tone.size(), 28800u * 2);
    EXPECT_EQ(tone.size() * sizeof(float), 230400u);
    EXPECT_EQ(tone[0], 0.0f);
    EXPECT_EQ(tone[1], 0.0f);
    EXPECT_EQ(tone[2 * 28799], 0.0f);
    EXPECT_EQ(tone[2 * 28799 + 1], 0.0f);
    const auto expected = [](std::uint32_t i, double radians, double envelope) {
        return float(std::sin(i * radians / 48000) * envelope);
    };
    for (std::uint32_t i = 0; i < 28800; ++i) {
        const double envelope = (i >= 960 && i <= 27839) ? 0.063095734 : std::min(i, 28799 - i) / 960.0 * 0.063095734;
        ASSERT_EQ(tone[2 * i], expected(i, 4146.9023027385265, envelope)) << i;
        ASSERT_EQ(tone[2 * i + 1], expected(i, 5529.203070318036, envelope)) << i;
    }
    // Full amplitude from frame 960 to 27839 and nowhere else.
    const auto peakOf = [&](std::uint32_t from, std::uint32_t to) {
        float peak = 0;
        for (std::uint32_t i = from; i < to; ++i) peak = std::max({peak, std::fabs(tone[2 * i]), std::fabs(tone[2 * i + 1])});
        return peak;
    };
    EXPECT_NEAR(peakOf(960, 27840), 0.063095734, 1e-5);
    EXPECT_LT(peakOf(0, 960), 0.063095734f);
    EXPECT_LT(peakOf(27840, 28800), 0.063095734f);

    const auto format = TestTonePlayer::streamFormat();
    EXPECT_EQ(format.mSampleRate, 48000.0);
    EXPECT_EQ(format.mFormatID, fourCC("lpcm"));
    EXPECT_EQ(format.mFormatFlags, 9u);
    EXPECT_EQ(format.mBytesPerPacket, 8u);
    EXPECT_EQ(format.mFramesPerPacket, 1u);
    EXPECT_EQ(format.mBytesPerFrame, 8u);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mBitsPerChannel, 32u);
    EXPECT_EQ(format.mReserved, 0u);
}

TEST(TestTonePlayer, QueueLifetime) {
    platform::ManualClock clock;
    platform::ManualMainThread mainThread(clock);
    RecordingQueueService queues;
    auto player = TestTonePlayer::create(queues, mainThread);

    ASSERT_EQ(player->play(kKorvane), 0);
    ASSERT_EQ(queues.records.size(), 1u);
    const auto& first = queues.records.front();
    EXPECT_EQ(first.deviceUID, kKorvane);
    EXPECT_TRUE(first.started);
    EXPECT_EQ(first.enqueued, TestTonePlayer::renderTone());

    // A second play within 2 s disposes of the first queue at once.
    mainThread.advance(1.0);
    ASSERT_EQ(player->play(kKorvane), 0);
    EXPECT_TRUE(queues.records.front().disposed);
    EXPECT_EQ(queues.liveQueues(), 1u);
    // Its cleanup was cancelled: 2 s after the first start, the second still plays.
    mainThread.advance(1.5);
    EXPECT_EQ(queues.liveQueues(), 1u);
    mainThread.advance(0.5);  // 2 s after the second start
    EXPECT_EQ(queues.liveQueues(), 0u);
    EXPECT_FALSE(player->isPlaying());
    EXPECT_FALSE(player->hasPendingCleanup());

    player->stop();  // nothing plays: harmless
    ASSERT_EQ(player->play(kKorvane), 0);
    std::weak_ptr<TestTonePlayer> weak = player;
    player.reset();  // destruction disposes of the queue; the pending cleanup finds nothing
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(queues.liveQueues(), 0u);
    mainThread.advance(3);
}

TEST(TestTonePlayer, EveryFailureLeavesNothingBehind) {
    struct Case {
        Step step;
        OSStatus status;
        OSStatus expected;
    };
    const Case cases[] = {
        {Step::NewOutput, 1718449215, 1718449215},
        {Step::NewOutput, 0, -1},  // success without a queue
        {Step::SetDevice, -10851, -10851},
        {Step::Allocate, -108, -108},
        {Step::Enqueue, -66687, -66687},
        {Step::Start, -66681, -66681},
    };
    for (const auto& c : cases) {
        platform::ManualClock clock;
        platform::ManualMainThread mainThread(clock);
        RecordingQueueService queues;
        auto player = TestTonePlayer::create(queues, mainThread);
        queues.failure = std::pair(c.step, c.status);
        EXPECT_EQ(player->play(kKorvane), c.expected) << int(c.step);
        EXPECT_EQ(queues.liveQueues(), 0u);
        EXPECT_FALSE(player->isPlaying());
        EXPECT_FALSE(player->hasPendingCleanup());
        EXPECT_EQ(mainThread.scheduledCount(), 0u);
    }
    platform::ManualClock clock;
    platform::ManualMainThread mainThread(clock);
    RecordingQueueService queues;
    queues.noBuffer = true;
    auto player = TestTonePlayer::create(queues, mainThread);
    EXPECT_EQ(player->play(kKorvane), -1);
    EXPECT_EQ(queues.liveQueues(), 0u);
}

// A model whose route runs with system playback into the virtual device.
panel::AudioModel& running(PanelSetup& setup) {
    auto& model = setup.create();
    setup.passes(1);
    RoutingReport report{model.appliedRevision(), "running", "System playback connected · stereo 1–2",
                         setup.audio.clock.secondsSinceReferenceDate(), 1};
    EXPECT_FALSE(RoutingFiles::write(report, RoutingFiles::kReportFileName));
    EXPECT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), model.device()), 0);
    model.refreshDevices();
    EXPECT_EQ(model.routingPhase(), "running");
    EXPECT_TRUE(model.systemActive());
    return model;
}

TEST(PlayTestTone, Checks) {
    struct Case {
        const char* name;
        std::function<void(PanelSetup&, panel::AudioModel&)> arrange;
        std::string error;
        bool plays;
    };
    const std::string chooseSystem = "Choose System audio and a listening output, then Start audio before testing.";
    const std::string changed = "The KORVANE playback output changed. Start audio again before testing.";
    const auto setDefault = [](PanelSetup& s, const char* uid) {
        setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), s.audio.id(uid));
    };
    const Case cases[] = {
        {"plays into the virtual device", [](PanelSetup&, panel::AudioModel&) {}, "", true},
        {"audio stopped", [](PanelSetup&, panel::AudioModel& m) { m.applyRouting(false); }, chooseSystem, false},
        {"a hardware source", [](PanelSetup&, panel::AudioModel& m) { m.setSelectedInput(kMicrophone); }, chooseSystem, false},
        {"listening muted", [](PanelSetup&, panel::AudioModel& m) { m.toggleListeningMute(); }, "Unmute listening before testing.",
         false},
        {"the default output switched by hand",
         [&](PanelSetup& s, panel::AudioModel&) { setDefault(s, kHeadphones); },
         changed, false},
        {"the queue service refuses", [](PanelSetup& s, panel::AudioModel&) { s.queues.failure = std::pair(Step::SetDevice, -50); },
         "Could not play the stereo test tone (-50).", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup;
        auto& model = running(setup);
        c.arrange(setup, model);
        model.playTestTone();
        EXPECT_EQ(model.error(), c.error);
        EXPECT_EQ(setup.queues.liveQueues(), c.plays ? 1u : 0u);
        if (c.plays) {
            EXPECT_EQ(setup.queues.records.back().deviceUID, kKorvane);
        }
    }
}

TEST(PlayTestTone, TheDefaultOutputIsReadWhenPressedNotAtTheLastPass) {
    PanelSetup setup;
    auto& model = running(setup);
    // Switched by hand after the last pass: systemActive still says yes, the check does not.
    ASSERT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), setup.audio.id(kSpeakers)), 0);
    ASSERT_TRUE(model.systemActive());
    model.playTestTone();
    EXPECT_EQ(model.error(), "The KORVANE playback output changed. Start audio again before testing.");
    EXPECT_TRUE(setup.queues.records.empty());
}

TEST(PlayTestTone, QuitStopsTheTone) {
    PanelSetup setup;
    auto& model = running(setup);
    model.playTestTone();
    ASSERT_EQ(setup.queues.liveQueues(), 1u);
    model.prepareForQuit();
    EXPECT_EQ(setup.queues.liveQueues(), 0u);
    EXPECT_FALSE(model.testSound().hasPendingCleanup());
}

}  // namespace
}  // namespace korvane::test
