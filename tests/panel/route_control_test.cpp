// Route control: requests, helper launches and their completions, the report poll and its time
// limits, the automatic start, the quit preparation, the status line and pending changes.
#include "shared/routing_files.h"
#include "tests/panel/panel_fixture.h"

#include <sys/stat.h>

namespace korvane::test {
namespace {

using namespace platform::audio;

void writeReport(const panel::AudioModel& model, PanelSetup& setup, const std::string& phase, double age = 0,
                 std::string revision = "") {
    RoutingReport report{revision.empty() ? model.appliedRevision() : revision, phase, "detail of " + phase,
                         setup.audio.clock.secondsSinceReferenceDate() - age, 0};
    ASSERT_FALSE(RoutingFiles::write(report, RoutingFiles::kReportFileName));
}

// The model, constructed and past its automatic start (a request written, the launch recorded).
panel::AudioModel& started(PanelSetup& setup) {
    auto& model = setup.create();
    setup.passes(1);
    EXPECT_EQ(model.routingPhase(), "starting");
    EXPECT_EQ(setup.applications.launches.size(), 1u);
    return model;
}

TEST(RouteControl, AutomaticStartWritesOneRequestAndLaunchesTheHelper) {
    PanelSetup setup;
    auto& model = setup.create();
    EXPECT_TRUE(setup.applications.launches.empty());  // construction starts nothing
    setup.passes(1);
    const auto request = RoutingFiles::readChoice();
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->enabled);
    EXPECT_EQ(request->inputUID, "system");
    EXPECT_EQ(request->outputUID, kSpeakers);
    EXPECT_EQ(request->automaticallyMatchSampleRate, true);
    EXPECT_EQ(request->revision, model.appliedRevision());
    EXPECT_EQ(model.routingDetail(), "Starting routing…");
    EXPECT_EQ(model.requestStartedAt(), setup.audio.clock.uptime());
    EXPECT_FALSE(model.launchRoutingPending());
    ASSERT_EQ(setup.applications.launches.size(), 1u);
    EXPECT_EQ(setup.applications.launches[0].bundle, setup.helperBundle());
    setup.passes(40);
    EXPECT_EQ(setup.applications.launches.size(), 1u);
}

TEST(RouteControl, AutomaticStartWaitsForItsDevices) {
    struct Case {
        const char* name;
        const char* input;
        const char* output;
        const char* unplugged;
        bool starts;
    };
    const Case cases[] = {
        {"system to DAW needs only the driver", "system", "daw", kSpeakers, true},
        {"the driver missing", "system", "daw", kKorvane, false},
        {"the input missing", kMicrophone, kSpeakers, kMicrophone, false},
        {"the output missing", "system", kHeadphones, kHeadphones, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup;
        setup.defaults.setString("preferredInput", c.input);
        setup.defaults.setString("preferredOutput", c.output);
        ASSERT_EQ(setup.audio.model.unplug(c.unplugged), 0);
        auto& model = setup.create();
        setup.passes(5);
        EXPECT_EQ(model.launchRoutingPending(), !c.starts);
        EXPECT_EQ(RoutingFiles::readChoice().has_value(), c.starts);
        if (c.starts) continue;
        ASSERT_EQ(setup.audio.model.plug(c.unplugged), 0);
        setup.passes(20);
        EXPECT_FALSE(model.launchRoutingPending());
        EXPECT_TRUE(RoutingFiles::readChoice());
    }
}

TEST(RouteControl, StartRefusals) {
    struct Case {
        const char* name;
        std::function<void(PanelSetup&, panel::AudioModel&)> arrange;
        std::string error;
        bool requestWritten;
        bool launched;
    };
    const std::string otherVersion =
        "Another KORVANE version’s routing helper is running. Quit that version and its helper, then try again.";
    const Case cases[] = {
        {"no driver",
         [](PanelSetup& s, panel::AudioModel& m) {
             s.audio.model.unplug(kKorvane);
             m.refreshDevices();
         },
         "The KORVANE driver is unavailable. Open DAW setup for help.", false, false},
        {"no output chosen", [](PanelSetup&, panel::AudioModel& m) { m.setSelectedOutput(""); },
         "Choose speakers, headphones, or an audio interface to hear the sound.", false, false},
        {"a helper of another copy",
         [](PanelSetup& s, panel::AudioModel&) {
             s.applications.addRunning("audio.ravlin.router", s.environment.root() / "Other/KORVANE Routing.app");
         },
         otherVersion, false, false},
        {"a helper without a location",
         [](PanelSetup& s, panel::AudioModel&) { s.applications.addRunning("audio.ravlin.router", std::nullopt); }, otherVersion,
         false, false},
        {"our own helper through a symbolic link",
         [](PanelSetup& s, panel::AudioModel&) {
             std::filesystem::create_directory_symlink(*s.applications.bundle, s.environment.root() / "Link.app");
             s.applications.addRunning("audio.ravlin.router", s.environment.root() / "Link.app/Contents/Helpers/KORVANE Routing.app");
         },
         "", true, false},
        {"the request cannot be written",
         [](PanelSetup& s, panel::AudioModel&) {
             std::filesystem::create_directories(s.environment.dataHome());
             writeFile(s.environment.dataHome() / "RAVLIN", "not a directory");
         },
         "Could not save or start routing: Not a directory", false, false},
        {"the helper bundle missing",
         [](PanelSetup& s, panel::AudioModel&) { std::filesystem::remove_all(s.helperBundle()); },
         "Could not save or start routing: No such file or directory", true, false},
        {"no bundle at all", [](PanelSetup& s, panel::AudioModel&) { s.applications.bundle.reset(); },
         "Could not save or start routing: No such file or directory", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup;
        setup.defaults.setString("preferredOutput", "");
        auto& model = setup.create();  // no output chosen: no automatic start yet
        model.setSelectedOutput(kSpeakers);
        c.arrange(setup, model);
        model.applyRouting(true);
        EXPECT_EQ(model.error(), c.error);
        EXPECT_EQ(RoutingFiles::readChoice().has_value(), c.requestWritten);
        EXPECT_EQ(model.routingPhase(), c.requestWritten ? "starting" : "stopped");
        EXPECT_EQ(!model.appliedRevision().empty(), c.requestWritten);
        EXPECT_EQ(setup.applications.launches.size(), c.launched ? 1u : 0u);
        EXPECT_FALSE(model.launchRoutingPending());
    }
}

TEST(RouteControl, AStartThatFailsIsNotRetriedUntilAsked) {
    PanelSetup setup;
    std::filesystem::remove_all(setup.helperBundle());
    auto& model = setup.create();
    setup.passes(1);
    EXPECT_EQ(model.error(), "Could not save or start routing: No such file or directory");
    EXPECT_FALSE(model.launchRoutingPending());
    setup.passes(89);  // the request stays recorded, so the phase turns "unavailable" after 4 s
    EXPECT_EQ(model.routingPhase(), "unavailable");
    EXPECT_TRUE(setup.applications.launches.empty());

    std::filesystem::create_directories(setup.helperBundle());
    model.resumeAutomaticStart();
    EXPECT_EQ(model.routingPhase(), "starting");
    EXPECT_EQ(setup.applications.launches.size(), 1u);
}

TEST(RouteControl, AStopRequestWithoutAHelperStillLaunchesOne) {
    PanelSetup setup;
    auto& model = setup.create();
    model.applyRouting(false);
    const auto request = RoutingFiles::readChoice();
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->enabled);
    EXPECT_EQ(model.routingPhase(), "starting");
    EXPECT_EQ(model.routingDetail(), "Stopping routing…");
    EXPECT_EQ(setup.applications.launches.size(), 1u);
    EXPECT_FALSE(model.launchRoutingPending());  // the automatic start is off after any request
}

TEST(RouteControl, LaunchFailuresCountOnlyForTheLatestRequest) {
    PanelSetup setup;
    auto& model = started(setup);
    const std::string first = model.appliedRevision();
    model.applyRouting(true);
    ASSERT_NE(model.appliedRevision(), first);
    ASSERT_EQ(setup.applications.launches.size(), 2u);

    setup.applications.completeLaunch(0, "The helper could not be started.");  // late, for the first
    setup.mainThread.runPending();
    EXPECT_EQ(model.routingPhase(), "starting");
    EXPECT_EQ(model.error(), "");

    setup.applications.completeLaunch(1, std::nullopt);  // success: nothing to do
    setup.mainThread.runPending();
    EXPECT_EQ(model.routingPhase(), "starting");

    model.applyRouting(true);
    setup.applications.completeLaunch(2, "Permission denied");
    // The completion ran on another thread; nothing changes until the main thread runs.
    EXPECT_EQ(model.routingPhase(), "starting");
    EXPECT_EQ(setup.mainThread.postedCount(), 1u);
    setup.mainThread.runPending();
    EXPECT_EQ(model.routingPhase(), "error");
    EXPECT_EQ(model.error(), "Could not start routing: Permission denied");
    EXPECT_FALSE(model.requestStartedAt());
    EXPECT_EQ(model.statusText(), "Routing needs attention");
}

TEST(RouteControl, APendingLaunchKeepsTheModelAndReleasesItOnTheMainThread) {
    PanelSetup setup;
    started(setup);
    std::weak_ptr<panel::AudioModel> weak = setup.model;
    setup.model.reset();
    EXPECT_FALSE(weak.expired());  // the launch completion holds it
    setup.applications.dropLaunch(0);  // dropped on another thread, never called
    EXPECT_FALSE(weak.expired());
    setup.mainThread.runPending();
    EXPECT_TRUE(weak.expired());
    setup.passes(2);  // the timer held it only weakly and now does nothing
}

TEST(RouteControl, ReportPollingAndTheFourSecondLimits) {
    PanelSetup setup;
    auto& model = started(setup);
    const std::string revision = model.appliedRevision();

    // A healthy report for an older request changes nothing while the request is young…
    writeReport(model, setup, "running", 0, "0F0E0D0C-0B0A-0908-0706-050403020100");
    setup.passes(10);
    EXPECT_EQ(model.routingPhase(), "starting");
    setup.passes(70);  // the last poll 3.95 s after the request: still within the grace period
    EXPECT_EQ(model.routingPhase(), "starting");
    // …and the phase is "unavailable" at the first poll 4 s after it.
    writeReport(model, setup, "running", 0, "0F0E0D0C-0B0A-0908-0706-050403020100");
    setup.passes(10);
    EXPECT_EQ(model.routingPhase(), "unavailable");
    EXPECT_EQ(model.routingDetail(), "Routing helper is not responding. Press Start audio to reconnect.");
    EXPECT_EQ(model.statusText(), "Routing helper unavailable · Start audio to reconnect");

    // A current answer takes over phase and detail and ends the grace period.
    writeReport(model, setup, "running");
    setup.passes(10);
    EXPECT_EQ(model.routingPhase(), "running");
    EXPECT_EQ(model.routingDetail(), "detail of running");
    EXPECT_FALSE(model.requestStartedAt());
    EXPECT_EQ(model.appliedRevision(), revision);

    // The reports stop: unavailable once the last one is 4 s old.
    setup.passes(70);  // the report is 3.95 s old at the last poll
    EXPECT_EQ(model.routingPhase(), "running");
    setup.passes(10);
    EXPECT_EQ(model.routingPhase(), "unavailable");
}

// What an earlier run left behind: its request, and its helper's last report. Until this run has
// asked anything of a helper, a report gone stale means the route is stopped; a fresh one (that
// helper still routing) is taken over.
TEST(RouteControl, AtLaunchTheEarlierRunsReport) {
    struct Case {
        const char* name;
        double age;
        std::vector<const char*> unplugged;  // so that the automatic start cannot run
        int passes;
        const char* phase;
    };
    const Case cases[] = {
        {"stale, the driver missing", 60, {kKorvane}, 100, "stopped"},
        {"stale, no output at all", 60, {kSpeakers, kInterface, kHeadphones, kHDMI}, 100, "stopped"},
        {"fresh, its helper still routing", 0, {kKorvane}, 1, "running"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup;
        for (const char* uid : c.unplugged) setup.audio.model.unplug(uid);
        RoutingChoice earlier;
        earlier.inputUID = "system";
        earlier.outputUID = c.unplugged.size() > 1 ? "" : kSpeakers;
        ASSERT_FALSE(RoutingFiles::write(earlier, RoutingFiles::kChoiceFileName));
        const RoutingReport report{earlier.revision, "running", "KORVANE is routing System audio.",
                                   setup.audio.clock.secondsSinceReferenceDate() - c.age, 1000};
        ASSERT_FALSE(RoutingFiles::write(report, RoutingFiles::kReportFileName));
        auto& model = setup.create();
        setup.passes(c.passes);
        EXPECT_EQ(model.routingPhase(), c.phase);
        EXPECT_NE(model.statusText(), "Routing helper unavailable · Start audio to reconnect");
        EXPECT_TRUE(setup.applications.launches.empty());
    }
}

TEST(RouteControl, ReportsThatAreNeverCurrent) {
    struct Case {
        const char* name;
        std::string phase;
        double age;
    };
    const Case cases[] = {
        {"the panel's own word", "unavailable", 0},
        {"unknown phase", "paused", 0},
        {"too old", "running", 4.0},
        {"too far ahead", "running", -1.1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup;
        auto& model = started(setup);
        writeReport(model, setup, c.phase, c.age);
        model.refreshDevices();  // polls at once
        EXPECT_EQ(model.routingPhase(), "starting");
    }
}

TEST(RouteControl, QuittingGuardAndQuitPreparation) {
    PanelSetup setup;
    auto& model = started(setup);
    writeReport(model, setup, "running");
    setup.passes(10);
    ASSERT_EQ(model.routingPhase(), "running");
    const std::string revision = model.appliedRevision();
    model.setGain(50);  // clamped to 12
    ASSERT_EQ(model.gain(), 12.0);

    model.prepareForQuit();
    EXPECT_TRUE(model.isQuitting());
    EXPECT_FALSE(model.launchRoutingPending());
    const auto request = RoutingFiles::readChoice();
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->enabled);
    EXPECT_NE(request->revision, revision);
    EXPECT_EQ(request->outputUID, kSpeakers);
    EXPECT_EQ(model.appliedRevision(), revision);  // the request is not recorded as applied
    EXPECT_EQ(model.routingPhase(), "running");
    EXPECT_EQ(setup.applications.launches.size(), 1u);

    // While quitting a start changes nothing at all, not even the gain or the error.
    model.applyRouting(true);
    EXPECT_EQ(RoutingFiles::readChoice(), request);
    EXPECT_EQ(model.gain(), 12.0);
    EXPECT_EQ(model.routingPhase(), "running");
    model.resumeAutomaticStart();  // running: nothing
    EXPECT_FALSE(model.launchRoutingPending());

    // A stop request still goes out.
    model.applyRouting(false);
    EXPECT_NE(RoutingFiles::readChoice()->revision, request->revision);
    EXPECT_EQ(model.routingDetail(), "Stopping routing…");

    // The delegate gives up waiting: starts are accepted again.
    model.setIsQuitting(false);
    model.applyRouting(true);
    EXPECT_TRUE(RoutingFiles::readChoice()->enabled);
    EXPECT_EQ(model.gain(), 0.0);
}

TEST(RouteControl, StatusLinePrecedence) {
    struct Case {
        const char* name;
        bool driver;
        const char* input;
        const char* output;
        std::string phase;
        std::string expected;
    };
    const Case cases[] = {
        {"driver over everything", false, "Gone", "Gone", "running", "Driver missing · install the KORVANE driver"},
        {"input over output", true, "Gone", "Gone", "running", "Input disconnected · reconnect or choose another input"},
        {"output", true, "system", "Gone", "running", "Output disconnected · reconnect, then Start audio"},
        {"nothing disconnected", true, "system", "", "stopped", "Ready · Driver connected"},
        {"DAW only", true, "system", "daw", "running", "Routing · Driver connected"},
        {"a hardware input present", true, kMicrophone, kSpeakers, "starting", "Connecting audio devices…"},
        {"the HDMI display is not an aggregate", true, "system", kHDMI, "permission", "Audio permission required"},
        {"error", true, "system", kSpeakers, "error", "Routing needs attention"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup;
        setup.defaults.setString("preferredInput", c.input);
        setup.defaults.setString("preferredOutput", c.output);
        if (!c.driver) setup.audio.model.unplug(kKorvane);
        auto& model = setup.create();
        if (c.phase != "stopped") {
            model.applyRouting(false);
            writeReport(model, setup, c.phase);
            model.refreshDevices();
            ASSERT_EQ(model.routingPhase(), c.phase);
        }
        EXPECT_EQ(model.statusText(), c.expected);
    }
}

TEST(RouteControl, PendingChangesOnlyWhileRunning) {
    PanelSetup setup;
    auto& model = started(setup);
    model.setSelectedOutput(kHeadphones);
    EXPECT_FALSE(model.hasPendingChanges());  // "starting"
    writeReport(model, setup, "running");
    setup.passes(10);
    EXPECT_TRUE(model.hasPendingChanges());
    model.setSelectedOutput(kSpeakers);
    EXPECT_FALSE(model.hasPendingChanges());
    model.setAutomaticallyMatchSampleRate(false);
    EXPECT_TRUE(model.hasPendingChanges());
    model.applyRouting(true);
    EXPECT_FALSE(RoutingFiles::readChoice()->automaticallyMatchSampleRate.value());
    writeReport(model, setup, "running");
    setup.passes(10);
    EXPECT_FALSE(model.hasPendingChanges());
    model.setSelectedInput(kMicrophone);
    EXPECT_TRUE(model.hasPendingChanges());
}

}  // namespace
}  // namespace korvane::test
