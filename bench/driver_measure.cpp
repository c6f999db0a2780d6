// korvane-driver against PipeWire's own loopback (pw-loopback), both on one private PipeWire and
// WirePlumber at the same time, at a 256-frame and a 1024-frame quantum and at the quantum the
// graph chooses for desktop players (which ask for 8192 frames): the latency an impulse gains from
// sink to source, the latency the source declares, and each process's CPU while audio flows.
//
// Usage: driver_measure [SECONDS]   (the CPU window of each setting, default 30)
// KORVANE_DRIVER_PROGRAM names another korvane-driver to measure (an earlier build, say).
#include "bench/process_cpu.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"
#include "tests/support/stream_probe.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace {

using korvane::bench::cpuSeconds;
using korvane::test::StreamProbe;
using namespace std::chrono_literals;

constexpr std::int64_t kImpulseEvery = 24000;  // longer than any delay measured (two quanta of 8192)

struct Path {
    Path(std::uint32_t ask, pid_t pid, const char* sink, const char* source)
        : probe(ask), pid(pid), sink(sink), source(source) {}
    StreamProbe probe;
    pid_t pid;
    const char* sink;
    const char* source;
    std::optional<std::int64_t> latency;  // frames
    double cpu = 0;                        // share of one core
};

// The first recorded impulse's distance from where it was played (every kImpulseEvery frames).
std::optional<std::int64_t> impulseLatency(const std::vector<StreamProbe::Block>& blocks) {
    for (const auto& block : blocks)
        for (std::size_t f = 0; block.position >= 0 && f < block.samples.size() / 2; ++f)
            if (block.samples[2 * f] > 0.5f) return (block.position + std::int64_t(f)) % kImpulseEvery;
    return std::nullopt;
}

// "port capture latency = [ MIN MAX ] frames" of KORVANE's first capture port, as a JACK DAW reads it.
std::string declaredLatency(const korvane::test::PipeWireSession& session) {
    std::string output;
    if (session.run({"pw-jack", "jack_lsp", "-l", "KORVANE:capture_FL"}, &output) != 0) return "unknown";
    const auto at = output.find("capture latency = [ ");
    if (at == std::string::npos) return "unknown";
    const auto end = output.find(" ]", at);
    return output.substr(at + 20, end - at - 20);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    korvane::test::PipeWireSession session;
    if (!session.ready()) {
        std::fprintf(stderr, "driver_measure: the private PipeWire session did not start\n");
        return 1;
    }
    const char* program = std::getenv("KORVANE_DRIVER_PROGRAM");
    korvane::test::RunningProgram driver({program ? program : korvane::test::driverProgram()});
    korvane::test::RunningProgram loopback({"/usr/bin/pw-loopback", "--capture-props=media.class=Audio/Sink node.name=loopback.sink",
                                            "--playback-props=media.class=Audio/Source node.name=loopback.source"});
    if (!korvane::test::waitUntil([&] {
            return session.nodeId("audio.ravlin.stereo.v1.input") && session.nodeId("loopback.source");
        }, 15s)) {
        std::fprintf(stderr, "driver_measure: the two devices did not appear\n");
        return 1;
    }
    struct Setting {
        const char* name;
        std::uint32_t forced;  // 0: the graph's choice
        std::uint32_t ask;
    };
    const Setting settings[] = {{"256 frames", 256, 256}, {"1024 frames", 1024, 1024}, {"the graph's choice", 0, 8192}};
    bool measured = true;
    std::printf("CPU over %d s for each setting, both devices carrying audio at once\n", seconds);
    for (const Setting& setting : settings) {
        session.run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum", std::to_string(setting.forced)});
        Path korvane(setting.ask, driver.pid(), "audio.ravlin.stereo.v1", "audio.ravlin.stereo.v1.input");
        Path control(setting.ask, loopback.pid(), "loopback.sink", "loopback.source");
        for (Path* path : {&korvane, &control}) {
            path->probe.record(path->source);
            path->probe.play(path->sink, [](std::int64_t at) {
                const float value = at % kImpulseEvery == 0 ? 1.0f : 0.0f;
                return std::array<float, 2>{value, value};
            });
        }
        korvane::test::waitUntil([&] {
            return korvane.probe.recordedFrames() > 3 * kImpulseEvery && control.probe.recordedFrames() > 3 * kImpulseEvery;
        }, 20s);
        std::uint32_t quantum = 0;
        for (Path* path : {&korvane, &control}) {
            const auto blocks = path->probe.recorded();
            path->latency = impulseLatency(blocks);
            if (!blocks.empty()) quantum = blocks.back().quantum;
        }
        const std::string declared = declaredLatency(session);
        const double before[] = {cpuSeconds(korvane.pid), cpuSeconds(control.pid)};
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        korvane.cpu = (cpuSeconds(korvane.pid) - before[0]) / elapsed;
        control.cpu = (cpuSeconds(control.pid) - before[1]) / elapsed;

        const auto latency = [](const Path& p) { return p.latency ? std::to_string(*p.latency) + " frames" : std::string("none"); };
        std::printf("%s (quantum %u)\n", setting.name, quantum);
        std::printf("  latency, korvane-driver: %s (declared %s)\n", latency(korvane).c_str(), declared.c_str());
        std::printf("  latency, pw-loopback:    %s\n", latency(control).c_str());
        std::printf("  CPU, korvane-driver: %.2f %% of a core\n", 100 * korvane.cpu);
        std::printf("  CPU, pw-loopback:    %.2f %% of a core\n", 100 * control.cpu);
        if (control.cpu > 0) std::printf("  CPU ratio (driver / pw-loopback): %.2f\n", korvane.cpu / control.cpu);
        measured = measured && korvane.latency && control.latency;
    }
    return measured ? 0 : 1;
}
