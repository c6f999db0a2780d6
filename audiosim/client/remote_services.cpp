#include "audiosim/client/remote_services.h"

#include "audiosim/protocol/operations.h"

#include <cstring>
#include <list>

namespace audiosim {

using namespace platform::audio;
using wire::Message;
using wire::statusOf;

namespace {

constexpr std::size_t kChunkBytes = 256 * 1024;
constexpr std::uint32_t kNonInterleaved = 1u << 5;

class RemoteOutputQueue final : public AudioOutputQueue {
public:
    RemoteOutputQueue(std::shared_ptr<DaemonConnection> connection, std::uint32_t channels, double rate)
        : connection_(std::move(connection)), channels_(channels), rate_(rate) {}
    ~RemoteOutputQueue() override { dispose(); }

    OSStatus setCurrentDevice(const std::string& deviceUID) override {
        if (disposed_) return kAudioHardwareIllegalOperationError;
        // The device must exist now; the platform checks the UID when it is set.
        const auto reply = connection_->call(
            Message{{"op", op::kGet}, {"object", kAudioObjectSystemObject},
                    {"address", wire::toMessage({kAudioHardwarePropertyTranslateUIDToDevice, kAudioObjectPropertyScopeGlobal, 0})},
                    {"qualifier", deviceUID}, {"capacity", 4}});
        if (const OSStatus status = statusOf(reply); status != 0) return status;
        const auto* data = wire::binaryField(*reply, "data");
        AudioObjectID device = 0;
        if (data && data->size() == sizeof device) std::memcpy(&device, data->data(), sizeof device);
        if (device == 0) return kAudioHardwareBadDeviceError;
        deviceUID_ = deviceUID;
        return 0;
    }

    OSStatus allocateBuffer(std::uint32_t byteSize, AudioQueueBuffer*& buffer) override {
        buffer = nullptr;
        if (disposed_ || byteSize == 0 || byteSize > (64u << 20)) return kAudioHardwareIllegalOperationError;
        auto& storage = buffers_.emplace_back(Storage{std::vector<std::byte>(byteSize), {}});
        storage.header = {byteSize, storage.bytes.data(), 0};
        buffer = &storage.header;
        return 0;
    }

    OSStatus enqueueBuffer(AudioQueueBuffer* buffer) override {
        if (disposed_ || !buffer || buffer->mAudioDataByteSize > buffer->mAudioDataBytesCapacity ||
            buffer->mAudioDataByteSize % (4 * channels_) != 0)
            return kAudioHardwareIllegalOperationError;
        const auto* bytes = static_cast<const std::uint8_t*>(buffer->mAudioData);
        enqueued_.insert(enqueued_.end(), bytes, bytes + buffer->mAudioDataByteSize);
        return 0;
    }

    OSStatus start() override {
        if (disposed_ || deviceUID_.empty()) return kAudioHardwareIllegalOperationError;
        for (std::size_t offset = 0; offset < enqueued_.size(); offset += kChunkBytes) {
            const std::size_t size = std::min(kChunkBytes - kChunkBytes % (4 * channels_), enqueued_.size() - offset);
            Message request{{"op", op::kPlay},
                            {"uid", deviceUID_},
                            {"channels", channels_},
                            {"rate", rate_},
                            {"data", Message::binary(std::vector<std::uint8_t>(enqueued_.begin() + std::ptrdiff_t(offset),
                                                                               enqueued_.begin() + std::ptrdiff_t(offset + size)))}};
            const std::uint64_t playback = currentPlayback();
            if (playback) request["append"] = playback;
            const auto reply = playback ? connection_->callOver(playbackGeneration_, std::move(request))
                                        : connection_->call(std::move(request));
            if (const OSStatus status = statusOf(reply); status != 0) return status;
            playback_ = wire::unsignedField(*reply, "playback").value_or(0);
            playbackGeneration_ = connection_->generation();
        }
        enqueued_.clear();
        return 0;
    }

    OSStatus dispose() override {
        if (disposed_) return 0;
        disposed_ = true;
        if (const auto playback = currentPlayback())
            connection_->callOver(playbackGeneration_, Message{{"op", op::kStopPlayback}, {"playback", playback}});
        return 0;
    }

private:
    // The playback started, unless it went with a connection that broke (its number may name
    // another playback of the next daemon, so requests that name it go over its connection only).
    std::uint64_t currentPlayback() const { return playbackGeneration_ == connection_->generation() ? playback_ : 0; }

