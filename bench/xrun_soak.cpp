// Runs a route (interface input to speakers, through KORVANE) over a private audiosim daemon for a
// while and compares its xruns with the deadlines that a timer-only thread of the same period
// misses in the same run. Usage: xrun_soak SECONDS FRAMES [--busy] [--clients N]
// --busy keeps one core spinning meanwhile; --clients N runs N more clients of the daemon, each
// listing the devices in a loop (as panels and helpers polling the machine do), and reports how
// long their calls took.
#include "audiosim/client/remote_hardware.h"
#include "platform/realtime_thread.h"
#include "bench/daemon_process.h"
#include "router/engine/route_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace platform::audio;
using Clock = std::chrono::steady_clock;

std::string machine(int frames) {
    const std::string size = std::to_string(frames);
    return R"({"devices": [
        {"uid": "USBInterface:2in2out", "name": "USB Audio Interface", "transport": "usb ", "inputs": [2],
         "outputs": [2], "bufferFrames": )" + size + R"(, "signal": {"sine": 440, "levelDbfs": -12}},
        {"uid": "BuiltInSpeakerDevice", "name": "Built-in Speakers", "transport": "bltn", "outputs": [2],
         "bufferFrames": )" + size + R"(},
        {"korvane": true}], "defaultOutput": "BuiltInSpeakerDevice"})";
}

// One client listing the devices with what a device list shows (UID, name, transport, streams,
// rate) until `running` ends; adds each call's duration in microseconds to `durations`.
void listDevicesUntil(const std::atomic<bool>& running, std::vector<std::uint32_t>& durations) {
    std::string error;
    auto connection = std::shared_ptr<audiosim::DaemonConnection>(audiosim::DaemonConnection::open(error));
    if (!connection) return;
    audiosim::RemoteHardware hardware(connection);
    const auto timed = [&](auto&& call) {
        const auto start = Clock::now();
        call();
        durations.push_back(std::uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()));
    };
    while (running.load(std::memory_order_relaxed)) {
        AudioObjectID ids[64] = {};
        std::uint32_t size = sizeof ids;
        timed([&] { hardware.getPropertyData(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices), nullptr, size, ids); });
        for (std::uint32_t i = 0; i < size / sizeof(AudioObjectID) && running.load(std::memory_order_relaxed); ++i) {
            PropertyList text;
            timed([&] { hardware.getPropertyObject(ids[i], globalAddress(kAudioDevicePropertyDeviceUID), nullptr, text); });
            timed([&] { hardware.getPropertyObject(ids[i], globalAddress(kAudioObjectPropertyName), nullptr, text); });
            std::uint32_t transport = 0;
            std::uint32_t transportSize = sizeof transport;
            timed([&] { hardware.getPropertyData(ids[i], globalAddress(kAudioDevicePropertyTransportType), nullptr, transportSize, &transport); });
            for (const FourCharCode scope : {kAudioObjectPropertyScopeInput, kAudioObjectPropertyScopeOutput}) {
                AudioBuffer storage[9] = {};
                std::uint32_t listSize = sizeof storage;
                timed([&] { hardware.getPropertyData(ids[i], {kAudioDevicePropertyStreamConfiguration, scope, 0}, nullptr, listSize, storage); });
            }
            double rate = 0;
            std::uint32_t rateSize = sizeof rate;
            timed([&] { hardware.getPropertyData(ids[i], globalAddress(kAudioDevicePropertyNominalSampleRate), nullptr, rateSize, &rate); });
        }
    }
}

std::uint32_t percentile(std::vector<std::uint32_t>& values, double fraction) {
    if (values.empty()) return 0;
    const auto at = values.begin() + std::ptrdiff_t(double(values.size() - 1) * fraction);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

}  // namespace

