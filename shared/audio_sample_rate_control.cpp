#include "shared/audio_sample_rate_control.h"

#include "platform/audio_hardware.h"

#include <charconv>
#include <cmath>
#include <vector>

namespace korvane::AudioSampleRateControl {

using namespace platform::audio;

namespace {

constexpr AudioObjectPropertyAddress kNominalRate{kAudioDevicePropertyNominalSampleRate,
                                                  kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
constexpr AudioObjectPropertyAddress kAvailableRates{kAudioDevicePropertyAvailableNominalSampleRates,
                                                     kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};

Unexpected<Failure> fail(std::string message) { return Unexpected{Failure{std::move(message)}}; }

}  // namespace

std::string kilohertzText(double hertz) {
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, hertz / 1000.0, std::chars_format::fixed);
    std::string result = error == std::errc() ? std::string(text, end) : std::to_string(hertz / 1000.0);
    if (result.find('.') == std::string::npos) result += ".0";
    return result;
}

Expected<void, Failure> match(const AudioEndpoint& korvane, const AudioEndpoint& reference,
                              const platform::Pause& pause) {
    const double target = reference.nominalRate;
    if (!std::isfinite(target) || target <= 0) return fail("Could not read the selected device’s sample rate.");
    if (std::fabs(korvane.nominalRate - target) < kTolerance) return {};

    std::uint32_t size = 0;
    if (hardware().getPropertyDataSize(korvane.id, kAvailableRates, nullptr, size) != kAudioHardwareNoError ||
        size == 0)
        return fail("Could not read KORVANE’s supported sample rates.");
    std::vector<AudioValueRange> ranges(size / sizeof(AudioValueRange));
    size = std::uint32_t(ranges.size() * sizeof(AudioValueRange));
    const bool read =
        hardware().getPropertyData(korvane.id, kAvailableRates, nullptr, size, ranges.data()) == kAudioHardwareNoError;
    ranges.resize(read ? size / sizeof(AudioValueRange) : 0);
    bool supported = false;
    for (const auto& range : ranges) {
        if (range.mMinimum <= target && target <= range.mMaximum) {
            supported = true;
            break;
        }
    }
    if (!supported)
        return fail("The selected device uses " + kilohertzText(target) +
                    " kHz, which the installed KORVANE driver does not support. Install the updated driver or "
                    "choose a supported device rate.");

    bool settable = false;
    if (hardware().isPropertySettable(korvane.id, kNominalRate, settable) != kAudioHardwareNoError || !settable)
        return fail("KORVANE’s sample rate cannot be changed while another app controls it. Stop audio in your DAW "
                    "and try again.");
    if (const OSStatus status = setProperty(korvane.id, kNominalRate, target); status != kAudioHardwareNoError)
        return fail("Could not match KORVANE’s sample rate (audio error " + std::to_string(status) + ").");

    for (int poll = 0; poll < kConfirmationPolls; ++poll) {
        double rate = 0;
        if (getProperty(korvane.id, kNominalRate, rate) == kAudioHardwareNoError && std::fabs(rate - target) < kTolerance)
            return {};
        pause(kPollInterval);
    }
    return fail("KORVANE did not confirm the requested sample rate. Stop audio in your DAW and try again.");
}

}  // namespace korvane::AudioSampleRateControl
