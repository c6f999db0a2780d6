// WAV files for the command line, through libsndfile: interleaved 32-bit float samples.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace audiosim {

struct WavAudio {
    std::vector<float> samples;  // interleaved
    int channels = 0;
    int rate = 0;
    std::size_t frames() const { return channels > 0 ? samples.size() / std::size_t(channels) : 0; }
};

// Nothing, with the reason in `error`, when the file cannot be read as audio.
std::optional<WavAudio> readWav(const std::string& path, std::string& error);

// Writes 32-bit float WAV. Returns an empty string or the reason.
std::string writeWav(const std::string& path, const WavAudio& audio);

}  // namespace audiosim
