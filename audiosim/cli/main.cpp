// audiosim: the Linux stand-in for the audio platform. `audiosim server` is the per-user daemon;
// the other commands act on it like a person at the computer.
#include "audiosim/cli/commands.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <csignal>
#include <cstdlib>

namespace {

// Refuses NaN and the infinities, which compare false with every bound and so pass a range check.
// Text that is not a number at all is left to the option's own conversion to refuse.
const CLI::Validator kFinite(
    [](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || std::isfinite(value)) return {};
        return "must be a finite number, not " + text;
    },
    "FINITE");

}  // namespace

int main(int argc, char** argv) {
    using namespace audiosim;
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"audiosim: a simulated audio machine for KORVANE on Linux"};
    app.require_subcommand(1);
    // Every error is one line on stderr, as the commands' own are.
    app.failure_message([](const CLI::App*, const CLI::Error& error) { return "audiosim: " + std::string(error.what()) + "\n"; });
    int status = 0;

    std::string config;
    auto* server = app.add_subcommand("server", "Run the daemon in the foreground");
    server->add_option("--config", config, "JSON machine description (default: $AUDIOSIM_CONFIG or the built-in machine)");
    server->callback([&] { status = cli::server(config); });

    bool json = false;
    auto* devices = app.add_subcommand("devices", "List the devices");
    devices->add_flag("--json", json, "Print a JSON array");
    devices->callback([&] { status = cli::devices(json); });

    std::optional<std::string> uid;
    auto* defaultOutput = app.add_subcommand("default-output", "Print or set the default output");
    defaultOutput->add_option("UID", uid, "The device to make the default output");
    defaultOutput->callback([&] { status = cli::defaultOutput(uid); });

    std::string file;
    std::optional<std::string> device;
    auto* play = app.add_subcommand("play", "Play a WAV file as the computer's own playback");
    play->add_option("FILE", file, "WAV file")->required();
    play->add_option("--device", device, "Play into this device instead of the default output");
    play->callback([&] { status = cli::play(file, device); });

    std::string recordUID;
    double seconds = 0;
    bool output = false;
    auto* record = app.add_subcommand("record", "Record a device's input (as a DAW would) or its output");
    record->add_option("UID", recordUID, "Device")->required();
    record->add_option("FILE", file, "WAV file to write")->required();
    record->add_option("--seconds", seconds, "How long")->required()->check(kFinite)->check(CLI::Range(0.001, 3600.0));
    record->add_flag("--output", output, "Record what the device's output receives");
    record->callback([&] { status = cli::record(recordUID, file, seconds, output); });

    std::string deviceUID;
    auto* plug = app.add_subcommand("plug", "Plug a device in");
    plug->add_option("UID", deviceUID)->required();
    plug->callback([&] { status = cli::plug(deviceUID, true); });
    auto* unplug = app.add_subcommand("unplug", "Unplug a device");
    unplug->add_option("UID", deviceUID)->required();
    unplug->callback([&] { status = cli::plug(deviceUID, false); });

    double rate = 0;
    auto* setRate = app.add_subcommand("set-rate", "Change a device's nominal sample rate");
    setRate->add_option("UID", deviceUID)->required();
    setRate->add_option("HZ", rate)->required()->check(kFinite)->check(CLI::PositiveNumber);
    setRate->callback([&] { status = cli::setRate(deviceUID, rate); });

    std::optional<double> level;
    auto* volume = app.add_subcommand("volume", "Print or set a device's output volume (0 to 1)");
    volume->add_option("UID", deviceUID)->required();
    volume->add_option("LEVEL", level)->check(kFinite)->check(CLI::Range(0.0, 1.0));
    volume->callback([&] { status = cli::volume(deviceUID, level); });

    cli::InputSignal signal;
    auto* input = app.add_subcommand("input", "Choose what a physical input produces");
    input->add_option("UID", deviceUID)->required();
    auto* sine = input->add_option("--sine", signal.sine, "A sine of this frequency (Hz)")
                     ->check(kFinite)
                     ->check(CLI::PositiveNumber)
                     ->check(CLI::Range(0.0, 999999.0));
    input->add_option("--level", signal.level, "Peak level of the sine (dBFS)")->check(kFinite)->check(CLI::Range(-200.0, 0.0))->needs(sine);
    auto* wav = input->add_option("--wav", signal.wav, "A WAV file, looped (first channel)");
    auto* silence = input->add_flag("--silence", signal.silence, "Nothing");
    sine->excludes(wav)->excludes(silence);
    wav->excludes(silence);
    input->callback([&] { status = cli::input(deviceUID, signal); });

    std::optional<std::string> permissionStatus;
    std::optional<std::string> answer;
    std::optional<double> delay;
    auto* permission = app.add_subcommand("permission", "Print or set the capture permission");
    permission->add_option("STATUS", permissionStatus)
        ->check(CLI::IsMember({"not-determined", "restricted", "denied", "authorized"}));
    permission->add_option("--answer", answer, "What a request is answered while not determined")
        ->check(CLI::IsMember({"granted", "denied"}));
    permission->add_option("--delay", delay, "Seconds before a request is answered")->check(kFinite)->check(CLI::Range(0.0, 60.0));
    permission->callback([&] { status = cli::permission(permissionStatus, answer, delay); });

    auto* stats = app.add_subcommand("stats", "Print cycle and xrun counts");
    stats->add_flag("--json", json, "Print a JSON object");
    stats->callback([&] { status = cli::stats(json); });

    double hertz = 440;
    double toneSeconds = 1;
    double toneLevel = -12;
    auto* tone = app.add_subcommand("tone", "Write a stereo sine tone to a WAV file (48 kHz, 32-bit float)");
    tone->add_option("FILE", file, "WAV file to write")->required();
    tone->add_option("--hz", hertz, "Frequency (default 440)")->check(kFinite)->check(CLI::Range(1.0, 24000.0));
    tone->add_option("--seconds", toneSeconds, "Length (default 1)")->check(kFinite)->check(CLI::Range(0.001, 3600.0));
    tone->add_option("--level", toneLevel, "Peak level in dBFS (default -12)")->check(kFinite)->check(CLI::Range(-200.0, 0.0));
    tone->callback([&] { status = cli::tone(file, hertz, toneSeconds, toneLevel); });

    CLI11_PARSE(app, argc, argv);
    return status;
}
