// audiosim against the bare mechanisms it is built on, each pair measured in the same run:
//  - a property read round trip to the daemon ÷ a bare Unix-socket echo round trip with another
//    process;
//  - the latency of a cycle's wake-up of a client callback thread (p50 and p99.9) ÷ that of a raw
//    futex wake-up of another process.
#include "audiosim/client/remote_hardware.h"
#include "audiosim/protocol/shared_cycle.h"
#include "bench/daemon_process.h"
#include "bench/ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <sys/mman.h>
#include <sys/socket.h>
#include <vector>

namespace {

using namespace platform::audio;
using korvane::bench::DaemonProcess;

constexpr AudioObjectPropertyAddress kNominalRate{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0};

std::map<std::string, double> results;  // figures for the ratios printed at the end

std::unique_ptr<audiosim::RemoteHardware> connect() {
    std::string error;
    std::shared_ptr<audiosim::DaemonConnection> connection = audiosim::DaemonConnection::open(error);
    if (!connection) throw std::runtime_error(error);
    return std::make_unique<audiosim::RemoteHardware>(std::move(connection));
}

void BM_PropertyReadRoundTrip(benchmark::State& state) {
    DaemonProcess daemon;
    auto hardware = connect();
    for (auto _ : state) {
        double rate = 0;
        std::uint32_t size = sizeof rate;
        benchmark::DoNotOptimize(hardware->getPropertyData(4, kNominalRate, nullptr, size, &rate));
    }
}

// A request of about the property read's size, echoed by another process.
void BM_SocketEchoRoundTrip(benchmark::State& state) {
    int pair[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pair[0]);
        char buffer[256];
        for (ssize_t n; (n = ::read(pair[1], buffer, sizeof buffer)) > 0;) ::write(pair[1], buffer, std::size_t(n));
        ::_exit(0);
    }
    ::close(pair[1]);
    char message[96] = {};
    char reply[96];
    for (auto _ : state) {
        ::write(pair[0], message, sizeof message);
        std::size_t got = 0;
        while (got < sizeof reply) got += std::size_t(::read(pair[0], reply + got, sizeof reply - got));
    }
    ::close(pair[0]);
    ::waitpid(child, nullptr, 0);
}

struct Percentiles {
    double p50 = 0;
    double p999 = 0;
};

Percentiles percentiles(std::vector<std::uint64_t> samples) {
    std::sort(samples.begin(), samples.end());
    if (samples.empty()) return {};
    return {double(samples[samples.size() / 2]), double(samples[std::min(samples.size() - 1, samples.size() * 999 / 1000)])};
}

// The time from the daemon's wake-up of a cycle to the client's callback running.
struct LatencyRecorder {
    std::vector<std::uint64_t> samples = std::vector<std::uint64_t>(1 << 16);
    std::atomic<std::size_t> count{0};
    static OSStatus record(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList*, const AudioTimeStamp*,
                           AudioBufferList*, const AudioTimeStamp*, void* context) {
        auto* self = static_cast<LatencyRecorder*>(context);
        const std::size_t i = self->count.load(std::memory_order_relaxed);
        if (i < self->samples.size() && now->mHostTime) {
            self->samples[i] = audiosim::monotonicNanoseconds() - now->mHostTime;
            self->count.store(i + 1, std::memory_order_release);
        }
        return 0;
    }
};

constexpr int kWakeUps = 3000;

void BM_CycleWakeLatency(benchmark::State& state) {
    // Speakers at 64 frames: 750 cycles a second.
    DaemonProcess daemon(R"({"devices": [{"uid": "fast", "name": "Fast Speakers", "transport": "bltn",
                                         "outputs": [2], "bufferFrames": 64}], "defaultOutput": "fast"})");
    auto hardware = connect();
    LatencyRecorder recorder;
    for (auto _ : state) {
        AudioDeviceIOProcID proc = nullptr;
        hardware->createIOProcID(2, &LatencyRecorder::record, &recorder, proc);
        hardware->startDevice(2, proc);
        while (recorder.count.load(std::memory_order_acquire) < kWakeUps + 100) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        hardware->stopDevice(2, proc);
        hardware->destroyIOProcID(2, proc);
    }
    // The first cycles include the thread's start.
    const auto figures = percentiles({recorder.samples.begin() + 100, recorder.samples.begin() + kWakeUps + 100});
    state.counters["p50_us"] = figures.p50 / 1000;
    state.counters["p99.9_us"] = figures.p999 / 1000;
    results["wake p50"] = figures.p50;
    results["wake p99.9"] = figures.p999;
}

// A raw futex wake-up of another process at the same pace.
void BM_FutexWakeLatency(benchmark::State& state) {
    auto* shared = static_cast<audiosim::SharedCycle*>(
        ::mmap(nullptr, sizeof(audiosim::SharedCycle), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    new (shared) audiosim::SharedCycle();
    // The latencies, then how many were recorded (a wake-up the child was too slow to see alone
    // is recorded once for both).
    auto* latencies = static_cast<std::uint64_t*>(::mmap(nullptr, sizeof(std::uint64_t) * (kWakeUps + 1),
                                                         PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    std::uint64_t& recorded = latencies[kWakeUps];
    for (auto _ : state) {
        const pid_t child = ::fork();
        if (child == 0) {
            std::uint32_t seen = 0;
            while (seen < std::uint32_t(kWakeUps)) {
                const std::uint32_t sequence = shared->sequence.load(std::memory_order_acquire);
                if (sequence == seen) {
                    audiosim::futexWait(shared->sequence, seen, 100'000'000);
                    continue;
                }
                seen = sequence;
                latencies[recorded++] = audiosim::monotonicNanoseconds() - shared->wakeTime.load(std::memory_order_relaxed);
                shared->done.store(sequence, std::memory_order_release);
            }
            ::_exit(0);
        }
        const auto period = std::chrono::microseconds(1333);  // 64 frames at 48 kHz
        auto next = std::chrono::steady_clock::now();
        for (std::uint32_t i = 1; i <= kWakeUps; ++i) {
            next += period;
            std::this_thread::sleep_until(next);
            shared->wakeTime.store(audiosim::monotonicNanoseconds(), std::memory_order_relaxed);
            shared->sequence.store(i, std::memory_order_release);
            audiosim::futexWake(shared->sequence);
        }
        ::waitpid(child, nullptr, 0);
    }
    const auto figures = percentiles({latencies, latencies + recorded});
    state.counters["p50_us"] = figures.p50 / 1000;
    state.counters["p99.9_us"] = figures.p999 / 1000;
    results["futex p50"] = figures.p50;
    results["futex p99.9"] = figures.p999;
}

BENCHMARK(BM_PropertyReadRoundTrip)->MinTime(1.0);
BENCHMARK(BM_SocketEchoRoundTrip)->MinTime(1.0);
BENCHMARK(BM_CycleWakeLatency)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FutexWakeLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return korvane::bench::runWithRatios(argc, argv, [](const korvane::bench::TimingReporter& times) {
        times.printRatio("property read round trip / socket echo round trip", "BM_PropertyReadRoundTrip",
                         "BM_SocketEchoRoundTrip");
        if (results.count("wake p50") && results.count("futex p50") && results.at("futex p50") > 0) {
            std::printf("  cycle wake-up p50 / futex wake-up p50: %.2f\n", results.at("wake p50") / results.at("futex p50"));
            std::printf("  cycle wake-up p99.9 / futex wake-up p99.9: %.2f\n",
                        results.at("wake p99.9") / results.at("futex p99.9"));
        }
    });
}
