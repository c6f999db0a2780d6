#include "driver/daw_devices.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>

namespace korvane::driver {

using nlohmann::json;

namespace {

bool isUidByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("+/=._-", c));
}

// Every member as the checks of a create request want it; `problem` says which one is wrong.
std::optional<DawDevice> deviceOf(const json& object, bool uidOnly, std::string& problem) {
    const auto text = [&](const char* member, std::string& into) {
        const auto field = object.find(member);
        if (field == object.end() || !field->is_string()) {
            problem = std::string("\"") + member + "\" is missing or not a string";
            return false;
        }
        into = field->get<std::string>();  // the parser has refused invalid UTF-8 already
        if (into.empty() || into.size() > kMaxDawTextBytes) {
            problem = std::string("\"") + member + "\" is empty or longer than " + std::to_string(kMaxDawTextBytes) +
                      " bytes";
            return false;
        }
        return true;
    };
    DawDevice device;
    if (!text("uid", device.uid)) return std::nullopt;
    if (!device.uid.starts_with(kDawUidPrefix) || device.uid.size() == std::strlen(kDawUidPrefix) ||
        !std::all_of(device.uid.begin(), device.uid.end(), isUidByte)) {
        problem = "\"uid\" is not a DAW device UID";
        return std::nullopt;
    }
    if (uidOnly) return device;
    if (!text("name", device.name) || !text("output", device.output)) return std::nullopt;
    if (isOwnNodeName(device.output)) {
        problem = "\"output\" is not a physical output";
        return std::nullopt;
    }
    return device;
}

}  // namespace

bool isOwnNodeName(const std::string& name) {
    return name.starts_with("audio.ravlin.") || name.starts_with("audio.korvane.");
}

std::optional<DawRequest> parseDawRequest(const char* key, const char* type, const char* value, std::string& problem) {
    problem.clear();
    DawRequest request;
    if (key && std::strcmp(key, kDawCreateKey) == 0) {
        request.kind = DawRequest::Kind::create;
    } else if (key && std::strcmp(key, kDawRemoveKey) == 0) {
        request.kind = DawRequest::Kind::remove;
    } else {
        problem = "it is not a DAW device request";
        return std::nullopt;
    }
    if (!type || std::strcmp(type, "Spa:String:JSON") != 0) {
        problem = "its type is not Spa:String:JSON";
        return std::nullopt;
    }
    if (!value || std::strlen(value) > kMaxDawRequestBytes) {
        problem = "it is empty or larger than " + std::to_string(kMaxDawRequestBytes) + " bytes";
        return std::nullopt;
    }
    const json object = json::parse(value, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        problem = "it is not a JSON object";
        return std::nullopt;
    }
    auto device = deviceOf(object, request.kind == DawRequest::Kind::remove, problem);
    if (!device) return std::nullopt;
    request.device = std::move(*device);
    return request;
}

std::string dawDevicesText(const std::vector<DawDevice>& devices) {
    json list = json::array();
    for (const auto& device : devices)
        list.push_back({{"uid", device.uid}, {"name", device.name}, {"output", device.output}});
    return json{{"devices", list}}.dump(2) + "\n";
}

std::optional<std::vector<DawDevice>> parseDawDevices(const std::string& text, std::string& problem) {
    problem.clear();
    const json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        problem = "it is not a JSON object";
        return std::nullopt;
    }
    const auto list = root.find("devices");
    if (list == root.end() || !list->is_array() || list->size() > kMaxDawDevices) {
        problem = "\"devices\" is not a list of at most " + std::to_string(kMaxDawDevices) + " devices";
        return std::nullopt;
    }
    std::vector<DawDevice> devices;
    for (const auto& entry : *list) {
        std::optional<DawDevice> device = entry.is_object() ? deviceOf(entry, false, problem) : std::nullopt;
        if (!device) {
            if (problem.empty()) problem = "a device is not an object";
            return std::nullopt;
        }
        if (std::any_of(devices.begin(), devices.end(), [&](const DawDevice& d) { return d.uid == device->uid; })) {
            problem = "a UID is there twice";
            return std::nullopt;
        }
        devices.push_back(std::move(*device));
    }
    return devices;
}

}  // namespace korvane::driver
