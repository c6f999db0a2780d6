// The client thread that runs one registered I/O callback, woken by the daemon once per cycle.
#pragma once

#include "audiosim/protocol/shared_cycle.h"
#include "platform/audio_types.h"

#include <thread>

namespace audiosim {

class CallbackThread {
public:
    // Takes over `memoryFd` (the cycle's shared memory). Starts the thread.
    CallbackThread(int memoryFd, platform::audio::AudioObjectID device, platform::audio::AudioDeviceIOProc proc,
                   void* clientData);
    ~CallbackThread();  // ends and joins the thread
    CallbackThread(const CallbackThread&) = delete;
    CallbackThread& operator=(const CallbackThread&) = delete;

    bool valid() const { return mapping_ != nullptr; }

    // Tests only: runs on each new callback thread before it looks at the cycle, so that a test
    // can hold the thread back until the daemon has started a cycle. Set it before the thread
    // starts.
    static void (*startHookForTesting)(const SharedCycle&);
    // Waits (at most about a second) until no cycle is in progress.
    void waitUntilIdle();

private:
    void run();
    SharedCycle& shared() { return *static_cast<SharedCycle*>(mapping_); }

    void* mapping_ = nullptr;
    platform::audio::AudioObjectID device_;
    platform::audio::AudioDeviceIOProc proc_;
    void* clientData_;
    std::thread thread_;
};

}  // namespace audiosim
