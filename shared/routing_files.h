// RoutingFiles: the careful read and atomic write of the exchange files in the per-user "RAVLIN"
// directory, shared by the panel and the routing helper.
#pragma once

#include "shared/routing_records.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

namespace korvane {

// Error codes of the exchange files, numbered as the platform numbers its file-write errors.
enum class RoutingFilesError {
    recordTooLarge = 512,   // the platform's unknown write error
    invalidFileName = 514,  // the platform's invalid file name write error
};
const std::error_category& routingFilesCategory();
std::error_code make_error_code(RoutingFilesError error);

}  // namespace korvane

template <>
struct std::is_error_code_enum<korvane::RoutingFilesError> : std::true_type {};

namespace korvane::RoutingFiles {

inline constexpr std::string_view kChoiceFileName = "route.json";
inline constexpr std::string_view kReportFileName = "status.json";
inline constexpr std::size_t kMaximumRecordBytes = 65536;

// `$XDG_DATA_HOME/RAVLIN`, or `~/.local/share/RAVLIN` when XDG_DATA_HOME is unset or not absolute.
// Does not create it.
std::filesystem::path directory();

// Effects: creates the directory (0700) when missing, writes the record to a temporary file
// beside the target that is set to 0600 before anything is written to it, flushes it and renames
// it over the target. Nothing is changed by path after the rename.
// Errors: invalidFileName for any name other than the two exchange files (nothing is touched),
// recordTooLarge above 65,536 bytes, an encoding error, or the failing system call's errno.
std::error_code write(const RoutingChoice& choice, std::string_view name);
std::error_code write(const RoutingReport& report, std::string_view name);

// Nothing when the name is not an exchange file, or the file is missing, a symbolic link, not a
// regular file, larger than 65,536 bytes, unreadable or not a valid record. Never blocks.
std::optional<RoutingChoice> readChoice(std::string_view name = kChoiceFileName);
std::optional<RoutingReport> readReport(std::string_view name = kReportFileName);

// The raw bytes of an exchange file under the same rules, before decoding.
std::optional<std::string> readBytes(std::string_view name);

}  // namespace korvane::RoutingFiles
