#include "audiosim/client/remote_hardware.h"

#include "audiosim/client/callback_thread.h"
#include "audiosim/protocol/operations.h"

#include <cstring>
#include <unistd.h>

namespace audiosim {

using namespace platform::audio;
using wire::Message;
using wire::kMaxDataBytes;
using wire::statusOf;

namespace {

Message propertyRequest(const char* op, AudioObjectID object, const AudioObjectPropertyAddress& address,
                        const PropertyList* qualifier = nullptr) {
    Message request{{"op", op}, {"object", object}, {"address", wire::toMessage(address)}};
    if (qualifier) request["qualifier"] = wire::toMessage(*qualifier);
    return request;
}

std::uint64_t handleOf(AudioDeviceIOProcID procID) { return std::uint64_t(reinterpret_cast<std::uintptr_t>(procID)); }

}  // namespace

RemoteHardware::RemoteHardware(std::shared_ptr<DaemonConnection> connection)
    : connection_(std::move(connection)), knownGeneration_(connection_->generation()) {}

RemoteHardware::~RemoteHardware() {
    std::lock_guard lock(callbacksMutex_);
    callbacks_.clear();
}

std::optional<Message> RemoteHardware::call(Message request, int* fd) {
    auto reply = connection_->call(std::move(request), fd);
    forgetEarlierConnections();
    return reply;
}

std::optional<Message> RemoteHardware::callAbout(const Callback& callback, Message request) {
    auto reply = connection_->callOver(callback.generation, std::move(request));
    forgetEarlierConnections();
    return reply;
}

void RemoteHardware::forgetEarlierConnections() {
    const std::uint64_t generation = connection_->generation();
    if (knownGeneration_.exchange(generation, std::memory_order_acq_rel) == generation) return;
    std::vector<std::shared_ptr<CallbackThread>> gone;
    {
        std::lock_guard lock(callbacksMutex_);
        for (auto it = callbacks_.begin(); it != callbacks_.end();) {
            if (it->second.generation == generation) {
                ++it;
                continue;
            }
            gone.push_back(std::move(it->second.thread));
            it = callbacks_.erase(it);
        }
    }
    // Joined outside the lock: a callback in progress finishes first.
}

std::optional<RemoteHardware::Callback> RemoteHardware::callbackFor(AudioDeviceIOProcID procID) {
    forgetEarlierConnections();
    std::lock_guard lock(callbacksMutex_);
    const auto it = callbacks_.find(handleOf(procID));
    if (it == callbacks_.end()) return std::nullopt;
    return it->second;
}

bool RemoteHardware::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    const auto reply = call(propertyRequest(op::kHas, object, address));
    return statusOf(reply) == 0 && reply->value("value", false);
}

OSStatus RemoteHardware::isPropertySettable(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            bool& settable) {
    settable = false;
    const auto reply = call(propertyRequest(op::kSettable, object, address));
    const OSStatus status = statusOf(reply);
    if (status == 0) settable = reply->value("value", false);
    return status;
}

OSStatus RemoteHardware::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                             const PropertyList* qualifier, std::uint32_t& size) {
    size = 0;
    const auto reply = call(propertyRequest(op::kSize, object, address, qualifier));
    const OSStatus status = statusOf(reply);
    if (status == 0) size = std::uint32_t(wire::unsignedField(*reply, "size").value_or(0));
    return status;
}

OSStatus RemoteHardware::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         const PropertyList* qualifier, std::uint32_t& ioSize, void* data) {
    Message request = propertyRequest(op::kGet, object, address, qualifier);
    request["capacity"] = std::min(ioSize, kMaxDataBytes);
    const std::uint32_t capacity = ioSize;
    ioSize = 0;
    const auto reply = call(std::move(request));
    const OSStatus status = statusOf(reply);
    if (status != 0) return status;
    const auto* bytes = wire::binaryField(*reply, "data");
    if (!bytes || bytes->size() > capacity) return kAudioHardwareBadPropertySizeError;
    if (!bytes->empty()) std::memcpy(data, bytes->data(), bytes->size());
    ioSize = std::uint32_t(bytes->size());
    return 0;
}

OSStatus RemoteHardware::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         std::uint32_t size, const void* data) {
    if (size > kMaxDataBytes || (size > 0 && !data)) return kAudioHardwareBadPropertySizeError;
    Message request = propertyRequest(op::kSet, object, address);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    request["data"] = Message::binary(std::vector<std::uint8_t>(bytes, bytes + size));
    return statusOf(call(std::move(request)));
}

