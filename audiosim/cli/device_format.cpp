#include "audiosim/cli/device_format.h"

#include "audiosim/model/rate_conversion.h"

namespace audiosim {

namespace {

bool spreadsMono(const WavAudio& audio, const DeviceFormat& device) { return audio.channels == 1 && device.channels >= 2; }

}  // namespace

std::optional<WavAudio> fitToDevice(WavAudio audio, const DeviceFormat& device, std::string& error) {
    if (device.rate <= 0 || audio.rate <= 0 || audio.channels <= 0) {
        error = "The device's or the file's sample rate is unknown.";
        return std::nullopt;
    }
    if (audio.rate != device.rate) {
        const int rate = audio.rate;
        auto converted = convertRate(std::move(audio.samples), audio.channels, rate, device.rate, error, "A file");
        if (!converted) return std::nullopt;
        audio.samples = std::move(*converted);
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
