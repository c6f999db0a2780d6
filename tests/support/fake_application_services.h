// Test support: ApplicationServices in memory. Running applications are listed as the test sets
// them; launches are recorded and complete only when the test says so, on another thread, as the
// platform's do.
#pragma once

#include "platform/application_services.h"

#include <map>
#include <mutex>
#include <thread>

namespace korvane::test {

class FakeRunningApplication final : public platform::RunningApplication {
public:
    explicit FakeRunningApplication(std::optional<std::filesystem::path> location) : location_(std::move(location)) {}
    std::optional<std::filesystem::path> bundleLocation() const override { return location_; }
    void terminate() override { ++terminateRequests; }
    void forceTerminate() override {
        ++forceTerminateRequests;
        terminated = true;
    }
    bool isTerminated() const override { return terminated; }

    int terminateRequests = 0;
    int forceTerminateRequests = 0;
    bool terminated = false;

private:
    std::optional<std::filesystem::path> location_;
};

class FakeApplicationServices final : public platform::ApplicationServices {
public:
    using Completion = std::function<void(std::optional<std::string> error)>;
    struct Launch {
        std::filesystem::path bundle;
        Completion completion;
    };

    std::optional<std::filesystem::path> mainBundleLocation() const override { return bundle; }
    std::optional<platform::BundleInfo> mainBundleInfo() const override { return info; }
    std::vector<std::shared_ptr<platform::RunningApplication>> runningApplications(
        std::string_view identifier) const override {
        const auto found = running.find(std::string(identifier));
        if (found == running.end()) return {};
        return {found->second.begin(), found->second.end()};
    }
    void openApplication(const std::filesystem::path& location, Completion completion) override {
        launches.push_back({location, std::move(completion)});
    }
    std::string operatingSystemVersion() const override { return osVersion; }

    // Calls launch `index`'s completion on a thread of its own, and waits for that thread.
    void completeLaunch(std::size_t index, std::optional<std::string> error) {
        Completion completion = std::move(launches.at(index).completion);
        std::thread([completion = std::move(completion), error = std::move(error)] { completion(error); }).join();
    }
    // Drops launch `index`'s completion on a thread of its own without calling it.
    void dropLaunch(std::size_t index) {
        Completion completion = std::move(launches.at(index).completion);
        std::thread([completion = std::move(completion)]() mutable { completion = nullptr; }).join();
    }
    std::shared_ptr<FakeRunningApplication> addRunning(std::string identifier, std::optional<std::filesystem::path> location) {
        auto application = std::make_shared<FakeRunningApplication>(std::move(location));
        running[std::move(identifier)].push_back(application);
        return application;
    }

    std::optional<std::filesystem::path> bundle;
    std::optional<platform::BundleInfo> info;
    std::string osVersion = "Debian GNU/Linux 13 (trixie) · Linux 6.12.0";
    std::map<std::string, std::vector<std::shared_ptr<FakeRunningApplication>>> running;
    std::vector<Launch> launches;
};

}  // namespace korvane::test
