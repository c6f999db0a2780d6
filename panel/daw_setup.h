// DAWSetup: the public combined device that lets a DAW record the KORVANE input and play back on
// a physical output at once (KORVANE first, so the output's channels become 3–4). Created once per
// output and left in place.
#pragma once

#include "shared/audio_endpoint.h"
#include "shared/expected.h"

#include <string>
#include <string_view>
#include <vector>

namespace korvane::panel::DAWSetup {

struct Failure {
    std::string message;  // the finished sentence shown to the user
};

inline constexpr std::string_view kNamePrefix = "KORVANE + ";

// "audio.ravlin.daw." + standard Base64 (padded) of the output UID's bytes.
std::string deviceUID(std::string_view outputUID);

// Returns: the combined device's name; the existing device's name when one with the same UID is
// already listed in `endpoints` (nothing is created then).
// Errors: a Failure with its message when the KORVANE device is not listed, the output is not a
// physical device with at least two output channels, or the platform refuses the creation.
Expected<std::string, Failure> create(const AudioEndpoint& output, const std::vector<AudioEndpoint>& endpoints);

}  // namespace korvane::panel::DAWSetup
