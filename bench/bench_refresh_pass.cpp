// The panel's 50 ms refresh pass over the real daemon, in property round trips: one pass without
// discovery (the driver tracked, its telemetry read), one that also polls the route report, and
// one with discovery (the device inventory, the listening output), each divided by one property
// read round trip to the same daemon measured in the same run. The pass runs 20 times a second
// for the panel's whole life; its plain form should cost at most 8 round trips.
//
// Each benchmark also counts the hardware calls a pass makes ("calls" per pass): every call is one
// round trip to the daemon, so that figure does not depend on how busy the machine is.
//
// Where the PipeWire backend is built, the same passes are also timed over a private PipeWire and
// WirePlumber (korvane-driver and a few null sinks), beside the audiosim ones: there a call reads
// the backend's cache, so "calls" are no round trips; "waits" counts the waits for the server and
// "messages" what the whole process sent to any server while the passes ran (both should be 0).
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

#ifdef KORVANE_BENCH_PIPEWIRE
#include "pipewire_audio/pipewire_hardware.h"
#include "pipewire_audio/pipewire_services.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"

#include <atomic>
#include <dlfcn.h>
#include <sys/socket.h>
#endif

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

// A panel model over `backend`, as the program builds it, with no helper to start: its route
// request and preferences go to a private directory.
struct PanelModel {
    CountingHardware hardware;
    ScopedHardware installed{hardware};
    platform::ManualClock clock;
    platform::ManualMainThread mainThread{clock};
    platform::SystemUptimeClock uptime;
    platform::SystemWallClock wallClock;
    platform::MemoryDefaultsStore defaults;
    platform::LinuxApplicationServices applications;
    std::shared_ptr<AudioModel> model;

