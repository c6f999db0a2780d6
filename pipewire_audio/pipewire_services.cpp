#include "pipewire_audio/pipewire_services.h"

#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <thread>

namespace korvane::pipewire_audio {

using namespace platform::audio;

namespace {

constexpr std::uint32_t kMaxChannels = 8;
constexpr std::uint32_t kMaxBufferBytes = 64u << 20;

class PipeWireOutputQueue final : public AudioOutputQueue, public ConnectionUser {
public:
    PipeWireOutputQueue(std::shared_ptr<GraphConnection> connection, const AudioStreamBasicDescription& format,
                        spa_audio_format sampleFormat)
        : connection_(std::move(connection)), format_(format), sampleFormat_(sampleFormat) {
        GraphConnection::Lock lock(*connection_);
        connection_->addUser(this);
    }
    ~PipeWireOutputQueue() override {
        GraphConnection::Lock lock(*connection_);
        release();
        connection_->removeUser(this);
    }

    OSStatus setCurrentDevice(const std::string& uid) override {
        GraphConnection::Lock lock(*connection_);
        if (disposed_) return kAudioHardwareIllegalOperationError;
        const bool sink = std::any_of(connection_->graph().nodes.begin(), connection_->graph().nodes.end(), [&](const auto& node) {
            const std::string* name = Graph::property(node.second.props, PW_KEY_NODE_NAME);
            const std::string* mediaClass = Graph::property(node.second.props, PW_KEY_MEDIA_CLASS);
            return name && *name == uid && mediaClass && *mediaClass == "Audio/Sink";
        });
        if (!sink) return connection_->connected() ? kAudioHardwareBadDeviceError : kAudioHardwareNotRunningError;
        target_ = uid;
        return kAudioHardwareNoError;
    }

    OSStatus allocateBuffer(std::uint32_t byteSize, AudioQueueBuffer*& buffer) override {
        buffer = nullptr;
        if (byteSize == 0 || byteSize > kMaxBufferBytes) return kAudioHardwareIllegalOperationError;
        GraphConnection::Lock lock(*connection_);
        if (disposed_) return kAudioHardwareIllegalOperationError;
        auto& owned = buffers_.emplace_back(std::make_unique<Owned>());
        owned->bytes.resize(byteSize);
        owned->buffer.mAudioDataBytesCapacity = byteSize;
        owned->buffer.mAudioData = owned->bytes.data();
        buffer = &owned->buffer;
        return kAudioHardwareNoError;
    }

    OSStatus enqueueBuffer(AudioQueueBuffer* buffer) override {
        GraphConnection::Lock lock(*connection_);
        const bool ours = std::any_of(buffers_.begin(), buffers_.end(), [&](const auto& o) { return &o->buffer == buffer; });
        if (disposed_ || !ours || buffer->mAudioDataByteSize > buffer->mAudioDataBytesCapacity ||
            buffer->mAudioDataByteSize % format_.mBytesPerFrame != 0)
            return kAudioHardwareIllegalOperationError;
        pending_.push_back({buffer, 0});
        return kAudioHardwareNoError;
    }

    OSStatus start() override {
        GraphConnection::Lock lock(*connection_);
        if (disposed_ || target_.empty()) return kAudioHardwareIllegalOperationError;
        if (stream_) return kAudioHardwareNoError;
        if (!connection_->connected()) return kAudioHardwareNotRunningError;
        static const pw_stream_events events = {.version = PW_VERSION_STREAM_EVENTS, .process = &onProcess};
        stream_ = pw_stream_new(connection_->core(), "KORVANE",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                  PW_KEY_MEDIA_ROLE, "Production", PW_KEY_TARGET_OBJECT, target_.c_str(),
                                                  PW_KEY_NODE_DONT_RECONNECT, "true", nullptr));
        if (!stream_) return kAudioHardwareUnspecifiedError;
        pw_stream_add_listener(stream_, &listener_, &events, this);
        spa_audio_info_raw info{};
        info.format = sampleFormat_;
        info.rate = std::uint32_t(format_.mSampleRate);
        info.channels = format_.mChannelsPerFrame;
        if (info.channels == 1) info.position[0] = SPA_AUDIO_CHANNEL_MONO;
        if (info.channels == 2) {
            info.position[0] = SPA_AUDIO_CHANNEL_FL;
            info.position[1] = SPA_AUDIO_CHANNEL_FR;
        }
        if (info.channels > 2) info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
        std::uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        if (pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                              pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1) < 0) {
            release();
            return kAudioHardwareUnspecifiedError;
        }
        return kAudioHardwareNoError;
    }

