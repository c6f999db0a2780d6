// Test support for the panel program: a Qt event loop to run the main thread's timers on, and
// application services that place the test in a bundle of its own while listing the real
// processes of the user.
#pragma once

#include "platform/application_services.h"
#include "platform/linux_application_services.h"

#include <QCoreApplication>

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

namespace korvane::test {

// The real services, except that the running program's bundle is `bundle` and launching only
// records the request (or, with `launch`, also launches).
class BundledServices final : public platform::ApplicationServices {
public:
    explicit BundledServices(std::filesystem::path bundle, bool launch = false)
        : bundle_(std::move(bundle)), launch_(launch) {}

    std::optional<std::filesystem::path> mainBundleLocation() const override { return bundle_; }
    std::optional<platform::BundleInfo> mainBundleInfo() const override { return platform::BundleInfo{}; }
    std::vector<std::shared_ptr<platform::RunningApplication>> runningApplications(
        std::string_view bundleIdentifier) const override {
        return real_.runningApplications(bundleIdentifier);
    }
    void openApplication(const std::filesystem::path& bundle,
                         std::function<void(std::optional<std::string>)> completion) override {
        launched.push_back(bundle);
        if (launch_)
            real_.openApplication(bundle, std::move(completion));
        else
            completion(std::nullopt);
    }
    std::string operatingSystemVersion() const override { return "Test OS"; }

    std::vector<std::filesystem::path> launched;

private:
    std::filesystem::path bundle_;
    bool launch_;
    platform::LinuxApplicationServices real_;
};

// The arguments every test program's QCoreApplication or QApplication is made with; Qt keeps them
// for the application's life.
int& applicationArgumentCount();
char** applicationArguments();

// One QCoreApplication for the test's lifetime (or a QApplication made by the test itself).
class EventLoop {
public:
    EventLoop();
    ~EventLoop();

    // Runs the event loop until `condition` holds; false (and a test failure naming `what`) when it
    // does not within `limit`.
    bool runUntil(const std::function<bool()>& condition, const char* what,
                  std::chrono::seconds limit = std::chrono::seconds(20));

private:
    std::unique_ptr<QCoreApplication> application_;
};

}  // namespace korvane::test
