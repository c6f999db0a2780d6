// Bundles on Linux keep the platform's folder layout: `NAME.app/Contents/MacOS/PROGRAM`, with the
// bundle's values in `NAME.app/Contents/Info.json`. These functions find a program's bundle and
// read its values, refusing anything hostile (links, oversized or malformed files).
#pragma once

#include "platform/application_services.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace platform::bundle {

// Larger Info.json files are refused: a real one holds a handful of short entries.
inline constexpr std::size_t kMaximumInfoBytes = 64 * 1024;

// Returns: the bundle whose `Contents/MacOS` directly holds `executable`, taken as written (resolve
// links first); nothing when `executable` lies in no such layout.
std::optional<std::filesystem::path> bundleOfExecutable(const std::filesystem::path& executable);

// Returns: the entries of `bundle/Contents/Info.json` whose values are text; nothing when the file
// is missing, a symbolic link, not a regular file, larger than kMaximumInfoBytes, or not a JSON
// object.
std::optional<BundleInfo> readBundleInfo(const std::filesystem::path& bundle);

// Returns: the program a bundle runs: `Contents/MacOS/` + its "CFBundleExecutable" when that is a
// plain file name, else the only entry of `Contents/MacOS`; nothing when neither names one.
std::optional<std::filesystem::path> bundleExecutable(const std::filesystem::path& bundle);

// Returns: the whole content of the regular file `path`, opened without following a final link;
// nothing when it cannot be read or holds more than `maximumBytes`.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t maximumBytes);

}  // namespace platform::bundle
