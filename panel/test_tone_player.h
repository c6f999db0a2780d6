// TestTonePlayer: plays a short stereo tone (660 Hz left, 880 Hz right, 0.6 s at about −24 dBFS
// with 20 ms fades) once, as one buffer of an output queue on a device chosen by UID, and disposes
// of the queue 2 s after the start. At most one tone plays at a time. Main thread only.
#pragma once

#include "platform/audio_services.h"
#include "platform/main_thread.h"

#include <memory>
#include <string>
#include <vector>

namespace korvane::panel {

class TestTonePlayer : public std::enable_shared_from_this<TestTonePlayer> {
public:
    static constexpr double kSampleRate = 48000.0;
    static constexpr std::uint32_t kChannels = 2;
    static constexpr std::uint32_t kFrames = 28800;      // 0.6 s
    static constexpr std::uint32_t kFadeFrames = 960;    // 20 ms
    static constexpr double kAmplitude = 0.063095734;    // −24 dBFS
    static constexpr double kLeftRadiansPerSecond = 4146.9023027385265;   // 2π × 660
    static constexpr double kRightRadiansPerSecond = 5529.203070318036;   // 2π × 880
    static constexpr std::uint32_t kBufferBytes = kFrames * kChannels * sizeof(float);
    static constexpr std::chrono::milliseconds kCleanupDelay{2000};

    // 48 kHz interleaved stereo 32-bit float, packed.
    static platform::audio::AudioStreamBasicDescription streamFormat();
    // The tone, interleaved left/right, kFrames frames.
    static std::vector<float> renderTone();

    static std::shared_ptr<TestTonePlayer> create(platform::audio::AudioQueueService& queues,
                                                  platform::MainThread& mainThread);
    ~TestTonePlayer();
    TestTonePlayer(const TestTonePlayer&) = delete;
    TestTonePlayer& operator=(const TestTonePlayer&) = delete;

    // Effects: stops what plays, then plays the tone once on the device with `deviceUID`.
    // Returns: 0, or the queue service's status (−1 when it reported success but yielded no queue
    // or buffer); after a failure nothing plays and nothing is pending.
    platform::audio::OSStatus play(const std::string& deviceUID);
    // Cancels the pending disposal and disposes of the queue at once. Safe at any time.
    void stop();

    bool isPlaying() const { return queue_ != nullptr; }
    bool hasPendingCleanup() const { return cleanup_ != nullptr; }

private:
    TestTonePlayer(platform::audio::AudioQueueService& queues, platform::MainThread& mainThread)
        : queues_(queues), mainThread_(mainThread) {}

    platform::audio::AudioQueueService& queues_;
    platform::MainThread& mainThread_;
    std::unique_ptr<platform::audio::AudioOutputQueue> queue_;
    std::shared_ptr<platform::ScheduledTask> cleanup_;
};

}  // namespace korvane::panel
