// The computer's audio system for a program's entry point to install: on Linux, the audiosim
// daemon, started when none runs.
#pragma once

#include "platform/audio_hardware.h"
#include "platform/audio_services.h"

#include <memory>
#include <optional>
#include <string>

namespace korvane::system {

struct AudioSystem {
    std::unique_ptr<platform::audio::AudioHardware> hardware;
    std::unique_ptr<platform::audio::AudioQueueService> queues;
    std::unique_ptr<platform::audio::CapturePermission> capturePermission;
};

// Nothing, with the reason in `error`, when the audio system cannot be reached.
std::optional<AudioSystem> connectAudioSystem(std::string& error);

}  // namespace korvane::system
