// AudioSampleRateControl: sets the KORVANE device's nominal rate to a reference device's rate and
// waits until the device confirms it. Physical devices are never changed.
#pragma once

#include "platform/clock.h"
#include "shared/audio_endpoint.h"
#include "shared/expected.h"

#include <string>

namespace korvane::AudioSampleRateControl {

// A failure with the sentence shown to the user.
struct Failure {
    std::string message;
    const std::string& description() const { return message; }
};

inline constexpr double kTolerance = 0.5;  // Hz
inline constexpr int kConfirmationPolls = 40;
inline constexpr double kPollInterval = 0.05;  // seconds

// Effects: writes the reference's nominal rate to the KORVANE device unless it is already within
// 0.5 Hz, then reads it back up to 40 times with `pause` (50 ms) after each miss. Both endpoints
// come from the latest enumeration. Blocks the calling thread for up to about 2 s.
// Errors: Failure with the exact message for each step; nothing is rolled back.
Expected<void, Failure> match(const AudioEndpoint& korvane, const AudioEndpoint& reference,
                              const platform::Pause& pause = platform::sleepFor);

// Kilohertz as the shortest decimal that reads back as the same value, with at least one
// fractional digit: 44.1, 48.0, 192.0.
std::string kilohertzText(double hertz);

}  // namespace korvane::AudioSampleRateControl
