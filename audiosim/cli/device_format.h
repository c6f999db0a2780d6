// Fitting a file's audio to the device that plays it: its sample rate converted to the device's
// (libsamplerate), and a mono file sent to both channels of a stereo or wider device.
#pragma once

#include "audiosim/cli/wav_file.h"

#include <optional>
#include <string>

namespace audiosim {

struct DeviceFormat {
    int rate = 0;
    int channels = 0;  // the device's output channels
};

// `audio` as the device should receive it: at `device.rate`, and with a mono file on both of
// the first two channels when the device has two or more. Nothing, with the reason in `error`,
// when the rates are too far apart to convert (more than a factor of 256) or the conversion
// fails. `audio` is returned unchanged when it already fits.
std::optional<WavAudio> fitToDevice(WavAudio audio, const DeviceFormat& device, std::string& error);

// One line that says what fitToDevice changes, or an empty string when it changes nothing.
std::string describeFit(const WavAudio& audio, const DeviceFormat& device);

}  // namespace audiosim
