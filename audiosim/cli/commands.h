// The audiosim command line's commands: each acts like a person at the computer, prints what a
// script or a person reads, and returns the exit status (errors: one sentence on stderr).
#pragma once

#include <optional>
#include <string>

namespace audiosim::cli {

int server(const std::string& config);
int devices(bool json);
int defaultOutput(const std::optional<std::string>& uid);
int play(const std::string& file, const std::optional<std::string>& device);
int record(const std::string& uid, const std::string& file, double seconds, bool output);
int plug(const std::string& uid, bool plugged);
int setRate(const std::string& uid, double rate);
int volume(const std::string& uid, const std::optional<double>& level);
struct InputSignal {
    std::optional<double> sine;
    double level = -12.0;
    std::optional<std::string> wav;
    bool silence = false;
};
int input(const std::string& uid, const InputSignal& signal);
int permission(const std::optional<std::string>& status, const std::optional<std::string>& answer,
               const std::optional<double>& delay);
int stats(bool json);
int tone(const std::string& file, double hertz, double seconds, double levelDbfs);

}  // namespace audiosim::cli
