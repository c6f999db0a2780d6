// Test support: an AudioQueueService that records what each queue is given (format, device,
// buffer bytes, start, disposal), fails the call a test names, and can hand the audio to the
// device model so it is heard on the device's tap.
#pragma once

#include "audiosim/model/device_model.h"
#include "platform/audio_services.h"

#include <cstring>
#include <list>
#include <optional>

namespace korvane::test {

class RecordingQueueService final : public platform::audio::AudioQueueService {
public:
    using OSStatus = platform::audio::OSStatus;
    enum class Step { NewOutput, SetDevice, Allocate, Enqueue, Start };

    struct Record {
        platform::audio::AudioStreamBasicDescription format;
        std::string deviceUID;
        std::vector<float> enqueued;
        bool started = false;
        bool disposed = false;
    };

    // When set, started queues play into this model.
    audiosim::DeviceModel* model = nullptr;
    // The step that fails, and with which status; NewOutput with status 0 yields no queue.
    std::optional<std::pair<Step, OSStatus>> failure;
    // allocateBuffer succeeds but yields no buffer.
    bool noBuffer = false;
    std::list<Record> records;  // stable addresses

    OSStatus newOutput(const platform::audio::AudioStreamBasicDescription& format,
                       std::unique_ptr<platform::audio::AudioOutputQueue>& queue) override {
        queue.reset();
        if (failing(Step::NewOutput)) return failure->second;
        records.push_back(Record{format, {}, {}, false, false});
        queue = std::make_unique<Queue>(*this, records.back());
        return 0;
    }

    std::size_t liveQueues() const {
        std::size_t live = 0;
        for (const auto& record : records) live += !record.disposed;
        return live;
    }

private:
    bool failing(Step step) const { return failure && failure->first == step; }

    class Queue final : public platform::audio::AudioOutputQueue {
    public:
        Queue(RecordingQueueService& service, Record& record) : service_(service), record_(record) {}
        ~Queue() override { dispose(); }
        OSStatus setCurrentDevice(const std::string& uid) override {
            if (service_.failing(Step::SetDevice)) return service_.failure->second;
            record_.deviceUID = uid;
            return 0;
        }
        OSStatus allocateBuffer(std::uint32_t size, platform::audio::AudioQueueBuffer*& buffer) override {
            buffer = nullptr;
            if (service_.failing(Step::Allocate)) return service_.failure->second;
            if (service_.noBuffer) return 0;
            storage_.assign(size, std::byte{0});
            header_ = {size, storage_.data(), 0};
            buffer = &header_;
            return 0;
        }
        OSStatus enqueueBuffer(platform::audio::AudioQueueBuffer* buffer) override {
            if (service_.failing(Step::Enqueue)) return service_.failure->second;
            record_.enqueued.resize(buffer->mAudioDataByteSize / sizeof(float));
            std::memcpy(record_.enqueued.data(), buffer->mAudioData, buffer->mAudioDataByteSize);
            return 0;
        }
        OSStatus start() override {
            if (service_.failing(Step::Start)) return service_.failure->second;
            record_.started = true;
            if (service_.model)
                playback_ = service_.model->enqueuePlayback(record_.deviceUID, record_.format.mChannelsPerFrame,
                                                            record_.enqueued, 0, record_.format.mSampleRate);
            return 0;
        }
        OSStatus dispose() override {
            if (record_.disposed) return 0;
            record_.disposed = true;
            if (playback_ && service_.model) service_.model->cancelPlayback(playback_);
            return 0;
        }

    private:
        RecordingQueueService& service_;
        Record& record_;
        std::vector<std::byte> storage_;
        platform::audio::AudioQueueBuffer header_;
        std::uint64_t playback_ = 0;
    };
};

}  // namespace korvane::test
