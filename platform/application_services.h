// The application framework's services that the panel needs: its own bundle and bundle
// information, running applications found by bundle identifier (with a polite quit request and a
// terminated state), launching an application in the background, and the operating system's
// version text. Bundles keep the platform's folder layout:
// `NAME.app/Contents/MacOS/PROGRAM` with its values in `NAME.app/Contents/Info.json`.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr std::string_view kBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr std::string_view kBundleShortVersionKey = "CFBundleShortVersionString";
inline constexpr std::string_view kBundleVersionKey = "CFBundleVersion";
inline constexpr std::string_view kBundleExecutableKey = "CFBundleExecutable";

// A bundle's information table: only the entries whose values are text.
using BundleInfo = std::map<std::string, std::string, std::less<>>;

// One running application. Main thread only.
class RunningApplication {
public:
    virtual ~RunningApplication() = default;
    // The bundle the program runs from; nothing when it runs from no bundle.
    virtual std::optional<std::filesystem::path> bundleLocation() const = 0;
    // Asks the application to quit (it may take its time, or refuse).
    virtual void terminate() = 0;
    // Ends the application at once, whatever it is doing: for one that cannot act on a quit
    // request (stopped, or hung).
    virtual void forceTerminate() = 0;
    // True once this very process has ended; never confused with a later process of the same id.
    virtual bool isTerminated() const = 0;
};

class ApplicationServices {
public:
    virtual ~ApplicationServices() = default;

    // The running program's own bundle, symbolic links resolved; nothing outside a bundle.
    virtual std::optional<std::filesystem::path> mainBundleLocation() const = 0;
    // The running program's bundle information; nothing when it has none or it cannot be read.
    virtual std::optional<BundleInfo> mainBundleInfo() const = 0;

    // This user's running applications whose bundle carries `bundleIdentifier`.
    virtual std::vector<std::shared_ptr<RunningApplication>> runningApplications(
        std::string_view bundleIdentifier) const = 0;

    // Effects: starts the application at `bundle` in the background, without taking focus.
    // `completion` runs once, on another thread, with nothing on success or the description of
    // why the program could not be started.
    virtual void openApplication(const std::filesystem::path& bundle,
                                 std::function<void(std::optional<std::string> error)> completion) = 0;

    // One line describing the operating system and its version.
    virtual std::string operatingSystemVersion() const = 0;
};

}  // namespace platform
