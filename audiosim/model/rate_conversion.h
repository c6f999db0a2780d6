// Sample-rate conversion of a whole piece of audio (libsamplerate), for what is handed over at a
// rate other than the device's: files the command line plays, and output-queue buffers.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace audiosim {

// `samples` (interleaved, `channels` channels) converted from `from` Hz to `to` Hz. Nothing, with
// the reason in `error` (a sentence about `what`, e.g. "A file"), when a rate is not positive,
// the rates are more than a factor of 256 apart, or the conversion fails. Returned unchanged when
// the rates are equal.
std::optional<std::vector<float>> convertRate(std::vector<float> samples, int channels, double from, double to,
                                              std::string& error, const char* what = "Audio");

}  // namespace audiosim
