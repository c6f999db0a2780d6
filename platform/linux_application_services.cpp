#include "platform/linux_application_services.h"

#include "platform/bundle.h"
#include "platform/detached_launch.h"
#include "platform/running_processes.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace platform {

namespace fs = std::filesystem;

namespace {

// Real os-release files are well below 1 KiB.
constexpr std::size_t kMaximumOsReleaseBytes = 16 * 1024;
constexpr std::size_t kMaximumPartLength = 120;

// The value of `key` in os-release syntax: KEY=value, KEY="value" or KEY='value', with backslash
// escapes inside double quotes.
std::string osReleaseValue(std::string_view text, std::string_view key) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.starts_with(key) || line.substr(key.size()).substr(0, 1) != "=") continue;
        std::string_view raw = line.substr(key.size() + 1);
        while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\r')) raw.remove_suffix(1);
        std::string value;
        if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
            const bool escapes = raw.front() == '"';
            raw = raw.substr(1, raw.size() - 2);
            for (std::size_t i = 0; i < raw.size(); ++i) {
                if (escapes && raw[i] == '\\' && i + 1 < raw.size()) ++i;
                value += raw[i];
            }
        } else {
            value = raw;
        }
        return value;
    }
    return {};
}

// Keeps printable text on one line, at most kMaximumPartLength bytes without cutting a UTF-8
// sequence.
std::string tidy(std::string_view text) {
    std::string kept;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) continue;
        kept += c;
    }
    if (kept.size() > kMaximumPartLength) {
        std::size_t cut = kMaximumPartLength;
        while (cut > 0 && (static_cast<unsigned char>(kept[cut]) & 0xC0) == 0x80) --cut;
        kept.resize(cut);
        kept += "…";
    }
    while (!kept.empty() && kept.back() == ' ') kept.pop_back();
    return kept;
}

}  // namespace

std::string describeOperatingSystem(std::string_view osRelease, std::string_view kernelName,
                                    std::string_view kernelRelease, std::string_view machine) {
    std::string system = tidy(osReleaseValue(osRelease, "PRETTY_NAME"));
    if (system.empty()) {
        const std::string name = tidy(osReleaseValue(osRelease, "NAME"));
        const std::string version = tidy(osReleaseValue(osRelease, "VERSION"));
        system = name.empty() ? "Linux" : version.empty() ? name : name + " " + version;
    }
    std::string kernel;
    for (const auto part : {kernelName, kernelRelease, machine}) {
        const std::string text = tidy(part);
        if (text.empty()) continue;
        if (!kernel.empty()) kernel += ' ';
        kernel += text;
    }
    return kernel.empty() ? system : system + " · " + kernel;
}

std::optional<fs::path> LinuxApplicationServices::mainBundleLocation() const {
    const auto executable = processExecutable(::getpid());
    return executable ? bundle::bundleOfExecutable(*executable) : std::nullopt;
}

std::optional<BundleInfo> LinuxApplicationServices::mainBundleInfo() const {
    const auto bundle = mainBundleLocation();
    return bundle ? bundle::readBundleInfo(*bundle) : std::nullopt;
}

std::vector<std::shared_ptr<RunningApplication>> LinuxApplicationServices::runningApplications(
    std::string_view bundleIdentifier) const {
    return runningApplicationsWithIdentifier(bundleIdentifier);
}

void LinuxApplicationServices::openApplication(const fs::path& bundle,
                                               std::function<void(std::optional<std::string> error)> completion) {
    auto program = bundle::bundleExecutable(bundle);
    if (!program) {
        // Still reported on another thread, as every other outcome is.
        std::error_code missing;
        const bool exists = fs::is_directory(bundle / "Contents" / "MacOS", missing);
        std::string error = exists ? "The application bundle names no program to start."
                                   : std::system_category().message(ENOENT);
        std::thread([completion = std::move(completion), error = std::move(error)] { completion(error); }).detach();
        return;
    }
    startDetachedInBackground(std::move(*program), std::move(completion));
}

std::string LinuxApplicationServices::operatingSystemVersion() const {
    auto osRelease = bundle::readSmallFile("/etc/os-release", kMaximumOsReleaseBytes);
    if (!osRelease) osRelease = bundle::readSmallFile("/usr/lib/os-release", kMaximumOsReleaseBytes);
    utsname kernel{};
    if (::uname(&kernel) != 0) kernel = utsname{};
    return describeOperatingSystem(osRelease.value_or(""), kernel.sysname, kernel.release, kernel.machine);
}

}  // namespace platform
