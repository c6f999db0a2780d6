// Driver telemetry: what the panel reads of the virtual device on every pass (system playback,
// gain, levels, activity, channel mode, rate, buffer size), the meters and peak display fed from
// it, and the two controls it writes (gain and channel mode).
#include "panel/audio_model.h"

#include "panel/model_support.h"
#include "platform/audio_hardware.h"
#include "shared/audio_device_inventory.h"
#include "shared/driver_contract.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

namespace korvane::panel {

using namespace platform::audio;

namespace {

constexpr double kMeterScaleDb = 60.0;

// The seven slots of a valid status, or nothing.
std::optional<std::array<double, driver::kStatusSlotCount>> statusSlots(const std::optional<PropertyList>& value) {
    const auto* slots = value ? value->array() : nullptr;
    if (!slots || slots->size() != driver::kStatusSlotCount) return std::nullopt;
    std::array<double, driver::kStatusSlotCount> numbers{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const auto number = (*slots)[i].real();
        if (!number) return std::nullopt;
        numbers[i] = *number;
    }
    return numbers;
}

double cleanLevel(double level) { return std::isfinite(level) && level > 0 ? level : 0.0; }

// The integer a number object answers: integral values as they are, reals truncated.
std::optional<std::int64_t> integerValue(const PropertyList& value) {
    if (const auto integer = value.integer()) return integer;
    const auto real = value.real();
    if (!real || !std::isfinite(*real) || std::fabs(*real) > 9.0e18) return std::nullopt;
    return std::int64_t(*real);
}

}  // namespace

std::optional<PropertyList> AudioModel::readDriverProperty(FourCharCode selector) const {
    PropertyList value;
    if (hardware().getPropertyObject(device_, globalAddress(selector), nullptr, value) != kAudioHardwareNoError)
        return std::nullopt;
    return value;
}

void AudioModel::resetTelemetry() {
    write(meters_, std::array<double, 4>{}, Property::meters);
    write(inputActive_, false, Property::inputActive);
    write(peakDisplay_, StereoPeakDisplay{}, Property::peakDisplay);
    lastWrite_ = -1;
    lastRead_ = -1;
    lastReadAt_ = -std::numeric_limits<double>::infinity();
}

void AudioModel::readTelemetry() {
    if (device_ == 0) {
        write(systemActive_, false, Property::systemActive);
        write(inputActive_, false, Property::inputActive);
        write(meters_, std::array<double, 4>{}, Property::meters);
        write(peakDisplay_, StereoPeakDisplay{}, Property::peakDisplay);
        return;
    }

    const AudioObjectID playback = support::defaultOutputDevice().value_or(0);
    bool throughListeningAggregate = false;
    if (playback != 0 && playback != device_) {
        PropertyList uid;
        if (hardware().getPropertyObject(playback, globalAddress(kAudioDevicePropertyDeviceUID), nullptr, uid) ==
                kAudioHardwareNoError &&
            uid.string())
            throughListeningAggregate = support::startsWith(*uid.string(), AudioDeviceInventory::kListeningAggregatePrefix);
    }
    write(systemActive_, playback == device_ || throughListeningAggregate, Property::systemActive);

    // A gain that is no finite number is not shown: the last good one stays.
    if (const auto value = readDriverProperty(driver::kGainSelector)) {
        if (const auto gain = value->real(); gain && std::isfinite(*gain)) write(gain_, *gain, Property::gain);
    }

    if (const auto slots = statusSlots(readDriverProperty(driver::kStatusSelector))) {
        const double written = (*slots)[driver::kPeakCounter];
        const double read = (*slots)[driver::kReadCounter];
        std::array<double, 4> levels{};
        if (written != lastWrite_)
            for (std::size_t i = 0; i < levels.size(); ++i) levels[i] = cleanLevel((*slots)[i]);
        peakDisplay_.update(levels, environment_.uptime.uptime());
        notify(Property::peakDisplay);
        for (std::size_t i = 0; i < levels.size(); ++i) setMeter(i, std::max(levels[i], kMeterDecay * meters_[i]));
        const double now = environment_.wallClock.secondsSinceReferenceDate();
        if (read != lastRead_ && lastRead_ >= 0) lastReadAt_ = now;
        write(inputActive_, now - lastReadAt_ < kInputActivityWindow, Property::inputActive);
        lastWrite_ = written;
        lastRead_ = read;
        statusSeen_ = true;
    } else {
        resetTelemetry();
        // A driver whose status vanishes may have vanished itself (the audio system restarted, or
        // the id now names another device): discover at the next pass instead of reading a dead
        // id for up to a second.
        if (std::exchange(statusSeen_, false)) discoveryTick_ = 0;
    }

    if (const auto value = readDriverProperty(driver::kChannelModeSelector); value && value->isNumber()) {
        if (const auto mode = integerValue(*value)) write(mono_, *mode == 1, Property::mono);
        write(modeSupported_, true, Property::modeSupported);
    } else {
        write(modeSupported_, false, Property::modeSupported);
    }

    double rate = 0;
    if (getProperty(device_, globalAddress(kAudioDevicePropertyNominalSampleRate), rate) == kAudioHardwareNoError)
        write(rate_, rate, Property::rate);
    std::uint32_t frames = 0;
    if (getProperty(device_, globalAddress(kAudioDevicePropertyBufferFrameSize), frames) == kAudioHardwareNoError)
        write(bufferFrames_, frames, Property::bufferFrames);
}

void AudioModel::setGain(double gainDb) {
    if (device_ == 0 || !std::isfinite(gainDb)) return;
    const double clamped = std::clamp(gainDb, driver::kMinimumGainDb, driver::kMaximumGainDb);
    if (const OSStatus status = driver::writeGain(device_, clamped); status != kAudioHardwareNoError) {
        setError("Could not change gain (" + std::to_string(status) + ").");
        return;
    }
    write(gain_, clamped, Property::gain);
    setError("");
}

void AudioModel::setMono(bool mono) {
    if (device_ == 0 || !modeSupported_) return;
    const auto mode = mono ? driver::ChannelMode::Mono : driver::ChannelMode::Stereo;
    if (const OSStatus status = driver::writeChannelMode(device_, mode); status != kAudioHardwareNoError) {
        setError("Could not change channel mode (" + std::to_string(status) + ").");
        return;
    }
    write(mono_, mono, Property::mono);
    setError("");
}

void AudioModel::resetPeaks() { write(peakDisplay_, StereoPeakDisplay{}, Property::peakDisplay); }

std::string AudioModel::levelText(double level) {
    if (!(level > 0) || !std::isfinite(level)) return "−∞";
    // Not printf: the program's locale may write a decimal comma.
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, 20.0 * std::log10(level), std::chars_format::fixed, 1);
    return std::string(text, result.ptr);
}

double AudioModel::meterFraction(double level) {
    if (!(level > 0) || !std::isfinite(level)) return 0;
    const double fraction = std::min((20.0 * std::log10(level) + kMeterScaleDb) / kMeterScaleDb, 1.0);
    return fraction < 0 ? 0 : fraction;
}

}  // namespace korvane::panel
