#include "audiosim/cli/device_format.h"

#include <samplerate.h>

#include <cmath>

namespace audiosim {

namespace {

constexpr double kMaxRatio = 256.0;  // libsamplerate's own limit

bool spreadsMono(const WavAudio& audio, const DeviceFormat& device) { return audio.channels == 1 && device.channels >= 2; }

}  // namespace

std::optional<WavAudio> fitToDevice(WavAudio audio, const DeviceFormat& device, std::string& error) {
    if (device.rate <= 0 || audio.rate <= 0 || audio.channels <= 0) {
        error = "The device's or the file's sample rate is unknown.";
        return std::nullopt;
    }
    if (audio.rate != device.rate && audio.frames() > 0) {
        const double ratio = double(device.rate) / double(audio.rate);
        if (ratio > kMaxRatio || ratio < 1.0 / kMaxRatio) {
            error = "A file at " + std::to_string(audio.rate) + " Hz cannot be converted to the device's " +
                    std::to_string(device.rate) + " Hz.";
            return std::nullopt;
        }
        const auto frames = long(audio.frames());
        std::vector<float> converted(std::size_t(std::ceil(double(frames) * ratio) + 1) * std::size_t(audio.channels));
        SRC_DATA data{};
        data.data_in = audio.samples.data();
        data.input_frames = frames;
        data.data_out = converted.data();
        data.output_frames = long(converted.size() / std::size_t(audio.channels));
        data.end_of_input = 1;
        data.src_ratio = ratio;
        if (const int failure = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, audio.channels); failure != 0) {
            error = std::string("The sample rate conversion failed: ") + src_strerror(failure) + ".";
            return std::nullopt;
        }
        converted.resize(std::size_t(data.output_frames_gen) * std::size_t(audio.channels));
        audio.samples = std::move(converted);
    }
    audio.rate = device.rate;
    if (spreadsMono(audio, device)) {
        std::vector<float> stereo(audio.samples.size() * 2);
        for (std::size_t f = 0; f < audio.samples.size(); ++f) stereo[2 * f] = stereo[2 * f + 1] = audio.samples[f];
        audio.samples = std::move(stereo);
        audio.channels = 2;
    }
    return audio;
}

std::string describeFit(const WavAudio& audio, const DeviceFormat& device) {
    std::string text;
    if (audio.rate != device.rate)
        text = std::to_string(audio.rate) + " Hz converted to the device's " + std::to_string(device.rate) + " Hz";
    if (spreadsMono(audio, device)) text += std::string(text.empty() ? "" : "; ") + "mono sent to both channels";
    return text;
}

}  // namespace audiosim
