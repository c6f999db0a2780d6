// The system route over PipeWire against PipeWire's own loopback (pw-loopback) on the same path, in
// one run, over a private PipeWire and WirePlumber at a forced 256-frame quantum, with
// korvane-driver as the KORVANE device and a null sink "speakers" as the listening output:
// - the latency an impulse gains from the sink it is played into (KORVANE's, or the loopback's) to
//   the speakers' monitor;
// - the CPU of the real helper ("KORVANE Routing", driven by a route.json) and korvane-driver
//   together while a tone is routed, beside pw-loopback's.
// The route should add at most one quantum beyond pw-loopback: KORVANE's sink reaches its source
// one quantum later, and the helper's filter reads that source.
//
// Usage: pipewire_route_measure [SECONDS]   (the CPU window of each, default 60)
#include "bench/process_cpu.h"
#include "shared/routing_files.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"
#include "tests/support/stream_probe.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using korvane::bench::cpuSeconds;

using korvane::test::PipeWireSession;
using korvane::test::RunningProgram;
using korvane::test::StreamProbe;
using korvane::test::waitUntil;
using namespace std::chrono_literals;

constexpr const char* kKorvane = "audio.ravlin.stereo.v1";
constexpr const char* kSpeakers = "speakers";
constexpr std::int64_t kImpulseEvery = 12000;

struct Figures {
    std::optional<std::int64_t> latency;  // frames
    std::vector<double> cpu;              // share of one core, one a process measured
    double totalCpu() const {
        double sum = 0;
        for (const double share : cpu) sum += share;
        return sum;
    }
};

// The frames between an impulse played into `sink` at a multiple of kImpulseEvery and its arrival
// on the speakers' monitor, both on the graph's clock.
std::optional<std::int64_t> impulseLatency(const std::string& sink) {
    StreamProbe probe;
    probe.recordMonitor(kSpeakers);
    probe.play(sink, [](std::int64_t at) {
        const float value = at % kImpulseEvery == 0 ? 1.0f : 0.0f;
        return std::array<float, 2>{value, value};
    });
    waitUntil([&] { return probe.recordedFrames() > 3 * kImpulseEvery; }, 20s);
    for (const auto& block : probe.recorded())
        for (std::size_t f = 0; f < block.samples.size() / 2; ++f)
            if (std::abs(block.samples[2 * f]) > 0.1f) return (block.position + std::int64_t(f)) % kImpulseEvery;
    return std::nullopt;
}

// The CPU share of each of `pids` over `seconds` while a tone plays into `sink`.
std::vector<double> cpuWhileRouting(const std::string& sink, const std::vector<pid_t>& pids, int seconds) {
    StreamProbe probe;
    probe.recordMonitor(kSpeakers);
    probe.play(sink, [](std::int64_t at) {
        const float value = float(0.25 * std::sin(2 * M_PI * 440 * double(at) / StreamProbe::kRate));
        return std::array<float, 2>{value, value};
    });
    waitUntil([&] { return probe.recordedFrames() > StreamProbe::kRate; }, 20s);
    std::vector<double> before;
    for (const pid_t pid : pids) before.push_back(cpuSeconds(pid));
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<double> shares;
    for (std::size_t i = 0; i < pids.size(); ++i) shares.push_back((cpuSeconds(pids[i]) - before[i]) / elapsed);
    return shares;
}

bool helperRunning() {
    const auto choice = korvane::RoutingFiles::readChoice();
    const auto report = korvane::RoutingFiles::readReport();
    return choice && report && report->revision == choice->revision && report->phase == "running" && report->cycles > 0;
}

// The route as the panel asks for it: the computer's playback to the speakers, by the real helper.
Figures measureRoute(PipeWireSession& session, pid_t driver, int seconds) {
    Figures figures;
    korvane::RoutingChoice choice;
    choice.outputUID = kSpeakers;
    choice.enabled = true;
    if (korvane::RoutingFiles::write(choice, korvane::RoutingFiles::kChoiceFileName)) {
        std::fprintf(stderr, "pipewire_route_measure: cannot write the route request\n");
        return figures;
    }
    RunningProgram helper({KORVANE_ROUTING_PROGRAM});
    if (!waitUntil(helperRunning, 30s)) {
        const auto report = korvane::RoutingFiles::readReport();
        std::fprintf(stderr, "pipewire_route_measure: the route did not run (%s)\n",
                     report ? (report->phase + ": " + report->detail).c_str() : "no report");
        return figures;
    }
    figures.latency = impulseLatency(kKorvane);
    figures.cpu = cpuWhileRouting(kKorvane, {helper.pid(), driver}, seconds);
    ::kill(helper.pid(), SIGTERM);  // stops the route and puts the default output back
    helper.wait(10s);
    waitUntil([&] { return !session.nodeId("audio.korvane.route"); }, 10s);
    return figures;
}