OSStatus RemoteHardware::getPropertyObject(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                           const PropertyList* qualifier, PropertyList& value) {
    value = PropertyList();
    const auto reply = call(propertyRequest(op::kGetObject, object, address, qualifier));
    const OSStatus status = statusOf(reply);
    if (status != 0) return status;
    const auto field = reply->find("value");
    auto converted = field != reply->end() ? wire::toPropertyList(*field) : std::nullopt;
    if (!converted) return kAudioHardwareUnspecifiedError;
    value = std::move(*converted);
    return 0;
}

OSStatus RemoteHardware::setPropertyObject(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                           const PropertyList& value) {
    Message request = propertyRequest(op::kSetObject, object, address);
    request["value"] = wire::toMessage(value);
    return statusOf(call(std::move(request)));
}

OSStatus RemoteHardware::createAggregateDevice(const PropertyList& description, AudioObjectID& device) {
    device = 0;
    const auto reply = call(Message{{"op", op::kCreateAggregate}, {"description", wire::toMessage(description)}});
    const OSStatus status = statusOf(reply);
    if (status == 0) device = AudioObjectID(wire::unsignedField(*reply, "device").value_or(0));
    return status;
}

OSStatus RemoteHardware::destroyAggregateDevice(AudioObjectID device) {
    return statusOf(call(Message{{"op", op::kDestroyAggregate}, {"device", device}}));
}

OSStatus RemoteHardware::createIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                                        AudioDeviceIOProcID& procID) {
    procID = nullptr;
    if (!proc) return kAudioHardwareIllegalOperationError;
    int memoryFd = -1;
    const auto reply = call(Message{{"op", op::kCreateProc}, {"device", device}}, &memoryFd);
    const std::uint64_t generation = connection_->generation();
    const OSStatus status = statusOf(reply);
    const auto handle = status == 0 ? wire::unsignedField(*reply, "proc") : std::nullopt;
    if (status != 0 || !handle || memoryFd < 0) {
        if (memoryFd >= 0) ::close(memoryFd);
        return status != 0 ? status : kAudioHardwareUnspecifiedError;
    }
    auto thread = std::make_shared<CallbackThread>(memoryFd, device, proc, clientData);
    if (!thread->valid()) {
        call(Message{{"op", op::kDestroyProc}, {"device", device}, {"proc", *handle}});
        return kAudioHardwareUnspecifiedError;
    }
    std::lock_guard lock(callbacksMutex_);
    const std::uint64_t ours = nextHandle_++;
    callbacks_[ours] = {generation, *handle, std::move(thread)};
    procID = reinterpret_cast<AudioDeviceIOProcID>(std::uintptr_t(ours));
    return 0;
}

// Whatever the daemon answers, the callback is gone when this returns: an error (a wrong device,
// no answer) must not leave it running on the caller's state.
OSStatus RemoteHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
    const auto callback = callbackFor(procID);
    if (!callback) return kAudioHardwareIllegalOperationError;
    callback->thread->hold();
    const OSStatus status =
        statusOf(callAbout(*callback, Message{{"op", op::kDestroyProc}, {"device", device}, {"proc", callback->daemonHandle}}));
    std::lock_guard lock(callbacksMutex_);
    callbacks_.erase(handleOf(procID));
    return status;
}

OSStatus RemoteHardware::startDevice(AudioObjectID device, AudioDeviceIOProcID procID) {
    const auto callback = callbackFor(procID);
    if (!callback) return kAudioHardwareIllegalOperationError;
    callback->thread->allow();
    const OSStatus status =
        statusOf(callAbout(*callback, Message{{"op", op::kStart}, {"device", device}, {"proc", callback->daemonHandle}}));
    if (status != 0) callback->thread->hold();  // not started, as far as the caller knows
    return status;
}

// Whatever the daemon answers, the callback does not run once this has returned, so that its
// data may be freed: a cycle in progress here is waited for, and later ones are not passed on.
OSStatus RemoteHardware::stopDevice(AudioObjectID device, AudioDeviceIOProcID procID) {
    const auto callback = callbackFor(procID);
    if (!callback) return kAudioHardwareIllegalOperationError;
    const OSStatus status =
        statusOf(callAbout(*callback, Message{{"op", op::kStop}, {"device", device}, {"proc", callback->daemonHandle}}));
    callback->thread->hold();
    return status;
}

}  // namespace audiosim
