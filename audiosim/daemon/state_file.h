// The daemon's saved state ("state.json" in its state directory): default outputs, volumes and
// public aggregate devices.
#pragma once

#include "audiosim/model/device_model.h"

#include <filesystem>
#include <optional>
#include <string>

namespace audiosim {

// Nothing when there is no saved state. A file that exists but cannot be used (unreadable, not a
// regular file, too large, not JSON, any field of the wrong type or out of range) is renamed to
// "state.json.bad" beside it, and `error` says why and what became of it.
std::optional<DeviceModel::PersistentState> readStateFile(const std::filesystem::path& directory, std::string& error);

// Writes atomically (0700 directory, 0600 file). Returns an empty string or the reason.
std::string writeStateFile(const std::filesystem::path& directory, const DeviceModel::PersistentState& state);

}  // namespace audiosim
