// This user's running processes found through /proc, each held by a pidfd so that a quit request
// and the terminated state always concern the process that was found, never a later process that
// happens to get the same process id.
#pragma once

#include "platform/application_services.h"
#include "platform/file_descriptor.h"

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace platform {

// Returns: the executable that process `pid` runs, as the kernel reports it; when that file has been
// deleted since the process started, its former path (without the kernel's " (deleted)" mark).
// Nothing when the process is gone or belongs to someone this process may not inspect.
std::optional<std::filesystem::path> processExecutable(pid_t pid);

// A process found running from a bundle. Main thread only.
class LinuxRunningApplication final : public RunningApplication {
public:
    LinuxRunningApplication(FileDescriptor pidfd, pid_t pid, std::filesystem::path bundle);

    // Returns: the process `pid`, held by a pidfd, when it still runs `executable` for the real user
    // of this process; nothing otherwise.
    static std::shared_ptr<LinuxRunningApplication> open(pid_t pid, const std::filesystem::path& executable,
                                                        std::filesystem::path bundle);

    std::optional<std::filesystem::path> bundleLocation() const override { return bundle_; }
    void terminate() override;
    void forceTerminate() override;
    bool isTerminated() const override;
    pid_t pid() const { return pid_; }

private:
    FileDescriptor pidfd_;
    pid_t pid_;
    std::filesystem::path bundle_;
};

// Returns: this real user's processes whose executable lies directly in the `Contents/MacOS` of a
// bundle whose Info.json carries `bundleIdentifier`, in process-id order.
std::vector<std::shared_ptr<RunningApplication>> runningApplicationsWithIdentifier(std::string_view bundleIdentifier);

}  // namespace platform
