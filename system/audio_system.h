// The computer's audio system for a program's entry point to install: the user's PipeWire
// session on a Linux desktop, else the audiosim daemon (started when none runs).
#pragma once

#include "platform/audio_hardware.h"
#include "platform/audio_services.h"

#include <memory>
#include <optional>
#include <string>

namespace korvane::system {

enum class AudioSystemKind { PipeWire, Audiosim };

struct AudioSystem {
    AudioSystemKind kind = AudioSystemKind::Audiosim;
    std::unique_ptr<platform::audio::AudioHardware> hardware;
    std::unique_ptr<platform::audio::AudioQueueService> queues;
    std::unique_ptr<platform::audio::CapturePermission> capturePermission;
};

// The variable that chooses: "pipewire" or "audiosim"; unset, PipeWire when a PipeWire server
// answers for this user, else audiosim. The choice is written back to the environment, so that a
// program this one starts (the routing helper) uses the same system.
inline constexpr const char* kAudioSystemVariable = "KORVANE_AUDIO_SYSTEM";

// Effects: connects to the chosen system. On PipeWire, starts korvane-driver (beside this
// program, else on PATH) when no KORVANE device exists, and waits briefly for its device.
// Returns: nothing, with the reason in `error`, when the audio system cannot be reached.
// Call from main before other threads read the environment.
std::optional<AudioSystem> connectAudioSystem(std::string& error);

// Whether a PipeWire server accepts connections on this user's socket.
bool pipewireServerAnswers();

}  // namespace korvane::system
