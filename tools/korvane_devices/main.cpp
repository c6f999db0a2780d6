// korvane-devices: lists the computer's audio devices in display order and marks those that can
// serve as a listening output: those of the audio system KORVANE would use (PipeWire or the
// audiosim daemon), or of a simulated machine description read in process with --config.
#include "audiosim/model/device_model.h"
#include "shared/audio_device_inventory.h"
#include "system/audio_system.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int usage() {
    std::fputs("usage: korvane-devices [--config MACHINE.json]\n", stderr);
    return 2;
}

int list() {
    using namespace platform::audio;
    const auto endpoints = korvane::AudioDeviceInventory::enumerate();
    if (!endpoints) {
        std::fprintf(stderr, "Could not read audio devices (%d).\n", endpoints.error().status);
        return 1;
    }
    AudioObjectID defaultOutput = 0;
    getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), defaultOutput);

    std::printf("%-4s %-22s %-26s %-4s %3s %4s %9s  %s\n", "ID", "NAME", "UID", "TRAN", "IN", "OUT", "RATE",
                "LISTENING OUTPUT");
    for (const auto& e : *endpoints) {
        const bool usable = korvane::AudioDeviceInventory::isUsableOutput(e, *endpoints, 0);
        std::printf("%-4u %-22s %-26s %-4s %3d %4d %9.0f  %s%s\n", e.id, e.name.c_str(), e.uid.c_str(),
                    platform::audio::fourCCText(e.transport).c_str(), e.inputChannels, e.outputChannels, e.nominalRate,
                    usable ? "yes" : "-", e.id == defaultOutput ? " (default output)" : "");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace platform::audio;
    std::string config;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc)
            config = argv[++i];
        else
            return usage();
    }

    if (config.empty()) {
        std::string error;
        auto system = korvane::system::connectAudioSystem(error);
        if (!system) {
            std::fprintf(stderr, "korvane-devices: %s\n", error.c_str());
            return 1;
        }
        std::printf("audio system: %s\n", system->kind == korvane::system::AudioSystemKind::PipeWire ? "PipeWire" : "audiosim");
        ScopedHardware installed(*system->hardware);
        return list();
    }
    try {
        platform::SystemUptimeClock clock;
        audiosim::DeviceModel model(audiosim::loadMachine(config), clock);
        auto client = model.connect();
        ScopedHardware installed(*client);
        return list();
    } catch (const audiosim::MachineError& error) {
        std::fprintf(stderr, "korvane-devices: %s\n", error.what());
        return 1;
    }
}
