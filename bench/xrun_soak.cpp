// Runs a route (interface input to speakers, through KORVANE) over a private audiosim daemon for a
// while and compares its xruns with the deadlines that a timer-only thread of the same period
// misses in the same run. Usage: xrun_soak SECONDS FRAMES [--busy]
// --busy keeps one core spinning meanwhile.
#include "audiosim/client/remote_hardware.h"
#include "platform/realtime_thread.h"
#include "bench/daemon_process.h"
#include "router/engine/route_engine.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: xrun_soak SECONDS FRAMES [--busy]\n");
        return 2;
    }
    const double seconds = std::stod(argv[1]);
    const int frames = std::stoi(argv[2]);
    const bool busy = argc > 3 && std::strcmp(argv[3], "--busy") == 0;
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
    RavlinRouteStop(route);
    running = false;
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
    return 0;
}
