#include "shared/routing_health.h"

#include <algorithm>
#include <cmath>

namespace korvane::RoutingHealth {

bool isCurrent(const RoutingReport& report, std::string_view revision, double now) {
    if (revision.empty() || report.revision != revision) return false;
    const double age = now - report.updated;
    if (!std::isfinite(age) || age < -kFutureTolerance || age >= kReportLifetime) return false;
    return std::find(phase::kReported.begin(), phase::kReported.end(), report.phase) != phase::kReported.end();
}

bool isWithinGrace(std::optional<double> start, double now) {
    if (!start || !std::isfinite(*start) || !std::isfinite(now) || now < *start) return false;
    return now - *start < kReportLifetime;
}

}  // namespace korvane::RoutingHealth
