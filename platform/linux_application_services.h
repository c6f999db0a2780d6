// The application services on Linux: bundles are folders of the platform's layout found from the
// resolved running executable, running applications are this user's processes found through /proc
// (held by pidfds), launching is a detached process, and the system's version comes from
// /etc/os-release and uname.
#pragma once

#include "platform/application_services.h"

#include <string_view>

namespace platform {

class LinuxApplicationServices final : public ApplicationServices {
public:
    std::optional<std::filesystem::path> mainBundleLocation() const override;
    std::optional<BundleInfo> mainBundleInfo() const override;
    std::vector<std::shared_ptr<RunningApplication>> runningApplications(std::string_view bundleIdentifier) const override;
    // The program is the bundle's "CFBundleExecutable" in Contents/MacOS, or the only file there.
    void openApplication(const std::filesystem::path& bundle,
                         std::function<void(std::optional<std::string> error)> completion) override;
    std::string operatingSystemVersion() const override;
};

// Returns: one line naming the system: the PRETTY_NAME of an os-release text (else its NAME and
// VERSION, else "Linux"), then " · ", the kernel's name, release and machine. Control characters
// are dropped and each part is kept short, since the text comes from files anyone may have edited.
std::string describeOperatingSystem(std::string_view osRelease, std::string_view kernelName,
                                    std::string_view kernelRelease, std::string_view machine);

}  // namespace platform
