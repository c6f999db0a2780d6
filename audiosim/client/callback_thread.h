// The client thread that runs one registered I/O callback, woken by the daemon once per cycle.
#pragma once

#include "audiosim/protocol/shared_cycle.h"
#include "platform/audio_types.h"

#include <atomic>
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

    // Lets the daemon's cycles reach the callback; call it before the device starts.
    void allow();
    // When this returns the callback is not running and does not run again until `allow`: a
    // cycle that has not reached it is answered with silence, and one in progress is waited for
    // (however long the callback takes). Called from the callback itself, it does not wait.
    void hold();

private:
    void run();
    SharedCycle& shared() { return *static_cast<SharedCycle*>(mapping_); }

    void* mapping_ = nullptr;
    platform::audio::AudioObjectID device_;
    platform::audio::AudioDeviceIOProc proc_;
    void* clientData_;
    std::atomic<bool> allowed_{false};
    std::atomic<bool> inCallback_{false};  // the thread has passed the gate and may be calling
    std::thread thread_;
};

}  // namespace audiosim
