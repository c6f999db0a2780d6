#include "audiosim/daemon/remote_proc.h"

#include <algorithm>
#include <cstring>
#include <sys/mman.h>
#include <utility>
#include <unistd.h>

namespace audiosim {

using namespace platform::audio;

std::unique_ptr<RemoteProc> RemoteProc::create() {
    const int fd = ::memfd_create("audiosim-cycle", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (::ftruncate(fd, off_t(kCycleMappingBytes)) != 0) {
        ::close(fd);
        return nullptr;
    }
    void* mapping = ::mmap(nullptr, kCycleMappingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        ::close(fd);
        return nullptr;
    }
    new (mapping) SharedCycle();
    return std::unique_ptr<RemoteProc>(new RemoteProc(fd, mapping));
}

RemoteProc::~RemoteProc() {
    shutDown();
    ::munmap(mapping_, kCycleMappingBytes);
    ::close(fd_);
}

void RemoteProc::shutDown() {
    shared().shutdown.store(1, std::memory_order_release);
    shared().sequence.fetch_add(1, std::memory_order_release);
    futexWake(shared().sequence);
}

namespace {

// Copies a buffer list's data into a packed area, or back, within the area's bounds.
std::uint32_t layoutOf(const AudioBufferList* list, std::uint32_t* channels) {
    if (!list) return 0;
    const std::uint32_t buffers = std::min(list->mNumberBuffers, kMaxCycleBuffers);
    for (std::uint32_t b = 0; b < buffers; ++b) channels[b] = list->mBuffers[b].mNumberChannels;
    return buffers;
}

}  // namespace

OSStatus RemoteProc::render(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* input,
                            const AudioTimeStamp*, AudioBufferList* output, const AudioTimeStamp*, void* context) {
    auto* self = static_cast<RemoteProc*>(context);
    SharedCycle& shared = self->shared();
    const std::uint32_t sequence = shared.sequence.load(std::memory_order_relaxed);
    if (self->outstanding_) {
        if (shared.done.load(std::memory_order_acquire) != sequence) {
            self->xruns_.fetch_add(1, std::memory_order_relaxed);
            return kAudioHardwareNoError;  // silence; the client is still busy
        }
        // The previous cycle's output; buffers of the same layout as this cycle's. Silence when
        // that cycle belongs to an earlier run.
        std::size_t offset = 0;
        const float* area = self->area(kCycleOutputOffset);
        const bool stale = std::exchange(self->discardOutstanding_, false);
        for (std::uint32_t b = 0; !stale && output && b < std::min(output->mNumberBuffers, shared.outputBuffers); ++b) {
            AudioBuffer& buffer = output->mBuffers[b];
            const std::size_t bytes = std::min<std::size_t>(buffer.mDataByteSize, std::size_t(shared.outputChannels[b]) * shared.frames * 4);
            if (buffer.mData && offset + bytes <= kCycleAreaBytes) std::memcpy(buffer.mData, area + offset / 4, bytes);
            offset += std::size_t(shared.outputChannels[b]) * shared.frames * 4;
        }
        self->outstanding_ = false;
    }

    // This cycle's input and layout.
    const std::uint32_t frames = output && output->mNumberBuffers > 0 && output->mBuffers[0].mNumberChannels > 0
                                     ? output->mBuffers[0].mDataByteSize / (4 * output->mBuffers[0].mNumberChannels)
                                     : (input && input->mNumberBuffers > 0 && input->mBuffers[0].mNumberChannels > 0
                                            ? input->mBuffers[0].mDataByteSize / (4 * input->mBuffers[0].mNumberChannels)
                                            : 0);
    shared.frames = std::min(frames, kMaxCycleFrames);
    shared.inputBuffers = layoutOf(input, shared.inputChannels);
    shared.outputBuffers = layoutOf(output, shared.outputChannels);
    std::size_t offset = 0;
    float* area = self->area(kCycleInputOffset);
    for (std::uint32_t b = 0; b < shared.inputBuffers; ++b) {
        const AudioBuffer& buffer = input->mBuffers[b];
        const std::size_t bytes = std::size_t(shared.inputChannels[b]) * shared.frames * 4;
        if (offset + bytes > kCycleAreaBytes) {
            shared.inputBuffers = b;
            break;
        }
        if (buffer.mData)
            std::memcpy(area + offset / 4, buffer.mData, std::min<std::size_t>(bytes, buffer.mDataByteSize));
        else
            std::memset(area + offset / 4, 0, bytes);
        offset += bytes;
    }
    shared.sampleTime = now ? now->mSampleTime : 0;
    shared.wakeTime.store(monotonicNanoseconds(), std::memory_order_relaxed);
    shared.sequence.store(sequence + 1, std::memory_order_release);
    futexWake(shared.sequence);
    self->outstanding_ = true;
    return kAudioHardwareNoError;
}

}  // namespace audiosim
