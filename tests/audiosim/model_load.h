// Test support for the device model's clock thread: a machine with short cycles, waiting for a
// condition with a deadline, and a thread that keeps the control side busy meanwhile.
#pragma once

#include "audiosim/model/device_model.h"
#include "platform/audio_hardware.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace audiosim::test {

// The built-in machine with every device at `frames` frames a cycle, so that a test sees many
// cycles soon.
inline MachineSpec shortCycleMachine(std::uint32_t frames = 64) {
    MachineSpec machine = builtinMachine();
    for (auto& device : machine.devices) device.bufferFrames = frames;
    return machine;
}

// Polls `condition` until it holds; false, and a test failure naming `what`, when it still does
// not after `seconds`, a bound against hanging however loaded the machine is.
template <class Condition>
bool waitFor(Condition condition, const char* what, double seconds = 20) {
    if (korvane::test::waitUntil(condition, std::chrono::milliseconds(std::int64_t(seconds * 1000)))) return true;
    ADD_FAILURE() << "timed out waiting for " << what;
    return false;
}

// Counts its cycles.
inline platform::audio::OSStatus countCycles(platform::audio::AudioObjectID, const platform::audio::AudioTimeStamp*,
                                             const platform::audio::AudioBufferList*,
                                             const platform::audio::AudioTimeStamp*, platform::audio::AudioBufferList*,
                                             const platform::audio::AudioTimeStamp*, void* cycles) {
    static_cast<std::atomic<std::uint64_t>*>(cycles)->fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// A thread with its own client that, until destroyed, does what clients do to a running machine:
// lists the devices with their names and stream layouts, reads KORVANE's telemetry and writes its
// gain, takes a tap, and starts and stops a callback of its own on the HDMI display, so that the
// clock thread keeps getting new plans.
class RequestHammer {
public:
    explicit RequestHammer(DeviceModel& model) : model_(model), client_(model.connect()) {
        thread_ = std::thread([this] { run(); });
    }
    ~RequestHammer() {
        running_ = false;
        thread_.join();
    }

    std::uint64_t rounds() const { return rounds_.load(); }
    std::uint64_t ownCycles() const { return cycles_.load(); }

private:
    void run() {
        using namespace platform::audio;
        const AudioObjectID hdmi = model_.deviceId("HDMIDisplay:1");
        const AudioObjectID korvane = model_.deviceId(kKorvaneDeviceUID);
        AudioDeviceIOProcID proc = nullptr;
        client_->createIOProcID(hdmi, &countCycles, &cycles_, proc);
        for (std::uint64_t round = 0; running_; ++round) {
            AudioObjectID ids[32] = {};
            std::uint32_t size = sizeof ids;
            client_->getPropertyData(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices), nullptr, size, ids);
            for (std::uint32_t i = 0; i < size / sizeof(AudioObjectID); ++i) {
                PropertyList name;
                client_->getPropertyObject(ids[i], globalAddress(kAudioObjectPropertyName), nullptr, name);
                AudioBuffer layout[9] = {};
                std::uint32_t layoutSize = sizeof layout;
                client_->getPropertyData(ids[i], {kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeOutput, 0},
                                         nullptr, layoutSize, layout);
            }
            PropertyList telemetry;
            client_->getPropertyObject(korvane, globalAddress(fourCC("kqst")), nullptr, telemetry);
            client_->setPropertyObject(korvane, globalAddress(fourCC("kqgd")), PropertyList(double(round % 7) - 3));
            model_.takeOutputTap("HDMIDisplay:1");
            if (round % 2 == 0)
                client_->startDevice(hdmi, proc);
            else
                client_->stopDevice(hdmi, proc);
            rounds_.fetch_add(1);
        }
        client_->stopDevice(hdmi, proc);
        client_->destroyIOProcID(hdmi, proc);
    }

    DeviceModel& model_;
    std::unique_ptr<platform::audio::AudioHardware> client_;
    std::atomic<bool> running_{true};
    std::atomic<std::uint64_t> rounds_{0};
    std::atomic<std::uint64_t> cycles_{0};
    std::thread thread_;
};

}  // namespace audiosim::test
