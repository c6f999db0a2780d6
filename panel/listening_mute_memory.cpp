#include "panel/listening_mute_memory.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace korvane::panel {

namespace {
constexpr const char* kLevelsKey = "levels";
}

bool ListeningMuteMemory::isRestorable() const {
    if (levels.empty() || levels.size() > 2) return false;
    for (const float level : levels)
        if (!std::isfinite(level) || level < 0 || level > 1) return false;
    return true;
}

float ListeningMuteMemory::averageLevel() const {
    if (levels.empty()) return 0;
    float sum = 0;
    for (const float level : levels) sum += level;
    return sum / float(levels.size());
}

std::optional<std::string> encodeMuteMemory(const MuteMemoryMap& memory) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [uid, entry] : memory) {
        nlohmann::json levels = nlohmann::json::array();
        for (const float level : entry.levels) {
            if (!std::isfinite(level)) return std::nullopt;
            levels.push_back(double(level));
        }
        object[uid] = {{kLevelsKey, std::move(levels)}};
    }
    try {
        return object.dump();
    } catch (const nlohmann::json::exception&) {  // a UID that is not valid UTF-8
        return std::nullopt;
    }
}

std::optional<MuteMemoryMap> decodeMuteMemory(std::string_view json) {
    if (json.size() > kMaximumMuteMemoryBytes) return std::nullopt;
    const auto object = nlohmann::json::parse(json, nullptr, false);
    if (object.is_discarded() || !object.is_object()) return std::nullopt;
    MuteMemoryMap memory;
    for (const auto& [uid, entry] : object.items()) {
        if (!entry.is_object()) return std::nullopt;
        const auto levels = entry.find(kLevelsKey);
        if (levels == entry.end() || !levels->is_array()) return std::nullopt;
        ListeningMuteMemory decoded;
        for (const auto& level : *levels) {
            if (!level.is_number()) return std::nullopt;
            // Out of float range stays out of range (and so not restorable) instead of overflowing.
            const double value = level.get<double>();
            decoded.levels.push_back(std::fabs(value) <= std::numeric_limits<float>::max()
                                         ? float(value)
                                         : std::copysign(std::numeric_limits<float>::infinity(), value));
        }
        memory.emplace(uid, std::move(decoded));
    }
    return memory;
}

}  // namespace korvane::panel
