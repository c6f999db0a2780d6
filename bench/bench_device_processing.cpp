// The KORVANE device's processing of one block (gain, channel mode, peaks), as the driver and
// audiosim run it, against a memcpy of the same bytes. Prints the ratio of each size after the run.
#include "bench/ratio_reporter.h"
#include "virtual_device/sink_processing.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace {

std::vector<float> signal(std::size_t frames) {
    std::vector<float> samples(frames * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = float(0.5 * std::sin(double(i) * 0.01));
    return samples;
}

void BM_DeviceProcessing(benchmark::State& state) {
    const auto frames = std::uint32_t(state.range(0));
    const auto in = signal(frames);
    std::vector<float> out(in.size());
    korvane::virtual_device::SinkProcessing sink;
    sink.setGainDb(-6.0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(sink.receive(in.data(), 2, out.data(), frames));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * frames * 2 * 4);
}

void BM_CopyBaseline(benchmark::State& state) {
    const auto frames = std::size_t(state.range(0));
    const auto in = signal(frames);
    std::vector<float> out(in.size());
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size() * sizeof(float));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * frames * 2 * 4);
}

BENCHMARK(BM_DeviceProcessing)->Arg(64)->Arg(256)->Arg(1024)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_CopyBaseline)->Arg(64)->Arg(256)->Arg(1024)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    return korvane::bench::runWithRatios(argc, argv, [](const korvane::bench::TimingReporter& times) {
        for (const char* frames : {"64", "256", "1024"})
            times.printRatio((std::string("BM_DeviceProcessing / BM_CopyBaseline, ") + frames + " frames").c_str(),
                             std::string("BM_DeviceProcessing/") + frames, std::string("BM_CopyBaseline/") + frames);
    });
}
