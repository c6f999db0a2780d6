// The daemon's stand-in for a client's I/O callback: registered in the device model like any
// callback, it hands each cycle's input to the client's callback thread through shared memory
// and returns the output the client produced for the previous cycle.
#pragma once

#include "audiosim/protocol/shared_cycle.h"
#include "platform/audio_types.h"

#include <atomic>
#include <memory>

namespace audiosim {

class RemoteProc {
public:
    // Creates the shared memory; null when the system refuses.
    static std::unique_ptr<RemoteProc> create();
    ~RemoteProc();
    RemoteProc(const RemoteProc&) = delete;
    RemoteProc& operator=(const RemoteProc&) = delete;

    int memoryFd() const { return fd_; }
    std::uint64_t xruns() const { return xruns_.load(std::memory_order_relaxed); }
    // Tells the client's thread that the callback is gone.
    void shutDown();
    // The model no longer calls `render` (stopDevice returned). A cycle still outstanding belongs
    // to the run that ended: when the device starts the callback again, that cycle's output is
    // dropped rather than played as the new run's first buffer.
    void stopped() { discardOutstanding_ = outstanding_; }

    // The model's clock thread. Real-time: copies, one futex wake, no allocation, no lock. When
    // the client has not finished the previous cycle, counts an xrun, plays silence and does not
    // start another cycle.
    static platform::audio::OSStatus render(platform::audio::AudioObjectID device,
                                            const platform::audio::AudioTimeStamp* now,
                                            const platform::audio::AudioBufferList* input,
                                            const platform::audio::AudioTimeStamp* inputTime,
                                            platform::audio::AudioBufferList* output,
                                            const platform::audio::AudioTimeStamp* outputTime, void* context);

private:
    RemoteProc(int fd, void* mapping) : fd_(fd), mapping_(mapping) {}
    SharedCycle& shared() { return *static_cast<SharedCycle*>(mapping_); }
    float* area(std::size_t offset) { return reinterpret_cast<float*>(static_cast<char*>(mapping_) + offset); }

    int fd_;
    void* mapping_;
    // The clock thread's, and the control side's only while the model does not call `render`:
    // the model's plan exchange orders the two.
    bool outstanding_ = false;  // a cycle was started and its output not yet collected
    bool discardOutstanding_ = false;  // that cycle was started before the callback was stopped
    std::atomic<std::uint64_t> xruns_{0};
};

}  // namespace audiosim