    OSStatus dispose() override {
        GraphConnection::Lock lock(*connection_);
        release();
        disposed_ = true;
        return kAudioHardwareNoError;
    }

    void connectionLost() override { release(); }

private:
    struct Owned {
        AudioQueueBuffer buffer;
        std::vector<std::byte> bytes;
    };
    struct Pending {
        AudioQueueBuffer* buffer;
        std::uint32_t played;
    };

    void release() {
        if (!stream_) return;
        spa_hook_remove(&listener_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }

    // The connection's loop thread, lock held: plays on from the pending buffers, then silence.
    static void onProcess(void* data) {
        auto* self = static_cast<PipeWireOutputQueue*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
        if (!buffer) return;
        spa_data& out = buffer->buffer->datas[0];
        if (!out.data) {
            pw_stream_queue_buffer(self->stream_, buffer);
            return;
        }
        const std::uint32_t stride = self->format_.mBytesPerFrame;
        std::uint32_t frames = out.maxsize / stride;
        if (buffer->requested > 0) frames = std::min<std::uint32_t>(frames, std::uint32_t(buffer->requested));
        auto* destination = static_cast<std::byte*>(out.data);
        std::uint32_t written = 0;
        while (written < frames * stride && !self->pending_.empty()) {
            Pending& next = self->pending_.front();
            const std::uint32_t count = std::min(frames * stride - written, next.buffer->mAudioDataByteSize - next.played);
            std::memcpy(destination + written, static_cast<const std::byte*>(next.buffer->mAudioData) + next.played, count);
            written += count;
            next.played += count;
            if (next.played == next.buffer->mAudioDataByteSize) self->pending_.pop_front();
        }
        std::memset(destination + written, 0, frames * stride - written);
        out.chunk->offset = 0;
        out.chunk->stride = std::int32_t(stride);
        out.chunk->size = frames * stride;
        pw_stream_queue_buffer(self->stream_, buffer);
    }

    std::shared_ptr<GraphConnection> connection_;
    const AudioStreamBasicDescription format_;
    const spa_audio_format sampleFormat_;
    std::string target_;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    std::vector<std::unique_ptr<Owned>> buffers_;
    std::deque<Pending> pending_;
    bool disposed_ = false;
};

// The sample format PipeWire calls this description's; UNKNOWN for one it cannot play.
spa_audio_format sampleFormatOf(const AudioStreamBasicDescription& format) {
    const std::uint32_t channels = format.mChannelsPerFrame;
    if (format.mFormatID != kAudioFormatLinearPCM || channels == 0 || channels > kMaxChannels ||
        format.mFramesPerPacket != 1 || !(format.mSampleRate >= 8000 && format.mSampleRate <= 384000) ||
        format.mBytesPerFrame != channels * format.mBitsPerChannel / 8 || format.mBytesPerPacket != format.mBytesPerFrame)
        return SPA_AUDIO_FORMAT_UNKNOWN;
    const bool bigEndian = format.mFormatFlags & kAudioFormatFlagIsBigEndian;
    if ((format.mFormatFlags & kAudioFormatFlagIsFloat) && format.mBitsPerChannel == 32)
        return bigEndian ? SPA_AUDIO_FORMAT_F32_BE : SPA_AUDIO_FORMAT_F32;
    if ((format.mFormatFlags & kAudioFormatFlagIsSignedInteger) && format.mBitsPerChannel == 16)
        return bigEndian ? SPA_AUDIO_FORMAT_S16_BE : SPA_AUDIO_FORMAT_S16;
    return SPA_AUDIO_FORMAT_UNKNOWN;
}

}  // namespace

OSStatus PipeWireQueueService::newOutput(const AudioStreamBasicDescription& format,
                                         std::unique_ptr<AudioOutputQueue>& queue) {
    queue.reset();
    const spa_audio_format sampleFormat = sampleFormatOf(format);
    if (sampleFormat == SPA_AUDIO_FORMAT_UNKNOWN) return kAudioDeviceUnsupportedFormatError;
    queue = std::make_unique<PipeWireOutputQueue>(connection_, format, sampleFormat);
    return kAudioHardwareNoError;
}

void PipeWireCapturePermission::requestAccess(std::function<void(bool granted)> completion) {
    std::thread([completion = std::move(completion)] { completion(true); }).detach();
}

}  // namespace korvane::pipewire_audio
