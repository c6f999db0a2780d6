#include "shared/routing_records.h"

#include <nlohmann/json.hpp>

namespace korvane {

using nlohmann::json;

namespace {

std::error_code dump(const json& object, std::string& out) {
    std::string compact;
    try {
        compact = object.dump(-1, ' ', false, json::error_handler_t::strict);
    } catch (const json::exception&) {
        return std::make_error_code(std::errc::illegal_byte_sequence);
    }
    // A slash can only occur inside strings, where "\/" is its escaped form.
    out.clear();
    out.reserve(compact.size() + 8);
    for (const char c : compact) {
        if (c == '/') out += '\\';
        out += c;
    }
    return {};
}

std::optional<json> parseObject(std::string_view text) {
    json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) return std::nullopt;
    return root;
}

bool readString(const json& object, const char* key, std::string& out) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

bool readBool(const json& object, const char* key, bool& out) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_boolean()) return false;
    out = it->get<bool>();
    return true;
}

}  // namespace

std::error_code encode(const RoutingChoice& choice, std::string& out) {
    json object = {{"revision", choice.revision},
                   {"inputUID", choice.inputUID},
                   {"outputUID", choice.outputUID},
                   {"enabled", choice.enabled}};
    if (choice.automaticallyMatchSampleRate) object["automaticallyMatchSampleRate"] = *choice.automaticallyMatchSampleRate;
    return dump(object, out);
}

std::error_code encode(const RoutingReport& report, std::string& out) {
    const json object = {{"revision", report.revision},
                         {"phase", report.phase},
                         {"detail", report.detail},
                         {"updated", report.updated},
                         {"cycles", report.cycles}};
    return dump(object, out);
}

std::optional<RoutingChoice> decodeChoice(std::string_view text) {
    const auto object = parseObject(text);
    if (!object) return std::nullopt;
    RoutingChoice choice;
    if (!readString(*object, "revision", choice.revision) || !readString(*object, "inputUID", choice.inputUID) ||
        !readString(*object, "outputUID", choice.outputUID) || !readBool(*object, "enabled", choice.enabled))
        return std::nullopt;
    choice.automaticallyMatchSampleRate.reset();
    if (object->contains("automaticallyMatchSampleRate")) {
        bool flag = false;
        if (!readBool(*object, "automaticallyMatchSampleRate", flag)) return std::nullopt;
        choice.automaticallyMatchSampleRate = flag;
    }
    return choice;
}

std::optional<RoutingReport> decodeReport(std::string_view text) {
    const auto object = parseObject(text);
    if (!object) return std::nullopt;
    RoutingReport report;
    if (!readString(*object, "revision", report.revision) || !readString(*object, "phase", report.phase) ||
        !readString(*object, "detail", report.detail))
        return std::nullopt;
    const auto updated = object->find("updated");
    if (updated == object->end() || !updated->is_number()) return std::nullopt;
    report.updated = updated->get<double>();
    const auto cycles = object->find("cycles");
    if (cycles == object->end() || !cycles->is_number_integer()) return std::nullopt;
    if (cycles->is_number_unsigned()) {
        report.cycles = cycles->get<std::uint64_t>();
    } else {
        const auto signedCycles = cycles->get<std::int64_t>();
        if (signedCycles < 0) return std::nullopt;
        report.cycles = std::uint64_t(signedCycles);
    }
    return report;
}

}  // namespace korvane
