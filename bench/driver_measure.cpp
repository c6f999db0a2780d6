// korvane-driver against PipeWire's own loopback (pw-loopback) in one run, over a private PipeWire
// and WirePlumber at a 256-frame quantum: the latency an impulse gains from sink to source, and
// the process's CPU while audio flows.
//
// Usage: driver_measure [SECONDS]   (the CPU window of each, default 60)
#include "bench/process_cpu.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"
#include "tests/support/stream_probe.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using korvane::bench::cpuSeconds;

using korvane::test::StreamProbe;
using namespace std::chrono_literals;

constexpr std::int64_t kImpulseEvery = 12000;

struct Figures {
    std::optional<std::int64_t> latency;  // frames
    double cpu = 0;                        // share of one core
};

Figures measure(korvane::test::PipeWireSession& session, pid_t pid, const char* sink, const char* source, int seconds) {
    Figures figures;
    if (!korvane::test::waitUntil([&] { return session.nodeId(sink) && session.nodeId(source); }, 15s)) return figures;
    StreamProbe probe;
    probe.record(source);
    probe.play(sink, [](std::int64_t at) {
        const float value = at % kImpulseEvery == 0 ? 1.0f : 0.0f;
        return std::array<float, 2>{value, value};
    });
    korvane::test::waitUntil([&] { return probe.recordedFrames() > 3 * kImpulseEvery; }, 20s);
    for (const auto& block : probe.recorded())
        for (std::size_t f = 0; f < block.samples.size() / 2 && !figures.latency; ++f)
            if (block.samples[2 * f] > 0.5f) figures.latency = (block.position + std::int64_t(f)) % kImpulseEvery;
    const double before = cpuSeconds(pid);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.cpu = (cpuSeconds(pid) - before) / elapsed;
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    korvane::test::PipeWireSession session;
    if (!session.ready()) {
        std::fprintf(stderr, "driver_measure: the private PipeWire session did not start\n");
        return 1;
    }
    Figures driver, loopback;
    {
        korvane::test::RunningProgram program({korvane::test::driverProgram()});
        driver = measure(session, program.pid(), "audio.ravlin.stereo.v1", "audio.ravlin.stereo.v1.input", seconds);
    }
    {
        korvane::test::RunningProgram program({"/usr/bin/pw-loopback", "--capture-props=media.class=Audio/Sink node.name=loopback.sink",
                                               "--playback-props=media.class=Audio/Source node.name=loopback.source"});
        loopback = measure(session, program.pid(), "loopback.sink", "loopback.source", seconds);
    }
    const auto latency = [](const Figures& f) { return f.latency ? std::to_string(*f.latency) + " frames" : std::string("none"); };
    std::printf("Quantum: %u frames at %u Hz; CPU over %d s each, audio flowing\n", StreamProbe::kQuantum,
                StreamProbe::kRate, seconds);
    std::printf("  latency, korvane-driver: %s\n", latency(driver).c_str());
    std::printf("  latency, pw-loopback:    %s\n", latency(loopback).c_str());
    std::printf("  CPU, korvane-driver: %.2f %% of a core\n", 100 * driver.cpu);
    std::printf("  CPU, pw-loopback:    %.2f %% of a core\n", 100 * loopback.cpu);
    if (loopback.cpu > 0) std::printf("  CPU ratio (driver / pw-loopback): %.2f\n", driver.cpu / loopback.cpu);
    return driver.latency && loopback.latency ? 0 : 1;
}
