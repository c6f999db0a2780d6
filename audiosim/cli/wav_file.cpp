#include "audiosim/cli/wav_file.h"

#include <sndfile.h>

namespace audiosim {

namespace {
constexpr sf_count_t kMaxFrames = sf_count_t(48000) * 60 * 30;  // half an hour at 48 kHz
}

std::optional<WavAudio> readWav(const std::string& path, std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        error = "Cannot read " + path + ": " + sf_strerror(nullptr) + ".";
        return std::nullopt;
    }
    WavAudio audio;
    if (info.channels < 1 || info.channels > 64 || info.samplerate < 1 || info.frames < 0 || info.frames > kMaxFrames) {
        sf_close(file);
        error = path + " has no usable audio (1 to 64 channels, at most half an hour).";
        return std::nullopt;
    }
    audio.channels = info.channels;
    audio.rate = info.samplerate;
    audio.samples.resize(std::size_t(info.frames) * std::size_t(info.channels));
    const sf_count_t read = sf_readf_float(file, audio.samples.data(), info.frames);
    audio.samples.resize(std::size_t(std::max<sf_count_t>(read, 0)) * std::size_t(info.channels));
    sf_close(file);
    return audio;
}

std::string writeWav(const std::string& path, const WavAudio& audio) {
    SF_INFO info{};
    info.channels = audio.channels;
    info.samplerate = audio.rate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return "Cannot write " + path + ": " + sf_strerror(nullptr) + ".";
    const auto frames = sf_count_t(audio.frames());
    const bool complete = sf_writef_float(file, audio.samples.data(), frames) == frames;
    sf_close(file);
    return complete ? std::string() : "Cannot write all of " + path + ".";
}

}  // namespace audiosim
