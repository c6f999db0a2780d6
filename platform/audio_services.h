// The platform's audio output queue service (one buffer played on a device chosen by UID) and
// its capture permission service (may this program record from an input?).
#pragma once

#include "platform/audio_types.h"

#include <functional>
#include <memory>
#include <string>

namespace platform::audio {

inline constexpr FourCharCode kAudioQueueProperty_CurrentDevice = fourCC("aqcd");

struct AudioQueueBuffer {
    std::uint32_t mAudioDataBytesCapacity = 0;
    void* mAudioData = nullptr;
    std::uint32_t mAudioDataByteSize = 0;
};

// One output queue. Main thread only. Every call returns 0 or a status.
class AudioOutputQueue {
public:
    virtual ~AudioOutputQueue() = default;
    virtual OSStatus setCurrentDevice(const std::string& deviceUID) = 0;
    // The buffer belongs to the queue and lives until the queue is disposed of.
    virtual OSStatus allocateBuffer(std::uint32_t byteSize, AudioQueueBuffer*& buffer) = 0;
    virtual OSStatus enqueueBuffer(AudioQueueBuffer* buffer) = 0;
    virtual OSStatus start() = 0;
    // Stops playing at once; the queue can do nothing afterwards.
    virtual OSStatus dispose() = 0;
};

class AudioQueueService {
public:
    virtual ~AudioQueueService() = default;
    virtual OSStatus newOutput(const AudioStreamBasicDescription& format, std::unique_ptr<AudioOutputQueue>& queue) = 0;
};

// The platform's four answers, and Unavailable: the status could not be read at all (the audio
// system did not answer), which is no answer and must not be taken for one.
enum class CaptureAuthorization { Unavailable = -1, NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

class CapturePermission {
public:
    virtual ~CapturePermission() = default;
    virtual CaptureAuthorization status() = 0;
    // Asks the user; `completion` runs once, on another thread, with the answer, unless the
    // service is destroyed first (destroying it does not wait for the answer).
    virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
};

}  // namespace platform::audio
