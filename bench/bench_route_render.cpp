// The render callback against the least work that moves the same bytes, over the typical
// aggregate: KORVANE (2 in, 2 out), a 2-in/2-out interface as the source, 2-out speakers as the
// listening output. Prints the ratio of each size after the run.
#include "router/engine/route_state.h"
#include "tests/router/render_buffers.h"

#include "bench/ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using korvane::test::RenderBuffers;
using platform::audio::AudioBufferList;

struct TypicalAggregate {
    explicit TypicalAggregate(std::uint32_t frames)
        : input({{2, frames}, {2, frames}}), output({{2, frames}, {2, frames}}) {
        for (std::size_t b = 0; b < 2; ++b)
            for (std::size_t i = 0; i < input.buffer(b).size(); ++i)
                input.buffer(b)[i] = 0.5f * float(std::sin(0.01 * double(i) + double(b)));
        route.hasInput = true;
        route.hasListening = true;
        route.inputChannel = 2;        // the interface follows KORVANE's two inputs
        route.driverInputChannel = 0;
        route.driverOutputChannel = 0;
        route.listenChannel = 2;       // the speakers follow KORVANE's two outputs
    }
    RenderBuffers input;
    RenderBuffers output;
    RouteState route;
};

void BM_RouteRender(benchmark::State& state) {
    TypicalAggregate aggregate(std::uint32_t(state.range(0)));
    for (auto _ : state) {
        korvane::engine::routeRender(0, nullptr, aggregate.input.list(), nullptr, aggregate.output.list(), nullptr,
                                     &aggregate.route);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0) * 4 * 4);
}

// Zero-fills every output buffer and copies the four channels' worth of samples.
void BM_CopyBaseline(benchmark::State& state) {
    TypicalAggregate aggregate(std::uint32_t(state.range(0)));
    AudioBufferList* input = aggregate.input.list();
    AudioBufferList* output = aggregate.output.list();
    for (auto _ : state) {
        for (std::uint32_t b = 0; b < output->mNumberBuffers; ++b)
            std::memset(output->mBuffers[b].mData, 0, output->mBuffers[b].mDataByteSize);
        std::memcpy(output->mBuffers[0].mData, input->mBuffers[1].mData, input->mBuffers[1].mDataByteSize);
        std::memcpy(output->mBuffers[1].mData, input->mBuffers[0].mData, input->mBuffers[0].mDataByteSize);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0) * 4 * 4);
}

// Medians of five repetitions: single runs of a few tens of nanoseconds swing with the machine.
BENCHMARK(BM_RouteRender)->Arg(64)->Arg(128)->Arg(256)->Arg(512)->Arg(1024)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_CopyBaseline)->Arg(64)->Arg(128)->Arg(256)->Arg(512)->Arg(1024)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    return korvane::bench::runWithRatios(argc, argv, [](const korvane::bench::TimingReporter& times) {
        for (const char* frames : {"64", "128", "256", "512", "1024"})
            times.printRatio((std::string("BM_RouteRender / BM_CopyBaseline, ") + frames + " frames").c_str(),
                             std::string("BM_RouteRender/") + frames, std::string("BM_CopyBaseline/") + frames);
    });
}
