// Benchmark support: the console report, plus each benchmark's time kept by name, and a main that
// prints ratios of those times (measured in the same run) after the run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace korvane::bench {

class TimingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
                std::string name = run.run_name.function_name;
                if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
                times_[name] = run.GetAdjustedRealTime();
            }
        ConsoleReporter::ReportRuns(runs);
    }

    // The time per iteration of benchmark `name` ("BM_Name/arg"), or nothing when it did not run.
    std::optional<double> time(const std::string& name) const {
        const auto it = times_.find(name);
        return it == times_.end() ? std::nullopt : std::optional<double>(it->second);
    }

    // Prints "label: a / b" when both ran.
    void printRatio(const char* label, const std::string& a, const std::string& b) const {
        const auto x = time(a);
        const auto y = time(b);
        if (x && y && *y > 0) std::printf("  %s: %.2f\n", label, *x / *y);
    }

private:
    std::map<std::string, double> times_;
};

// Runs the registered benchmarks, then `printRatios` with the times.
inline int runWithRatios(int argc, char** argv, const std::function<void(const TimingReporter&)>& printRatios) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TimingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nRatios (same run):\n");
    printRatios(reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace korvane::bench