int main(int argc, char** argv) {
    const auto usage = [] {
        std::fprintf(stderr, "usage: xrun_soak SECONDS FRAMES [--busy] [--clients N]\n");
        return 2;
    };
    if (argc < 3) return usage();
    const double seconds = std::stod(argv[1]);
    const int frames = std::stoi(argv[2]);
    bool busy = false;
    int clients = 0;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--busy") == 0)
            busy = true;
        else if (std::strcmp(argv[i], "--clients") == 0 && i + 1 < argc)
            clients = std::clamp(std::atoi(argv[++i]), 0, 200);
        else
            return usage();
    }
    if (!(seconds > 0 && seconds < 1e6) || frames < 16 || frames > 4096) return usage();
    korvane::bench::DaemonProcess daemon(machine(frames));

    std::atomic<bool> running{true};
    std::thread spinner;
    if (busy)
        spinner = std::thread([&] {
            volatile std::uint64_t work = 0;
            while (running.load(std::memory_order_relaxed)) work = work + 1;
        });

    std::string error;
    auto connection = std::shared_ptr<audiosim::DaemonConnection>(audiosim::DaemonConnection::open(error));
    audiosim::RemoteHardware hardware(connection);
    ScopedHardware installed(hardware);
    char message[512] = {};
    RouteState* route = RavlinRouteStart(deviceForUID(hardware, "USBInterface:2in2out"), deviceForUID(hardware, "BuiltInSpeakerDevice"),
                                         message, sizeof message);
    if (!route) {
        std::fprintf(stderr, "xrun_soak: %s\n", message);
        return 1;
    }

    std::vector<std::vector<std::uint32_t>> durations(static_cast<std::size_t>(clients));
    std::vector<std::thread> listers;
    for (auto& own : durations) listers.emplace_back([&running, &own] { listDevicesUntil(running, own); });

    // The timer-only thread (this one, with the scheduling the audio threads get): wakes at
    // anchor + k × period and counts wake-ups more than a period late.
    platform::requestRealTimeScheduling(platform::kCallbackThreadPriority);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(frames / 48000.0));
    std::uint64_t timerCycles = 0;
    std::uint64_t timerMisses = 0;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    auto anchor = Clock::now();
    std::uint64_t k = 0;
    while (Clock::now() < end) {
        std::this_thread::sleep_until(anchor + period * std::int64_t(++k));
        ++timerCycles;
        if (Clock::now() - (anchor + period * std::int64_t(k)) > period) {
            ++timerMisses;
            anchor = Clock::now();
            k = 0;
        }
    }
    const std::uint64_t routeCycles = RavlinRouteCycles(route);
    const auto stats = connection->call(audiosim::wire::Message{{"op", "stats"}});
    running = false;
    for (auto& lister : listers) lister.join();
    RavlinRouteStop(route);
    if (spinner.joinable()) spinner.join();

    // The route's own xruns: its aggregate's late cycles and its callback's missed deadlines. The
    // devices inside it count their own late cycles too, so the total counts one stall up to
    // four times.
    std::uint64_t routeXruns = 0;
    if (stats)
        for (const auto& device : (*stats)["devices"])
            if (device["uid"].get<std::string>().starts_with("audio.ravlin.route.")) routeXruns += device["xruns"].get<std::uint64_t>();
    std::printf("%.0f s at %d frames%s: route cycles %llu, route xruns %llu (all devices: %llu); "
                "timer-only thread: %llu cycles, %llu missed\n",
                seconds, frames, busy ? " with the other core busy" : " idle", (unsigned long long)routeCycles,
                (unsigned long long)routeXruns, stats ? (unsigned long long)(*stats)["xruns"].get<std::uint64_t>() : 0ULL,
                (unsigned long long)timerCycles, (unsigned long long)timerMisses);
    if (clients > 0) {
        std::vector<std::uint32_t> all;
        for (const auto& own : durations) all.insert(all.end(), own.begin(), own.end());
        const std::size_t calls = all.size();
        const std::uint32_t median = percentile(all, 0.5);
        const std::uint32_t p99 = percentile(all, 0.99);
        std::printf("%d clients listing devices: %zu calls, median %.2f ms, 99th percentile %.2f ms\n", clients, calls,
                    median / 1000.0, p99 / 1000.0);
    }
    return 0;
}