    PanelModel(AudioHardware& backend, AudioQueueService& queues) : hardware(backend) {
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

// The panel over the audiosim daemon.
struct Panel {
    std::shared_ptr<audiosim::DaemonConnection> connection = connect();
    audiosim::RemoteHardware remote{connection};
    audiosim::RemoteQueueService queues{connection};
    PanelModel panel{remote, queues};
};

enum class PassKind { plain, reportPoll, discovery };

PassKind kindOfNextPass(const AudioModel& model) {
    const auto next = model.discoveryTick() + 1;
    if (next % korvane::panel::kDiscoveryEvery == 1) return PassKind::discovery;
    if (next % korvane::panel::kReportPollEvery == 1) return PassKind::reportPoll;
    return PassKind::plain;
}

// What a pass costs beyond its time; nothing by default.
struct NoServerCounts {
    void start() {}
    void stop() {}
    void report(benchmark::State&) const {}
};

// Times only passes of `kind`; the passes between them run untimed, so the model's schedule stays
// the real one.
template <class Backend, class ServerCounts = NoServerCounts>
void measurePasses(benchmark::State& state, PassKind kind) {
    Backend backend;
    PanelModel& panel = backend.panel;
    ServerCounts server;
    std::uint64_t calls = 0;
    for (auto _ : state) {
        while (kindOfNextPass(*panel.model) != kind) panel.model->refresh();
        const std::uint64_t before = panel.hardware.calls;
        server.start();
        const auto start = std::chrono::steady_clock::now();
        panel.model->refresh();
        const auto end = std::chrono::steady_clock::now();
        server.stop();
        calls += panel.hardware.calls - before;
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.counters["calls"] = benchmark::Counter(double(calls), benchmark::Counter::kAvgIterations);
    server.report(state);
}

void BM_RefreshPassPlain(benchmark::State& state) { measurePasses<Panel>(state, PassKind::plain); }
void BM_RefreshPassWithReportPoll(benchmark::State& state) { measurePasses<Panel>(state, PassKind::reportPoll); }
void BM_RefreshPassWithDiscovery(benchmark::State& state) { measurePasses<Panel>(state, PassKind::discovery); }

// Twenty passes in their real mix: one second of the panel's refresh.
void BM_RefreshSecond(benchmark::State& state) {
    Panel backend;
    PanelModel& panel = backend.panel;
    const std::uint64_t before = panel.hardware.calls;
    for (auto _ : state) {
        for (int pass = 0; pass < 20; ++pass) panel.model->refresh();
    }
    state.counters["calls"] = benchmark::Counter(double(panel.hardware.calls - before), benchmark::Counter::kAvgIterations);
}

#ifdef KORVANE_BENCH_PIPEWIRE
// Waits for the PipeWire server (GraphConnection's waits, a round trip's included) and messages
// sent to any server, counted in this program in front of the libraries' own functions: the
// program is linked with its symbols exported, so libpipewire's protocol module meets this
// sendmsg first.
std::atomic<std::uint64_t> serverWaits{0};
std::atomic<std::uint64_t> messagesSent{0};

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int pw_thread_loop_timed_wait_full(pw_thread_loop* loop, timespec* deadline) {
    static const auto real = next<int (*)(pw_thread_loop*, timespec*)>("pw_thread_loop_timed_wait_full");
    serverWaits.fetch_add(1, std::memory_order_relaxed);
    return real(loop, deadline);
}

extern "C" void pw_thread_loop_wait(pw_thread_loop* loop) {
    static const auto real = next<void (*)(pw_thread_loop*)>("pw_thread_loop_wait");
    serverWaits.fetch_add(1, std::memory_order_relaxed);
    real(loop);
}

extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags) {
    static const auto real = next<ssize_t (*)(int, const msghdr*, int)>("sendmsg");
    messagesSent.fetch_add(1, std::memory_order_relaxed);
    return real(fd, message, flags);
}

namespace {

using korvane::pipewire_audio::GraphConnection;
using korvane::pipewire_audio::PipeWireHardware;
using korvane::pipewire_audio::PipeWireQueueService;

// A private PipeWire session with korvane-driver and three null sinks as the computer's outputs,
// and one connection to it, for the whole program. Made at the first PipeWire benchmark, after the
// audiosim ones, because the session takes over this process's runtime directory.
struct PipeWireWorld {
    korvane::test::PipeWireSession session;
    std::unique_ptr<korvane::test::RunningProgram> driver;
    std::shared_ptr<GraphConnection> connection;
    std::unique_ptr<PipeWireHardware> hardware;

    PipeWireWorld() {
        if (!session.ready()) throw std::runtime_error("the private PipeWire session did not start");
        driver = std::make_unique<korvane::test::RunningProgram>(std::vector<std::string>{korvane::test::driverProgram()});
        const char* sinks[][3] = {{"builtin.out", "Built-in Output", "device.bus=pci priority.session=2000"},
                                  {"usb.if", "USB Interface", "device.bus=usb priority.session=1000"},
                                  {"hdmi.out", "HDMI Output", "device.bus=pci device.form-factor=hdmi"}};
        for (const auto& sink : sinks)
            if (session.run({"pw-cli", "create-node", "adapter",
                             std::string("{ factory.name=support.null-audio-sink node.name=") + sink[0] +
                                 " node.description=\"" + sink[1] +
                                 "\" media.class=Audio/Sink object.linger=true audio.position=[FL FR] " + sink[2] +
                                 " }"}) != 0)
                throw std::runtime_error("a null sink could not be made");
        std::string error;
        connection = GraphConnection::open(error);
        if (!connection) throw std::runtime_error(error);
        hardware = std::make_unique<PipeWireHardware>(connection);
        const bool seen = korvane::test::waitUntil([&] {
            return deviceForUID(*hardware, "audio.ravlin.stereo.v1") && deviceForUID(*hardware, "builtin.out") &&
                   deviceForUID(*hardware, "usb.if") && deviceForUID(*hardware, "hdmi.out");
        }, std::chrono::seconds(15));
        if (!seen) throw std::runtime_error("korvane-driver or the null sinks did not appear");
    }
};

PipeWireWorld& pipeWireWorld() {
    static PipeWireWorld world;
    return world;
}

// The panel over the PipeWire backend, as the program builds it (one hardware and queue service on
// one connection).
struct PipeWirePanel {
    PipeWireWorld& world = pipeWireWorld();
    PipeWireQueueService queues{world.connection};
    PanelModel panel{*world.hardware, queues};
};

// Server waits and messages sent during the timed passes, per pass.
class PipeWireServerCounts {
public:
    PipeWireServerCounts() {
        // The counters must see what they claim not to see: one round trip is one wait and one
        // message at least.
        const auto waits = serverWaits.load();
        const auto messages = messagesSent.load();
        GraphConnection& connection = *pipeWireWorld().connection;
        bool answered = false;
        {
            GraphConnection::Lock lock(connection);
            answered = connection.roundTrip();
        }
        if (!answered || serverWaits.load() == waits || messagesSent.load() == messages)
            throw std::runtime_error("the server wait and message counters do not see a round trip");
    }
    void start() {
        waitsAtStart_ = serverWaits.load();
        messagesAtStart_ = messagesSent.load();
    }
    void stop() {
        waits_ += serverWaits.load() - waitsAtStart_;
        messages_ += messagesSent.load() - messagesAtStart_;
    }
    void report(benchmark::State& state) const {
        state.counters["waits"] = benchmark::Counter(double(waits_), benchmark::Counter::kAvgIterations);
        state.counters["messages"] = benchmark::Counter(double(messages_), benchmark::Counter::kAvgIterations);
    }

private:
    std::uint64_t waitsAtStart_ = 0, messagesAtStart_ = 0, waits_ = 0, messages_ = 0;
};

void BM_PipeWireRefreshPassPlain(benchmark::State& state) {
    measurePasses<PipeWirePanel, PipeWireServerCounts>(state, PassKind::plain);
}
void BM_PipeWireRefreshPassWithReportPoll(benchmark::State& state) {
    measurePasses<PipeWirePanel, PipeWireServerCounts>(state, PassKind::reportPoll);
}
void BM_PipeWireRefreshPassWithDiscovery(benchmark::State& state) {
    measurePasses<PipeWirePanel, PipeWireServerCounts>(state, PassKind::discovery);
}
#endif

// Medians of five: the machine is shared, and a single run can land on a busy moment.
BENCHMARK(BM_PropertyReadRoundTrip)->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RefreshPassPlain)->UseManualTime()->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RefreshPassWithReportPoll)->UseManualTime()->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RefreshPassWithDiscovery)->UseManualTime()->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_RefreshSecond)->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
#ifdef KORVANE_BENCH_PIPEWIRE
BENCHMARK(BM_PipeWireRefreshPassPlain)->UseManualTime()->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_PipeWireRefreshPassWithReportPoll)->UseManualTime()->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_PipeWireRefreshPassWithDiscovery)->UseManualTime()->MinTime(0.3)->Repetitions(5)->ReportAggregatesOnly(true);
#endif

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
#ifdef KORVANE_BENCH_PIPEWIRE
        reporter.printRatio("plain refresh pass, audiosim / PipeWire", "BM_RefreshPassPlain",
                            "BM_PipeWireRefreshPassPlain");
        reporter.printRatio("pass with report poll, audiosim / PipeWire", "BM_RefreshPassWithReportPoll",
                            "BM_PipeWireRefreshPassWithReportPoll");
        reporter.printRatio("pass with discovery, audiosim / PipeWire", "BM_RefreshPassWithDiscovery",
                            "BM_PipeWireRefreshPassWithDiscovery");
#endif
    });
}
