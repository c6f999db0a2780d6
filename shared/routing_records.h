// The two records the panel and the routing helper exchange: the route request (RoutingChoice,
// "route.json") and the route report (RoutingReport, "status.json"), with their JSON form.
#pragma once

#include "platform/uuid.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace korvane {

// Reserved UIDs of a request.
inline constexpr std::string_view kSystemPlaybackInputUID = "system";  // the computer's own playback
inline constexpr std::string_view kDAWOnlyOutputUID = "daw";            // no listening output (also "")

// Phase words of a route. The helper writes the first five; "unavailable" is the panel's own.
namespace phase {
inline constexpr std::string_view kStopped = "stopped";
inline constexpr std::string_view kStarting = "starting";
inline constexpr std::string_view kRunning = "running";
inline constexpr std::string_view kPermission = "permission";
inline constexpr std::string_view kError = "error";
inline constexpr std::string_view kUnavailable = "unavailable";
inline constexpr std::array<std::string_view, 5> kReported{kStopped, kStarting, kRunning, kPermission, kError};
}  // namespace phase

struct RoutingChoice {
    std::string revision = platform::newUUIDString();  // a fresh one for every request written
    std::string inputUID = std::string(kSystemPlaybackInputUID);
    std::string outputUID;
    bool enabled = false;
    std::optional<bool> automaticallyMatchSampleRate = true;  // absent: not stated, treated as true

    friend bool operator==(const RoutingChoice&, const RoutingChoice&) = default;
};

struct RoutingReport {
    std::string revision;  // of the choice last taken up
    std::string phase = std::string(phase::kStopped);
    std::string detail;
    double updated = 0;       // seconds since 2001-01-01 00:00:00 UTC
    std::uint64_t cycles = 0;  // the route's callback cycles; 0 without a route

    friend bool operator==(const RoutingReport&, const RoutingReport&) = default;
};

// Compact JSON with every "/" written as "\/". Errors: a string that is not valid UTF-8
// (std::errc::illegal_byte_sequence).
std::error_code encode(const RoutingChoice& choice, std::string& json);
std::error_code encode(const RoutingReport& report, std::string& json);

// Nothing for malformed JSON, a missing key (only automaticallyMatchSampleRate may be absent)
// or a value of the wrong type. Unknown keys are ignored.
std::optional<RoutingChoice> decodeChoice(std::string_view json);
std::optional<RoutingReport> decodeReport(std::string_view json);

}  // namespace korvane