    struct Storage {
        std::vector<std::byte> bytes;
        AudioQueueBuffer header;
    };
    std::shared_ptr<DaemonConnection> connection_;
    std::uint32_t channels_;
    double rate_;  // the queue's own rate; the daemon converts it to the device's
    std::string deviceUID_;
    std::list<Storage> buffers_;  // stable addresses
    std::vector<std::uint8_t> enqueued_;
    std::uint64_t playback_ = 0;
    std::uint64_t playbackGeneration_ = 0;
    bool disposed_ = false;
};

}  // namespace

OSStatus RemoteQueueService::newOutput(const AudioStreamBasicDescription& format, std::unique_ptr<AudioOutputQueue>& queue) {
    queue.reset();
    const std::uint32_t channels = format.mChannelsPerFrame;
    if (format.mFormatID != kAudioFormatLinearPCM || (format.mFormatFlags & kAudioFormatFlagIsFloat) == 0 ||
        (format.mFormatFlags & (kAudioFormatFlagIsBigEndian | kNonInterleaved)) != 0 || format.mBitsPerChannel != 32 ||
        channels == 0 || channels > 64 || format.mBytesPerFrame != 4 * channels || format.mFramesPerPacket != 1 ||
        !(format.mSampleRate > 0))
        return kAudioFormatUnsupportedDataFormatError;
    queue = std::make_unique<RemoteOutputQueue>(connection_, channels, format.mSampleRate);
    return 0;
}

// One prompt: it asks over a connection of its own, so that the other calls go on while the
// person at the computer decides, and so that the service can end the wait when it goes.
struct RemoteCapturePermission::Prompt {
    std::mutex mutex;
    bool abandoned = false;  // the service is going: the answer goes nowhere
    bool finished = false;  // the thread is about to end
    std::shared_ptr<DaemonConnection> connection;
    std::thread thread;
};

RemoteCapturePermission::~RemoteCapturePermission() {
    std::lock_guard lock(mutex_);
    for (auto& prompt : prompts_) {
        {
            std::lock_guard promptLock(prompt->mutex);
            prompt->abandoned = true;
            if (prompt->connection) prompt->connection->cancel();
        }
        prompt->thread.join();
    }
}

CaptureAuthorization RemoteCapturePermission::status() {
    const auto reply = connection_->call(Message{{"op", op::kPermissionStatus}});
    const auto value = reply && statusOf(reply) == 0 ? wire::integerField(*reply, "value") : std::nullopt;
    if (!value || *value < 0 || *value > 3) return CaptureAuthorization::Unavailable;
    return CaptureAuthorization(*value);
}

void RemoteCapturePermission::requestAccess(std::function<void(bool granted)> completion) {
    auto prompt = std::make_shared<Prompt>();
    std::lock_guard lock(mutex_);
    // Threads of answered prompts are done; join them so that they do not pile up.
    std::erase_if(prompts_, [](const std::shared_ptr<Prompt>& p) {
        bool finished = false;
        {
            std::lock_guard promptLock(p->mutex);
            finished = p->finished;
        }
        if (finished) p->thread.join();
        return finished;
    });
    prompt->thread = std::thread([prompt, completion = std::move(completion)] {
        std::string error;
        std::shared_ptr<DaemonConnection> connection = DaemonConnection::open(error);
        {
            std::lock_guard promptLock(prompt->mutex);
            if (prompt->abandoned) return;
            prompt->connection = connection;
        }
        // The answer may take as long as the person at the computer needs: a minute at most here.
        const auto reply = connection ? connection->call(Message{{"op", op::kPermissionRequest}}, std::chrono::seconds(65))
                                      : std::nullopt;
        bool abandoned = false;
        {
            std::lock_guard promptLock(prompt->mutex);
            abandoned = prompt->abandoned;
        }
        if (!abandoned) completion(reply && reply->value("granted", false));
        std::lock_guard promptLock(prompt->mutex);
        prompt->finished = true;
    });
    prompts_.push_back(std::move(prompt));
}

}  // namespace audiosim
