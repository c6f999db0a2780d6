// The output queue service and the capture permission over PipeWire. A queue plays its buffers,
// in the order they were enqueued, as one playback stream linked to the device's sink; a plain
// PipeWire session asks no permission to record, so capture is always authorized.
#pragma once

#include "pipewire_audio/graph_connection.h"
#include "platform/audio_services.h"

#include <memory>

namespace korvane::pipewire_audio {

class PipeWireQueueService final : public platform::audio::AudioQueueService {
public:
    explicit PipeWireQueueService(std::shared_ptr<GraphConnection> connection) : connection_(std::move(connection)) {}
    platform::audio::OSStatus newOutput(const platform::audio::AudioStreamBasicDescription& format,
                                        std::unique_ptr<platform::audio::AudioOutputQueue>& queue) override;

private:
    std::shared_ptr<GraphConnection> connection_;
};

class PipeWireCapturePermission final : public platform::audio::CapturePermission {
public:
    platform::audio::CaptureAuthorization status() override { return platform::audio::CaptureAuthorization::Authorized; }
    void requestAccess(std::function<void(bool granted)> completion) override;
};

}  // namespace korvane::pipewire_audio
