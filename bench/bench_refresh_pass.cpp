// The panel's 50 ms refresh pass over the real daemon, in property round trips: one pass without
// discovery (the driver tracked, its telemetry read), one that also polls the route report, and
// one with discovery (the device inventory, the listening output), each divided by one property
// read round trip to the same daemon measured in the same run. The pass runs 20 times a second
// for the panel's whole life; its plain form should cost at most 8 round trips.
//
// Each benchmark also counts the hardware calls a pass makes ("calls" per pass): every call is one
// round trip to the daemon, so that figure does not depend on how busy the machine is.
#include "audiosim/client/remote_hardware.h"
#include "audiosim/client/remote_services.h"
#include "bench/daemon_process.h"
#include "bench/ratio_reporter.h"
#include "panel/audio_model.h"
#include "platform/clock.h"
#include "platform/defaults_store.h"
#include "platform/linux_application_services.h"
#include "platform/manual_main_thread.h"
#include "tests/support/model_fixture.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

using namespace platform::audio;
using korvane::bench::DaemonProcess;
using korvane::panel::AudioModel;

constexpr AudioObjectPropertyAddress kNominalRate{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};

// One daemon for the whole program: the round trip and the passes meet the same one.
DaemonProcess& daemon() {
    static DaemonProcess process;
    return process;
}

std::shared_ptr<audiosim::DaemonConnection> connect() {
    daemon();
    std::string error;
    std::shared_ptr<audiosim::DaemonConnection> connection = audiosim::DaemonConnection::open(error);
    if (!connection) throw std::runtime_error(error);
    return connection;
}

void BM_PropertyReadRoundTrip(benchmark::State& state) {
    audiosim::RemoteHardware hardware(connect());
    for (auto _ : state) {
        double rate = 0;
        std::uint32_t size = sizeof rate;
        benchmark::DoNotOptimize(hardware.getPropertyData(4, kNominalRate, nullptr, size, &rate));
    }
}

// Counts the calls that reach the daemon.
class CountingHardware final : public korvane::test::ForwardingHardware {
public:
    using ForwardingHardware::ForwardingHardware;
    std::uint64_t calls = 0;

    bool hasProperty(AudioObjectID o, const Address& a) override { return ++calls, inner_.hasProperty(o, a); }
    OSStatus isPropertySettable(AudioObjectID o, const Address& a, bool& s) override {
        return ++calls, inner_.isPropertySettable(o, a, s);
    }
    OSStatus getPropertyDataSize(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& s) override {
        return ++calls, inner_.getPropertyDataSize(o, a, q, s);
    }
    OSStatus getPropertyData(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& s,
                             void* d) override {
        return ++calls, inner_.getPropertyData(o, a, q, s, d);
    }
    OSStatus setPropertyData(AudioObjectID o, const Address& a, std::uint32_t s, const void* d) override {
        return ++calls, inner_.setPropertyData(o, a, s, d);
    }
    OSStatus getPropertyObject(AudioObjectID o, const Address& a, const PropertyList* q, PropertyList& v) override {
        return ++calls, inner_.getPropertyObject(o, a, q, v);
    }
    OSStatus setPropertyObject(AudioObjectID o, const Address& a, const PropertyList& v) override {
        return ++calls, inner_.setPropertyObject(o, a, v);
    }
};

// A panel model over the daemon, as the program builds it, with no helper to start: its route
// request and preferences go to a private directory.
struct Panel {
    std::shared_ptr<audiosim::DaemonConnection> connection = connect();
    audiosim::RemoteHardware remote{connection};
    CountingHardware hardware{remote};
    audiosim::RemoteQueueService queues{connection};
    ScopedHardware installed{hardware};
    platform::ManualClock clock;
    platform::ManualMainThread mainThread{clock};
    platform::SystemUptimeClock uptime;
    platform::SystemWallClock wallClock;
    platform::MemoryDefaultsStore defaults;
    platform::LinuxApplicationServices applications;
    std::shared_ptr<AudioModel> model;

    Panel() {
        const auto data = std::filesystem::temp_directory_path() / ("korvane-bench-data-" + std::to_string(::getpid()));
        std::filesystem::create_directories(data);
        ::setenv("XDG_DATA_HOME", data.c_str(), 1);
        model = AudioModel::create({mainThread, uptime, wallClock, defaults, applications, queues});
        // No automatic start: the passes measure the panel watching, not a helper launching.
        model->prepareForQuit();
        model->setIsQuitting(false);
        model->refreshDevices();
        if (model->device() == 0) throw std::runtime_error("the model does not see the KORVANE device");
    }
};

enum class PassKind { plain, reportPoll, discovery };

PassKind kindOfNextPass(const AudioModel& model) {
    const auto next = model.discoveryTick() + 1;
    if (next % korvane::panel::kDiscoveryEvery == 1) return PassKind::discovery;
    if (next % korvane::panel::kReportPollEvery == 1) return PassKind::reportPoll;
    return PassKind::plain;
}

// Times only passes of `kind`; the passes between them run untimed, so the model's schedule stays
// the real one.
void measurePasses(benchmark::State& state, PassKind kind) {
    Panel panel;
    std::uint64_t calls = 0;
    for (auto _ : state) {
        while (kindOfNextPass(*panel.model) != kind) panel.model->refresh();
        const std::uint64_t before = panel.hardware.calls;
        const auto start = std::chrono::steady_clock::now();
        panel.model->refresh();
        const auto end = std::chrono::steady_clock::now();
        calls += panel.hardware.calls - before;
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["calls"] = benchmark::Counter(double(calls), benchmark::Counter::kAvgIterations);
}

void BM_RefreshPassPlain(benchmark::State& state) { measurePasses(state, PassKind::plain); }
void BM_RefreshPassWithReportPoll(benchmark::State& state) { measurePasses(state, PassKind::reportPoll); }
void BM_RefreshPassWithDiscovery(benchmark::State& state) { measurePasses(state, PassKind::discovery); }

// Twenty passes in their real mix: one second of the panel's refresh.
void BM_RefreshSecond(benchmark::State& state) {
    Panel panel;
    const std::uint64_t before = panel.hardware.calls;
    for (auto _ : state) {
        for (int pass = 0; pass < 20; ++pass) panel.model->refresh();
    }
    state.counters["calls"] = benchmark::Counter(double(panel.hardware.calls - before), benchmark::Counter::kAvgIterations);
}

// Medians of five: the machine is shared, and a single run can land on a busy moment.
BENCHMARK(BM_PropertyReadRoundTrip)->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RefreshPassPlain)->UseManualTime()->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RefreshPassWithReportPoll)->UseManualTime()->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RefreshPassWithDiscovery)->UseManualTime()->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RefreshSecond)->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    return korvane::bench::runWithRatios(argc, argv, [](const korvane::bench::TimingReporter& reporter) {
        reporter.printRatio("plain refresh pass / property read round trip", "BM_RefreshPassPlain",
                            "BM_PropertyReadRoundTrip");
        reporter.printRatio("pass with report poll / property read round trip",
                            "BM_RefreshPassWithReportPoll", "BM_PropertyReadRoundTrip");
        reporter.printRatio("pass with discovery / property read round trip",
                            "BM_RefreshPassWithDiscovery", "BM_PropertyReadRoundTrip");
        reporter.printRatio("one second of passes (20) / property read round trip", "BM_RefreshSecond",
                            "BM_PropertyReadRoundTrip");
    });
}
