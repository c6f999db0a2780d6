#include "audiosim/model/rate_conversion.h"

#include <samplerate.h>

#include <cmath>

namespace audiosim {

namespace {

constexpr double kMaxRatio = 256.0;  // libsamplerate's own limit

std::string hertz(double rate) { return std::to_string(std::lround(rate)) + " Hz"; }

}  // namespace

std::optional<std::vector<float>> convertRate(std::vector<float> samples, int channels, double from, double to,
                                              std::string& error, const char* what) {
    if (!(from > 0) || !(to > 0) || channels <= 0) {
        error = "The device's or the audio's sample rate is unknown.";
        return std::nullopt;
    }
    const auto frames = long(samples.size() / std::size_t(channels));
    if (from == to || frames == 0) return samples;
    const double ratio = to / from;
    if (ratio > kMaxRatio || ratio < 1.0 / kMaxRatio) {
        error = std::string(what) + " at " + hertz(from) + " cannot be converted to the device's " + hertz(to) + ".";
        return std::nullopt;
    }
    std::vector<float> converted(std::size_t(std::ceil(double(frames) * ratio) + 1) * std::size_t(channels));
    SRC_DATA data{};
    data.data_in = samples.data();
    data.input_frames = frames;
    data.data_out = converted.data();
    data.output_frames = long(converted.size() / std::size_t(channels));
    data.end_of_input = 1;
    data.src_ratio = ratio;
    if (const int failure = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, channels); failure != 0) {
        error = std::string("The sample rate conversion failed: ") + src_strerror(failure) + ".";
        return std::nullopt;
    }
    converted.resize(std::size_t(data.output_frames_gen) * std::size_t(channels));
    return converted;
}

}  // namespace audiosim
