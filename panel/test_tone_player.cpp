#include "panel/test_tone_player.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace korvane::panel {

using namespace platform::audio;

namespace {
constexpr OSStatus kMissingObject = -1;  // the service reported success but produced nothing
}

AudioStreamBasicDescription TestTonePlayer::streamFormat() {
    AudioStreamBasicDescription format;
    format.mSampleRate = kSampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = kChannels * sizeof(float);
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = kChannels * sizeof(float);
    format.mChannelsPerFrame = kChannels;
    format.mBitsPerChannel = 32;
    format.mReserved = 0;
    return format;
}

std::vector<float> TestTonePlayer::renderTone() {
    std::vector<float> samples(std::size_t(kFrames) * kChannels);
    const double last = kFrames - 1;
    for (std::uint32_t i = 0; i < kFrames; ++i) {
        const double envelope = std::min({i / double(kFadeFrames), (last - i) / kFadeFrames, 1.0}) * kAmplitude;
        samples[2 * i] = float(std::sin(i * kLeftRadiansPerSecond / kSampleRate) * envelope);
        samples[2 * i + 1] = float(std::sin(i * kRightRadiansPerSecond / kSampleRate) * envelope);
    }
    return samples;
}

std::shared_ptr<TestTonePlayer> TestTonePlayer::create(AudioQueueService& queues, platform::MainThread& mainThread) {
    return std::shared_ptr<TestTonePlayer>(new TestTonePlayer(queues, mainThread));
}

TestTonePlayer::~TestTonePlayer() { stop(); }

OSStatus TestTonePlayer::play(const std::string& deviceUID) {
    stop();
    std::unique_ptr<AudioOutputQueue> queue;
    if (const OSStatus status = queues_.newOutput(streamFormat(), queue); status != kAudioHardwareNoError) return status;
    if (!queue) return kMissingObject;
    queue_ = std::move(queue);

    // Every later failure leaves nothing behind.
    const auto fail = [this](OSStatus status) {
        stop();
        return status;
    };
    if (const OSStatus status = queue_->setCurrentDevice(deviceUID); status != kAudioHardwareNoError) return fail(status);
    const std::vector<float> tone = renderTone();
    static_assert(std::size_t(kBufferBytes) == std::size_t(kFrames) * kChannels * sizeof(float));
    AudioQueueBuffer* buffer = nullptr;
    if (const OSStatus status = queue_->allocateBuffer(kBufferBytes, buffer); status != kAudioHardwareNoError)
        return fail(status);
    if (!buffer || !buffer->mAudioData || buffer->mAudioDataBytesCapacity < kBufferBytes) return fail(kMissingObject);
    std::memcpy(buffer->mAudioData, tone.data(), kBufferBytes);
    buffer->mAudioDataByteSize = kBufferBytes;
    if (const OSStatus status = queue_->enqueueBuffer(buffer); status != kAudioHardwareNoError) return fail(status);
    if (const OSStatus status = queue_->start(); status != kAudioHardwareNoError) return fail(status);

    cleanup_ = mainThread_.postAfter(kCleanupDelay, [weak = weak_from_this()] {
        if (const auto player = weak.lock()) player->stop();
    });
    return kAudioHardwareNoError;
}

void TestTonePlayer::stop() {
    if (const auto cleanup = std::exchange(cleanup_, nullptr)) cleanup->cancel();
    if (const auto queue = std::exchange(queue_, nullptr)) queue->dispose();
}

}  // namespace korvane::panel
