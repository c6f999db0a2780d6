// RoutingHealth: whether a route report is a current answer to the panel's latest request, and
// whether a request is still young enough to wait for one.
#pragma once

#include "shared/routing_records.h"

#include <optional>
#include <string_view>

namespace korvane::RoutingHealth {

// A report older than this (or missing for this long after a request) means the helper is gone.
inline constexpr double kReportLifetime = 4.0;
// Clock differences tolerated for a report dated in the future.
inline constexpr double kFutureTolerance = 1.0;

// True when `revision` is not empty, the report answers it, its phase is one the helper writes,
// and its age at `now` (seconds since 2001-01-01 UTC) is finite and within −1 ≤ age < 4.
bool isCurrent(const RoutingReport& report, std::string_view revision, double now);

// True when the request started (monotonic seconds) less than 4 s before `now`; both finite,
// now not earlier than start.
bool isWithinGrace(std::optional<double> start, double now);

}  // namespace korvane::RoutingHealth
