#include "audiosim/client/callback_thread.h"

#include "platform/realtime_thread.h"

#include <chrono>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace audiosim {

using namespace platform::audio;

void (*CallbackThread::startHookForTesting)(const SharedCycle&) = nullptr;

CallbackThread::CallbackThread(int memoryFd, AudioObjectID device, AudioDeviceIOProc proc, void* clientData)
    : device_(device), proc_(proc), clientData_(clientData) {
    void* mapping = ::mmap(nullptr, kCycleMappingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, memoryFd, 0);
    ::close(memoryFd);
    if (mapping == MAP_FAILED) return;
    mapping_ = mapping;
    thread_ = std::thread([this] { run(); });
}

CallbackThread::~CallbackThread() {
    if (!mapping_) return;
    shared().shutdown.store(1, std::memory_order_release);
    futexWake(shared().sequence);
    thread_.join();
    ::munmap(mapping_, kCycleMappingBytes);
}

void CallbackThread::allow() { allowed_.store(true, std::memory_order_seq_cst); }

// The gate: the thread raises `inCallback_` and then reads `allowed_`; this lowers `allowed_` and
// then reads `inCallback_`. Sequentially consistent, one of the two sees the other's store, so
// either the thread skips the callback or this waits for it to return.
void CallbackThread::hold() {
    allowed_.store(false, std::memory_order_seq_cst);
    if (!mapping_ || std::this_thread::get_id() == thread_.get_id()) return;
    while (inCallback_.load(std::memory_order_seq_cst)) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// Real-time: after its start the loop allocates nothing and locks nothing; its one system call
// per cycle is the futex wait.
void CallbackThread::run() {
    pthread_setname_np(pthread_self(), "audiosim-io");
    platform::requestRealTimeScheduling(platform::kCallbackThreadPriority);
    SharedCycle& cycle = shared();
    if (startHookForTesting) startHookForTesting(cycle);
    // Start from what is done, not from what is announced: a cycle the daemon started before this
    // thread ran is still outstanding and must run, or the daemon waits for it forever.
    std::uint32_t seen = cycle.done.load(std::memory_order_acquire);
    char* base = static_cast<char*>(mapping_);
    alignas(AudioBufferList) std::byte inputStorage[audioBufferListSize(kMaxCycleBuffers)];
    alignas(AudioBufferList) std::byte outputStorage[audioBufferListSize(kMaxCycleBuffers)];
    auto* input = reinterpret_cast<AudioBufferList*>(inputStorage);
    auto* output = reinterpret_cast<AudioBufferList*>(outputStorage);
    for (;;) {
        if (cycle.shutdown.load(std::memory_order_acquire)) return;
        const std::uint32_t sequence = cycle.sequence.load(std::memory_order_acquire);
        if (sequence == seen) {
            futexWait(cycle.sequence, seen, 100'000'000);
            continue;
        }
        seen = sequence;
        const std::uint32_t frames = std::min(cycle.frames, kMaxCycleFrames);
        const auto layout = [&](AudioBufferList* list, std::uint32_t buffers, const std::uint32_t* channels,
                                std::size_t offset) {
            list->mNumberBuffers = std::min(buffers, kMaxCycleBuffers);
            for (std::uint32_t b = 0; b < list->mNumberBuffers; ++b) {
                const std::size_t bytes = std::size_t(channels[b]) * frames * sizeof(float);
                if (offset - (offset >= kCycleOutputOffset ? kCycleOutputOffset : kCycleInputOffset) + bytes > kCycleAreaBytes) {
                    list->mNumberBuffers = b;
                    break;
                }
                list->mBuffers[b] = {channels[b], std::uint32_t(bytes), base + offset};
                offset += bytes;
            }
        };
        layout(input, cycle.inputBuffers, cycle.inputChannels, kCycleInputOffset);
        layout(output, cycle.outputBuffers, cycle.outputChannels, kCycleOutputOffset);
        for (std::uint32_t b = 0; b < output->mNumberBuffers; ++b)
            std::memset(output->mBuffers[b].mData, 0, output->mBuffers[b].mDataByteSize);
        const AudioTimeStamp now{cycle.sampleTime, cycle.wakeTime.load(std::memory_order_relaxed)};
        inCallback_.store(true, std::memory_order_seq_cst);
        if (allowed_.load(std::memory_order_seq_cst)) proc_(device_, &now, input, &now, output, &now, clientData_);
        inCallback_.store(false, std::memory_order_seq_cst);
        cycle.done.store(sequence, std::memory_order_release);
    }
}

}  // namespace audiosim
