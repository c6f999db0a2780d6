// ListeningMuteMemory: the channel levels a listening device had just before the panel muted it,
// so unmuting restores them, also after a relaunch. The map of them is stored as JSON.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::panel {

struct ListeningMuteMemory {
    std::vector<float> levels;  // one per volume element of the device

    // One or two levels, each finite and within 0…1.
    bool isRestorable() const;
    // The mean of the levels; 0 without any.
    float averageLevel() const;

    friend bool operator==(const ListeningMuteMemory&, const ListeningMuteMemory&) = default;
};

// By device UID. A device is muted by the panel exactly when it has an entry.
using MuteMemoryMap = std::map<std::string, ListeningMuteMemory, std::less<>>;

// Stored data larger than this is not decoded.
inline constexpr std::size_t kMaximumMuteMemoryBytes = 64 * 1024;

// UTF-8 JSON: one object mapping each UID to {"levels": [numbers]}. Nothing when a UID is not
// valid UTF-8 or a level is not finite.
std::optional<std::string> encodeMuteMemory(const MuteMemoryMap& memory);
// Returns: the entries of a well-formed stored object. Nothing when the data is too large, not
// JSON, not an object, or an entry is not an object with an array of numbers under "levels".
// Entries are returned whether or not they are restorable; the caller filters.
std::optional<MuteMemoryMap> decodeMuteMemory(std::string_view json);

}  // namespace korvane::panel
