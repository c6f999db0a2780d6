// RouterDelegate: the routing helper's one model. Every half second it reads the panel's route
// request, starts, stops or restarts the route engine when the request's revision changes, watches
// the running route, and writes the route report. It also moves the default output where the
// route needs it and puts it back afterwards. Main thread only.
#pragma once

#include "platform/audio_services.h"
#include "platform/clock.h"
#include "router/callback_watchdog.h"
#include "router/engine/route_engine.h"
#include "router/main_loop.h"
#include "shared/audio_endpoint.h"
#include "shared/routing_records.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane::router {

// A failure with the sentence shown to the user, unchanged.
struct RouteFailure {
    std::string message;
};

// What the delegate needs of the platform.
struct RouterEnvironment {
    MainThread& mainThread;
    const platform::UptimeClock& uptime;  // the watchdog's clock
    const platform::WallClock& wallClock;  // the reports' time stamps
    platform::audio::CapturePermission& capturePermission;
    platform::Pause pause = platform::sleepFor;  // between sample-rate confirmations
};

inline constexpr std::chrono::milliseconds kPollInterval{500};

class RouterDelegate : public std::enable_shared_from_this<RouterDelegate> {
public:
    explicit RouterDelegate(RouterEnvironment environment);
    ~RouterDelegate();
    RouterDelegate(const RouterDelegate&) = delete;
    RouterDelegate& operator=(const RouterDelegate&) = delete;

    // Polls once at once, then every 0.5 s; the timer holds the delegate weakly.
    void applicationDidFinishLaunching();
    // Stops the route, restores the default output, and writes the last report.
    void applicationWillTerminate();

    void pollChoice();
    void beginStart(const RoutingChoice& choice);
    void applyChoice(const RoutingChoice& choice);
    void stopRoute();
    void writeReport();

    // Read-only views for the program and tests.
    const std::string& revision() const { return revision_; }
    const std::string& phase() const { return phase_; }
    const std::string& detail() const { return detail_; }
    bool hasRoute() const { return route_ != nullptr; }
    const std::vector<AudioEndpoint>& endpoints() const { return endpoints_; }
    // A default output still to be put back after its route stopped.
    bool owesDefaultOutput() const { return !route_ && previousOutput_ && assignedOutput_; }

private:
    void watchSystemPlayback(const RoutingChoice& choice, const std::vector<AudioEndpoint>& fresh);
    void watchHardwareSource();
    void fail(const std::string& detail);  // stopRoute, then phase "error" with `detail`
    void setPhase(std::string_view phase, std::string detail);
    std::optional<RouteFailure> startRoute(const RoutingChoice& choice);
    // Puts `previousOutput_` back if the default output is still `assignedOutput_`; when that
    // write fails while KORVANE plays, a physical fallback instead. Whatever cannot be done now
    // (the audio system does not answer, nothing physical is left) stays owed, and every later
    // poll without a route tries again.
    void restoreDefaultOutput();
    void forgetDefaultOutput();
    // What a new route should put back when the default output, now `current`, was assigned by a
    // restoration still owed: that restoration's output; otherwise `otherwise`.
    std::optional<platform::audio::AudioObjectID> outputToRestore(platform::audio::AudioObjectID current,
                                                                  std::optional<platform::audio::AudioObjectID> otherwise) const;

    RouterEnvironment environment_;
    bool timerScheduled_ = false;  // the repeating timer lives in the main loop
    RouteState* route_ = nullptr;
    std::string revision_;
    std::string phase_ = std::string(phase::kStopped);
    std::string detail_ = "Routing stopped";
    std::optional<platform::audio::AudioObjectID> previousOutput_;
    std::optional<platform::audio::AudioObjectID> assignedOutput_;
    std::string fallbackUID_;  // the route's listening output, the first fallback of a failed restoration
    std::vector<AudioEndpoint> endpoints_;
    CallbackWatchdog watchdog_;
    bool systemPlayback_ = false;
};

}  // namespace korvane::router
