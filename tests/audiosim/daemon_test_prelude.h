// What the tests over a real daemon share: one daemon per test (DaemonFixture), the client
// library, the names they use, and callbacks that count. For those test sources only: it brings the platform's audio
// names and the fixture's into namespace korvane.
#pragma once

#include "audiosim/client/remote_services.h"
#include "tests/support/daemon_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

namespace korvane {

using namespace platform::audio;
using namespace std::chrono_literals;
using audiosim::wire::Message;
using test::DaemonFixture;
using test::daemonStat;
using test::takeTap;
using test::waitUntil;

// Counts its calls in the std::atomic<std::uint64_t> it is given.
// Interleaved stereo 32-bit float at 48 kHz, as output queues take it.
constexpr AudioStreamBasicDescription kStereoFloat{48000.0, kAudioFormatLinearPCM,
                                                   kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32, 0};

inline OSStatus countCalls(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                           AudioBufferList*, const AudioTimeStamp*, void* context) {
    static_cast<std::atomic<std::uint64_t>*>(context)->fetch_add(1);
    return 0;
}

// A callback registered and started on a device; stopped and destroyed at the end.
struct Running {
    audiosim::RemoteHardware& hardware;
    AudioObjectID device;
    AudioDeviceIOProcID proc = nullptr;
    Running(audiosim::RemoteHardware& hardware, AudioObjectID device, AudioDeviceIOProc callback, void* context)
        : hardware(hardware), device(device) {
        EXPECT_EQ(hardware.createIOProcID(device, callback, context, proc), 0);
        EXPECT_EQ(hardware.startDevice(device, proc), 0);
    }
    ~Running() {
        hardware.stopDevice(device, proc);
        hardware.destroyIOProcID(device, proc);
    }
};

}  // namespace korvane
