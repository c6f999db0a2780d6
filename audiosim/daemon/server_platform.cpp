// The daemon's platform operations: each request is one call of the platform audio interface on
// the connection's own client of the device model.
#include "audiosim/daemon/connection.h"

namespace audiosim {

using namespace platform::audio;
using wire::Message;
using wire::kMaxDataBytes;
using wire::statusOnly;

namespace {

bool isDefaultOrVolume(const AudioObjectPropertyAddress& address) {
    return address.mSelector == kAudioHardwarePropertyDefaultOutputDevice ||
           address.mSelector == kAudioHardwarePropertyDefaultSystemOutputDevice ||
           address.mSelector == kAudioDevicePropertyVolumeScalar;
}

}  // namespace

Message Server::handlePlatform(Connection& connection, const std::string& op, const Message& request, int& passFd) {
    AudioHardware& hardware = *connection.client;
    const auto object = wire::unsignedField(request, "object");
    const auto addressField = request.find("address");
    const auto address = addressField != request.end() ? wire::toAddress(*addressField) : std::nullopt;
    std::optional<PropertyList> qualifier;
    if (const auto q = request.find("qualifier"); q != request.end()) {
        qualifier = wire::toPropertyList(*q);
        if (!qualifier) return statusOnly(kAudioHardwareIllegalOperationError);
    }
    const PropertyList* qualifierPointer = qualifier ? &*qualifier : nullptr;
    const bool propertyCall = object && *object <= 0xFFFFFFFFu && address;
    const auto id = AudioObjectID(object.value_or(0));

    if (op == op::kHas && propertyCall) return Message{{"status", 0}, {"value", hardware.hasProperty(id, *address)}};
    if (op == op::kSettable && propertyCall) {
        bool settable = false;
        const OSStatus status = hardware.isPropertySettable(id, *address, settable);
        return Message{{"status", status}, {"value", settable}};
    }
    if (op == op::kSize && propertyCall) {
        std::uint32_t size = 0;
        const OSStatus status = hardware.getPropertyDataSize(id, *address, qualifierPointer, size);
        return Message{{"status", status}, {"size", size}};
    }
    if (op == op::kGet && propertyCall) {
        const auto capacity = wire::unsignedField(request, "capacity");
        if (!capacity || *capacity > kMaxDataBytes) return statusOnly(kAudioHardwareBadPropertySizeError);
        std::vector<std::uint8_t> data(*capacity);
        auto size = std::uint32_t(*capacity);
        const OSStatus status = hardware.getPropertyData(id, *address, qualifierPointer, size, data.data());
        data.resize(status == 0 ? std::min<std::size_t>(size, data.size()) : 0);
        return Message{{"status", status}, {"data", Message::binary(std::move(data))}};
    }
    if (op == op::kSet && propertyCall) {
        const auto* data = wire::binaryField(request, "data");
        if (!data || data->size() > kMaxDataBytes) return statusOnly(kAudioHardwareBadPropertySizeError);
        const OSStatus status = hardware.setPropertyData(id, *address, std::uint32_t(data->size()), data->data());
        if (status == 0 && isDefaultOrVolume(*address)) saveState();
        return statusOnly(status);
    }
    if (op == op::kGetObject && propertyCall) {
        PropertyList value;
        const OSStatus status = hardware.getPropertyObject(id, *address, qualifierPointer, value);
        return Message{{"status", status}, {"value", wire::toMessage(value)}};
    }
    if (op == op::kSetObject && propertyCall) {
        const auto value = request.find("value");
        const auto converted = value != request.end() ? wire::toPropertyList(*value) : std::nullopt;
        if (!converted) return statusOnly(kAudioHardwareIllegalOperationError);
        return statusOnly(hardware.setPropertyObject(id, *address, *converted));
    }
    if (op == op::kCreateAggregate) {
        const auto value = request.find("description");
        const auto description = value != request.end() ? wire::toPropertyList(*value) : std::nullopt;
        if (!description) return statusOnly(kAudioHardwareIllegalOperationError);
        AudioObjectID device = 0;
        const OSStatus status = hardware.createAggregateDevice(*description, device);
        if (status == 0) saveState();
        return Message{{"status", status}, {"device", device}};
    }

    const auto device = wire::unsignedField(request, "device");
    if (!device || *device > 0xFFFFFFFFu) return statusOnly(kAudioHardwareIllegalOperationError);
    const auto deviceId = AudioObjectID(*device);
    if (op == op::kDestroyAggregate) {
        const OSStatus status = hardware.destroyAggregateDevice(deviceId);
        if (status == 0) saveState();
        return statusOnly(status);
    }
    if (op == op::kCreateProc) {
        auto remote = RemoteProc::create();
        if (!remote) return statusOnly(kAudioHardwareUnspecifiedError);
        AudioDeviceIOProcID procID = nullptr;
        const OSStatus status = hardware.createIOProcID(deviceId, &RemoteProc::render, remote.get(), procID);
        if (status != 0) return statusOnly(status);
        const auto handle = std::uint64_t(reinterpret_cast<std::uintptr_t>(procID));
        PropertyList uid;
        hardware.getPropertyObject(deviceId, {kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 0}, nullptr,
                                   uid);
        passFd = ::dup(remote->memoryFd());
        connection.procs[handle] = {std::move(remote), deviceId, uid.string() ? *uid.string() : std::string()};
        return Message{{"status", 0}, {"proc", handle}};
    }
    const auto handle = wire::unsignedField(request, "proc");
    if (!handle) return statusOnly(kAudioHardwareIllegalOperationError);
    const auto procID = reinterpret_cast<AudioDeviceIOProcID>(std::uintptr_t(*handle));
    if (op == op::kStart) return statusOnly(hardware.startDevice(deviceId, procID));
    if (op == op::kStop) {
        const OSStatus status = hardware.stopDevice(deviceId, procID);
        if (const auto it = connection.procs.find(*handle); status == 0 && it != connection.procs.end())
            it->second.remote->stopped();
        return statusOnly(status);
    }
    if (op == op::kDestroyProc) {
        const OSStatus status = hardware.destroyIOProcID(deviceId, procID);
        if (status == 0) connection.procs.erase(*handle);  // the model no longer calls it
        return statusOnly(status);
    }
    return statusOnly(kAudioHardwareUnknownPropertyError);
}

}  // namespace audiosim