Figures measureLoopback(PipeWireSession& session, int seconds) {
    Figures figures;
    RunningProgram loopback({"/usr/bin/pw-loopback", "--capture-props=media.class=Audio/Sink node.name=loopback.sink",
                             std::string("--playback-props=node.name=loopback.playback target.object=") + kSpeakers});
    if (!waitUntil([&] { return session.nodeId("loopback.sink") && session.nodeId("loopback.playback"); }, 15s))
        return figures;
    figures.latency = impulseLatency("loopback.sink");
    figures.cpu = cpuWhileRouting("loopback.sink", {loopback.pid()}, seconds);
    return figures;
}

std::string frames(const std::optional<std::int64_t>& latency) {
    return latency ? std::to_string(*latency) + " frames" : std::string("none");
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (seconds <= 0 || seconds > 3600) {
        std::fprintf(stderr, "usage: pipewire_route_measure [SECONDS]   (1-3600)\n");
        return 2;
    }
    PipeWireSession session;
    if (!session.ready()) {
        std::fprintf(stderr, "pipewire_route_measure: the private PipeWire session did not start\n");
        return 1;
    }
    session.environment().set("KORVANE_AUDIO_SYSTEM", "pipewire");
    session.environment().set(
        "PATH", std::filesystem::path(korvane::test::driverProgram()).parent_path().string() + ":" + std::getenv("PATH"));
    std::filesystem::create_directories(session.environment().dataHome());
    if (session.run({"pw-cli", "create-node", "adapter",
                     std::string("{ factory.name=support.null-audio-sink node.name=") + kSpeakers +
                         " node.description=Speakers media.class=Audio/Sink object.linger=true audio.position=[FL FR] "
                         "device.bus=pci priority.session=2000 }"}) != 0 ||
        session.run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum", std::to_string(StreamProbe::kQuantum)}) != 0) {
        std::fprintf(stderr, "pipewire_route_measure: the speakers or the quantum could not be set up\n");
        return 1;
    }
    RunningProgram driver({korvane::test::driverProgram()});
    if (!waitUntil([&] { return session.nodeId(kKorvane) && session.nodeId(kSpeakers); }, 15s)) {
        std::fprintf(stderr, "pipewire_route_measure: korvane-driver or the speakers did not appear\n");
        return 1;
    }
    const Figures route = measureRoute(session, driver.pid(), seconds);
    const Figures loopback = measureLoopback(session, seconds);

    std::printf("Quantum: %u frames at %u Hz (forced); CPU over %d s each, a tone routed\n", StreamProbe::kQuantum,
                StreamProbe::kRate, seconds);
    std::printf("  latency to the speakers, the route (via KORVANE): %s\n", frames(route.latency).c_str());
    std::printf("  latency to the speakers, pw-loopback:             %s\n", frames(loopback.latency).c_str());
    if (route.latency && loopback.latency)
        std::printf("  the route adds %+lld frames beyond pw-loopback (%+.2f quanta)\n",
                    static_cast<long long>(*route.latency - *loopback.latency),
                    double(*route.latency - *loopback.latency) / StreamProbe::kQuantum);
    if (route.cpu.size() == 2)
        std::printf("  CPU, helper + korvane-driver: %.2f %% of a core (helper %.2f %%, driver %.2f %%)\n",
                    100 * route.totalCpu(), 100 * route.cpu[0], 100 * route.cpu[1]);
    std::printf("  CPU, pw-loopback:             %.2f %% of a core\n", 100 * loopback.totalCpu());
    if (loopback.totalCpu() > 0 && route.cpu.size() == 2)
        std::printf("  CPU ratio (helper + driver / pw-loopback): %.2f\n", route.totalCpu() / loopback.totalCpu());
    return route.latency && loopback.latency ? 0 : 1;
}
