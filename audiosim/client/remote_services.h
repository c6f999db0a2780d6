// The audio output queue and capture permission services on Linux, served by the audiosim daemon.
#pragma once

#include "audiosim/client/daemon_connection.h"
#include "platform/audio_services.h"

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace audiosim {

inline constexpr platform::audio::OSStatus kAudioFormatUnsupportedDataFormatError =
    platform::audio::OSStatus(platform::audio::fourCC("fmt?"));

class RemoteQueueService final : public platform::audio::AudioQueueService {
public:
    explicit RemoteQueueService(std::shared_ptr<DaemonConnection> connection) : connection_(std::move(connection)) {}
    // Accepts native-endian, packed, interleaved 32-bit float linear PCM of 1 to 64 channels.
    platform::audio::OSStatus newOutput(const platform::audio::AudioStreamBasicDescription& format,
                                        std::unique_ptr<platform::audio::AudioOutputQueue>& queue) override;

private:
    std::shared_ptr<DaemonConnection> connection_;
};

class RemoteCapturePermission final : public platform::audio::CapturePermission {
public:
    explicit RemoteCapturePermission(std::shared_ptr<DaemonConnection> connection) : connection_(std::move(connection)) {}
    // Ends the wait of unanswered prompts at once; their completions never run.
    ~RemoteCapturePermission() override;

    // Unavailable when the daemon does not answer.
    platform::audio::CaptureAuthorization status() override;
    // The prompt goes over a connection of its own, so that it holds up no other call; the answer
    // arrives on a thread of its own. No answer from the daemon counts as refused.
    void requestAccess(std::function<void(bool granted)> completion) override;

private:
    struct Prompt;
    std::shared_ptr<DaemonConnection> connection_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Prompt>> prompts_;
};

}  // namespace audiosim
