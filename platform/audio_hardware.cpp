#include "platform/audio_hardware.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform::audio {

namespace {
std::atomic<AudioHardware*> installed{nullptr};
}

AudioHardware& hardware() {
    AudioHardware* instance = installed.load(std::memory_order_acquire);
    if (!instance) {
        std::fputs("platform::audio::hardware() called before an instance was installed\n", stderr);
        std::abort();
    }
    return *instance;
}

AudioHardware* installHardware(AudioHardware* instance) {
    return installed.exchange(instance, std::memory_order_acq_rel);
}

AudioObjectID deviceForUID(AudioHardware& hardware, std::string_view uid) {
    const PropertyList qualifier{std::string(uid)};
    AudioObjectID device = 0;
    std::uint32_t size = sizeof device;
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyTranslateUIDToDevice, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    if (hardware.getPropertyData(kAudioObjectSystemObject, address, &qualifier, size, &device) != kAudioHardwareNoError ||
        size != sizeof device)
        return 0;
    return device;
}

std::string fourCCText(FourCharCode code) {
    std::string text(4, '?');
    for (int i = 0; i < 4; ++i) {
        const char c = char((code >> (24 - 8 * i)) & 0xFF);
        if (c >= 0x20 && c < 0x7F) text[std::size_t(i)] = c;
    }
    return text;
}

FourCharCode fourCCFromText(std::string_view text) {
    if (text.size() != 4) return 0;
    FourCharCode code = 0;
    for (const char c : text) code = (code << 8) | std::uint8_t(c);
    return code;
}

}  // namespace platform::audio
