#include "router/engine/route_engine_testing.h"
#include "router/engine/route_state.h"
#include "router/router_delegate.h"
#include "shared/routing_files.h"
#include "tests/support/model_fixture.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korvane::router {
namespace {

using namespace platform::audio;
using audiosim::Fault;
using audiosim::Operation;
using test::kHeadphones;
using test::kInterface;
using test::kKorvane;
using test::kMicrophone;
using test::kSpeakers;

// Runs posted tasks when the test says so; records the timer.
class FakeMainThread final : public MainThread {
public:
    void post(std::function<void()> task) override { posted.push_back(std::move(task)); }
    void scheduleRepeating(std::chrono::milliseconds interval, std::function<void()> tick) override {
        timerInterval = interval;
        timer = std::move(tick);
    }
    void runPosted() {
        auto tasks = std::move(posted);
        posted.clear();
        for (auto& task : tasks) task();
    }
    std::vector<std::function<void()>> posted;
    std::chrono::milliseconds timerInterval{0};
    std::function<void()> timer;
};

class FakePermission final : public CapturePermission {
public:
    CaptureAuthorization status() override { return current; }
    void requestAccess(std::function<void(bool)> completion) override { pending.push_back(std::move(completion)); }
    void answer(bool granted) {
        auto completions = std::move(pending);
        pending.clear();
        for (auto& completion : completions) completion(granted);
    }
    CaptureAuthorization current = CaptureAuthorization::Authorized;
    std::vector<std::function<void(bool)>> pending;
};

// Besides the built-in machine: an interface whose rate can drift by fractions of a hertz.
audiosim::MachineSpec testMachine() {
    auto machine = audiosim::builtinMachine();
    auto extra = audiosim::parseMachine(R"({"devices": [
        {"uid": "Drifty", "name": "Drifty Out", "transport": "usb ", "outputs": [2], "rates": [[44000, 49000]]},
        {"uid": "Odd", "name": "Odd Rate Out", "transport": "usb ", "outputs": [2], "nominalRate": 32000}]})");
    machine.devices.insert(machine.devices.end(), extra.devices.begin(), extra.devices.end());
    for (auto& device : machine.devices)
        if (device.korvane) device.rateChangeDelay = 0;
    return machine;
}

class RouterDelegateTest : public ::testing::Test {
public:
    explicit RouterDelegateTest(audiosim::MachineSpec machine = testMachine()) : setup(std::move(machine)) {
        engine::setPauseForTesting(setup.clock.pause());
        delegate = std::make_shared<RouterDelegate>(
            RouterEnvironment{mainThread, setup.clock, setup.clock, permission, setup.clock.pause()});
    }
    ~RouterDelegateTest() override {
        delegate.reset();
        engine::setPauseForTesting({});
    }

    // Writes a request as the panel would; returns its revision.
    std::string request(const std::string& input, const std::string& output, bool enabled = true,
                        std::optional<std::string> revision = std::nullopt) {
        RoutingChoice choice;
        if (revision) choice.revision = *revision;
        choice.inputUID = input;
        choice.outputUID = output;
        choice.enabled = enabled;
        EXPECT_FALSE(RoutingFiles::write(choice, RoutingFiles::kChoiceFileName));
        return choice.revision;
    }

    RoutingReport report() {
        auto written = RoutingFiles::readReport();
        EXPECT_TRUE(written);
        return written.value_or(RoutingReport{});
    }
    void expectReport(std::string_view phase, const std::string& detail) {
        const auto written = report();
        EXPECT_EQ(written.phase, phase);
        EXPECT_EQ(written.detail, detail);
        EXPECT_EQ(written.revision, delegate->revision());
    }

    AudioObjectID id(std::string_view uid) const { return setup.id(uid); }
    AudioObjectID defaultOutput() {
        AudioObjectID device = 0;
        getProperty(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0},
                    device);
        return device;
    }
    void setDefaultOutput(std::string_view uid) {
        ASSERT_EQ(setProperty(kAudioObjectSystemObject,
                              {kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0}, id(uid)),
                  0);
    }
    // Runs the route's aggregate for a few cycles, as the audio thread would.
    void renderCycles(int cycles) {
        const auto aggregate = setup.model.aggregateCount() ? lastAggregate() : 0;
        for (int i = 0; i < cycles && aggregate; ++i) setup.model.step(aggregate, 512);
    }
    AudioObjectID lastAggregate() {
        for (AudioObjectID candidate = 200; candidate > 0; --candidate)
            if (setup.model.stats().size() && isAggregate(candidate)) return candidate;
        return 0;
    }
    bool isAggregate(AudioObjectID device) {
        std::uint32_t transport = 0;
        return getProperty(device, {kAudioDevicePropertyTransportType, kAudioObjectPropertyScopeGlobal, 0}, transport) == 0 &&
               transport == kAudioDeviceTransportTypeAggregate;
    }
    void tick(double seconds = 0.5) {
        setup.clock.advance(seconds);
        delegate->pollChoice();
    }

    test::TestEnvironment environment;
    test::ModelSetup setup;
    FakeMainThread mainThread;
    FakePermission permission;
    std::shared_ptr<RouterDelegate> delegate;
};

TEST_F(RouterDelegateTest, WithoutARequestNoReportIsWritten) {
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(mainThread.timerInterval, std::chrono::milliseconds(500));
    mainThread.timer();
    EXPECT_FALSE(RoutingFiles::readReport());
}

TEST_F(RouterDelegateTest, TheTimerHoldsTheDelegateWeakly) {
    delegate->applicationDidFinishLaunching();
    request("system", kSpeakers);
    delegate.reset();
    mainThread.timer();  // nothing to poll: no crash, no report
    EXPECT_FALSE(RoutingFiles::readReport());
}

TEST_F(RouterDelegateTest, NewRevisionsStartAndStopRoutes) {
    request("system", kSpeakers, false);
    delegate->pollChoice();
    expectReport("stopped", "Routing stopped");

    const auto revision = request("system", kSpeakers);
    delegate->pollChoice();
    expectReport("running", "System playback connected · stereo 1–2");
    EXPECT_EQ(defaultOutput(), id(kKorvane));
    EXPECT_EQ(delegate->endpoints().size(), 2u);

    // The same revision with other devices changes nothing.
    request(kInterface, kHeadphones, true, revision);
    tick();
    expectReport("running", "System playback connected · stereo 1–2");
    EXPECT_EQ(delegate->endpoints().back().uid, kSpeakers);

    request("system", kSpeakers, false);
    tick();
    expectReport("stopped", "Routing stopped");
    EXPECT_FALSE(delegate->hasRoute());
    EXPECT_EQ(defaultOutput(), id(kSpeakers));  // put back
    EXPECT_EQ(setup.model.aggregateCount(), 0u);
}

TEST_F(RouterDelegateTest, AnEmptyRevisionIsNeverActedOn) {
    request("system", kSpeakers, true, "");
    tick();
    tick();
    expectReport("stopped", "Routing stopped");
    EXPECT_FALSE(delegate->hasRoute());
}

TEST_F(RouterDelegateTest, ApplyFailuresReportTheirDetail) {
    struct Case {
        const char* name;
        std::function<void(RouterDelegateTest&)> prepare;
        std::string input;
        std::string output;
        std::string detail;
    };
    const Case cases[] = {
        {"devices unreadable",
         [](RouterDelegateTest& t) { t.setup.model.addFault({Operation::Size, kAudioObjectSystemObject, kAudioHardwarePropertyDevices}); },
         "system", kSpeakers, "Could not read audio devices."},
        {"no KORVANE device", [](RouterDelegateTest& t) { t.setup.model.unplug(kKorvane); }, "system", kSpeakers,
         "KORVANE driver is unavailable. Install it and restart your Mac."},
        {"source missing", nullptr, "Nothing", kSpeakers, "Selected input is unavailable. Reconnect it or choose another input."},
        {"source without inputs", nullptr, kSpeakers, kHeadphones,
         "Selected input is unavailable. Reconnect it or choose another input."},
        {"output missing", nullptr, "system", "Nothing", "Selected output is unavailable. Reconnect it or choose another output."},
        {"output unusable", nullptr, "system", kKorvane, "Selected output is unavailable. Reconnect it or choose another output."},
        {"rate not supported", nullptr, "system", "Odd",
         "The selected device uses 32.0 kHz, which the installed KORVANE driver does not support. Install the updated "
         "driver or choose a supported device rate."},
        {"default output cannot move away from KORVANE",
         [](RouterDelegateTest& t) {
             t.setDefaultOutput(kKorvane);
             t.setup.model.addFault({Operation::Set, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice});
         },
         kMicrophone, kSpeakers, "Could not move system playback away from KORVANE."},
        {"default output cannot become KORVANE",
         [](RouterDelegateTest& t) {
             t.setup.model.addFault({Operation::Set, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice});
         },
         "system", kSpeakers, "Could not select KORVANE playback as the Mac output."},
        {"engine refuses",
         [](RouterDelegateTest& t) {
             t.setup.model.addFault({Operation::CreateAggregate, 0, 0, 0, audiosim::kAnyElement, 1852797029});
         },
         kInterface, kSpeakers, "Could not connect devices (1852797029)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setup.model.clearFaults();
        setup.model.plug(kKorvane);
        setDefaultOutput(kSpeakers);
        if (c.prepare) c.prepare(*this);
        request(c.input, c.output);
        delegate->pollChoice();
        setup.model.clearFaults();
        expectReport("error", c.detail);
        EXPECT_FALSE(delegate->hasRoute());
        EXPECT_EQ(setup.model.aggregateCount(), 0u);
        // An error stays until a new revision.
        tick();
        expectReport("error", c.detail);
    }
}

TEST_F(RouterDelegateTest, NoPhysicalOutputToMoveTheDefaultTo) {
    // Only KORVANE can play, and it is the default output.
    for (const char* uid : {kSpeakers, kInterface, kHeadphones, "HDMIDisplay:1", "Drifty", "Odd"}) setup.model.unplug(uid);
    setDefaultOutput(kKorvane);
    request(kMicrophone, "daw");
    delegate->pollChoice();
    expectReport("error", "Choose your normal Mac output in Sound settings before selecting a microphone source.");
}

TEST_F(RouterDelegateTest, CapturePermission) {
    struct Case {
        const char* name;
        CaptureAuthorization status;
        std::optional<bool> answer;
        bool newerRequestFirst;
        std::string phase;
        std::string detail;
    };
    const std::string denied =
        "Microphone permission denied. Enable KORVANE Routing in Privacy & Security → Microphone, then Apply again.";
    const std::string settings = "Enable KORVANE Routing in Privacy & Security → Microphone, then Apply again.";
    const Case cases[] = {
        {"granted at the prompt", CaptureAuthorization::NotDetermined, true, false, "starting",
         "Connected · waiting for audio callbacks · mono input sent to L and R"},
        {"refused at the prompt", CaptureAuthorization::NotDetermined, false, false, "error", denied},
        {"answered after a newer request", CaptureAuthorization::NotDetermined, true, true, "stopped", "Routing stopped"},
        {"restricted", CaptureAuthorization::Restricted, std::nullopt, false, "error", settings},
        {"denied", CaptureAuthorization::Denied, std::nullopt, false, "error", settings},
        // The audio system did not answer the query: no refusal, and no prompt.
        {"status unreadable", CaptureAuthorization::Unavailable, std::nullopt, false, "error", "Could not read audio devices."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        request("system", kSpeakers, false);
        delegate->pollChoice();
        permission.current = c.status;
        request(kMicrophone, kSpeakers);
        delegate->pollChoice();
        if (c.answer) {
            expectReport("permission", "Allow KORVANE Routing to access audio in the macOS permission dialog.");
            if (c.newerRequestFirst) {
                request(kMicrophone, kSpeakers, false);
                delegate->pollChoice();
            }
            permission.answer(*c.answer);
            EXPECT_FALSE(delegate->hasRoute());  // nothing before the main thread runs it
            mainThread.runPosted();
        }
        expectReport(c.phase, c.detail);
        EXPECT_EQ(delegate->hasRoute(), c.phase == "starting");
    }
}

TEST_F(RouterDelegateTest, AMicrophoneRouteMovesTheDefaultOutputAndPutsItBack) {
    struct Case {
        const char* name;
        bool userChoosesAnotherOutput;
    };
    for (const auto& c : {Case{"restored", false}, Case{"the user's choice is left alone", true}}) {
        SCOPED_TRACE(c.name);
        setDefaultOutput(kKorvane);
        request(kMicrophone, kHeadphones);
        delegate->pollChoice();
        expectReport("starting", "Connected · waiting for audio callbacks · mono input sent to L and R");
        EXPECT_EQ(defaultOutput(), id(kHeadphones));
        if (c.userChoosesAnotherOutput) setDefaultOutput("HDMIDisplay:1");
        request(kMicrophone, kHeadphones, false);
        delegate->pollChoice();
        EXPECT_EQ(defaultOutput(), c.userChoosesAnotherOutput ? id("HDMIDisplay:1") : id(kKorvane));
    }
}

TEST_F(RouterDelegateTest, WatchingAHardwareSource) {
    request(kInterface, kHeadphones);
    delegate->pollChoice();
    expectReport("starting", "Connected · waiting for audio callbacks");
    tick();  // no cycles yet: nothing changes
    expectReport("starting", "Connected · waiting for audio callbacks");
    renderCycles(8);  // the interface's sine reaches the headphones after the latency
    tick();
    expectReport("running", "Sending L/R audio to Bluetooth Headphones");
    EXPECT_EQ(report().cycles, 8u);
    setup.model.setInputSignal(kInterface, {});
    renderCycles(8);  // the last of the sine still arrives
    tick();
    renderCycles(8);
    tick();
    expectReport("running", "Connected to Bluetooth Headphones · waiting for sound");
    // Callbacks stop: stalled on the first tick 5 s after the count last moved.
    tick(4.4);
    expectReport("running", "Connected to Bluetooth Headphones · waiting for sound");
    tick(0.6);
    expectReport("error", "Audio callbacks stopped. Check devices and Apply again.");
    EXPECT_FALSE(delegate->hasRoute());
}

TEST_F(RouterDelegateTest, AHardwareSourceWithoutListeningOutputNeverSends) {
    request(kInterface, "daw");
    delegate->pollChoice();
    renderCycles(8);
    tick();
    expectReport("running", "Connected to USB Audio Interface · waiting for sound");
}

TEST_F(RouterDelegateTest, UnpluggingTheListeningOutputEndsTheRoute) {
    request(kMicrophone, kHeadphones);
    delegate->pollChoice();
    setup.model.unplug(kHeadphones);
    tick();
    expectReport("error", "An audio device changed or disconnected. Choose devices and Apply again.");
    EXPECT_EQ(setup.model.aggregateCount(), 0u);
}

TEST_F(RouterDelegateTest, WatchingSystemPlayback) {
    // With "daw" there is no aggregate and the watchdog is not consulted.
    request("system", "daw");
    delegate->pollChoice();
    EXPECT_EQ(setup.model.aggregateCount(), 0u);
    tick(30);
    expectReport("running", "System playback connected · stereo 1–2");
    // The person picks another output.
    setDefaultOutput(kSpeakers);
    tick();
    expectReport("error", "Mac output changed. Apply to route system audio through KORVANE again.");

    // With a listening output whose callbacks never run.
    request("system", kSpeakers);
    delegate->pollChoice();
    tick();  // the first tick that sees the count arms the watchdog
    tick(4.9);
    expectReport("running", "System playback connected · stereo 1–2");
    tick(0.1);
    expectReport("error", "Listening audio stopped. Reconnect your output and try again.");
    EXPECT_EQ(defaultOutput(), id(kSpeakers));  // restored on the way out
}

TEST_F(RouterDelegateTest, ARateChangeOfMoreThanHalfAHertzRestartsTheRoute) {
    request(kInterface, "Drifty");
    delegate->pollChoice();
    ASSERT_TRUE(delegate->hasRoute());
    const auto before = lastAggregate();
    ASSERT_EQ(setup.model.setNominalRate("Drifty", 48000.5), 0);
    tick();
    EXPECT_EQ(lastAggregate(), before);  // 0.5 Hz is within the tolerance
    ASSERT_EQ(setup.model.setNominalRate("Drifty", 44100.0), 0);
    tick();
    EXPECT_TRUE(delegate->hasRoute());
    EXPECT_NE(lastAggregate(), before);  // rebuilt, with KORVANE at the new rate
    double korvaneRate = 0;
    getProperty(id(kKorvane), {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0}, korvaneRate);
    EXPECT_EQ(korvaneRate, 44100.0);
    EXPECT_EQ(delegate->endpoints().back().nominalRate, 44100.0);
    expectReport("starting", "Connected · waiting for audio callbacks");
    // 0.6 Hz away is a new rate, which KORVANE cannot follow.
    ASSERT_EQ(setup.model.setNominalRate("Drifty", 44100.6), 0);
    tick();
    expectReport("error", "The selected device uses 44.1006 kHz, which the installed KORVANE driver does not support. "
                          "Install the updated driver or choose a supported device rate.");
}

TEST_F(RouterDelegateTest, TerminationStopsTheRouteAndReportsStopped) {
    request("system", kSpeakers);
    delegate->pollChoice();
    renderCycles(2);
    EXPECT_EQ(defaultOutput(), id(kKorvane));
    delegate->applicationWillTerminate();
    const auto last = report();
    EXPECT_EQ(last.phase, "stopped");
    EXPECT_EQ(last.detail, "Routing stopped");
    EXPECT_EQ(last.cycles, 0u);
    EXPECT_EQ(defaultOutput(), id(kSpeakers));
    EXPECT_EQ(setup.model.aggregateCount(), 0u);
}

// Records the report on disk each time the delegate lists the devices, i.e. while it works
// between its own report writes: what a panel polling the file at that moment would read.
class ReportSnoop final : public test::ForwardingHardware {
public:
    using ForwardingHardware::ForwardingHardware;
    OSStatus getPropertyDataSize(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& s) override {
        if (o == kAudioObjectSystemObject && a.mSelector == kAudioHardwarePropertyDevices)
            if (const auto report = RoutingFiles::readReport()) seen.push_back(report->phase + ": " + report->detail);
        return ForwardingHardware::getPropertyDataSize(o, a, q, s);
    }
    std::vector<std::string> seen;
};

TEST_F(RouterDelegateTest, TheReportsBetweenRequestAndRouteAreWritten) {
    ReportSnoop snoop(*setup.client);
    ScopedHardware installed(snoop);
    request(kInterface, "Drifty");
    delegate->pollChoice();
    ASSERT_TRUE(delegate->hasRoute());
    EXPECT_EQ(snoop.seen, std::vector<std::string>{"starting: Connecting devices…"});

    snoop.seen.clear();
    ASSERT_EQ(setup.model.setNominalRate("Drifty", 44100.0), 0);
    tick();
    ASSERT_TRUE(delegate->hasRoute());
    // The tick's own listing still sees the old report; the rebuild's sees the new rate's.
    ASSERT_EQ(snoop.seen.size(), 2u);
    EXPECT_EQ(snoop.seen[1], "starting: Matching the device’s new sample rate…");
    expectReport("starting", "Connected · waiting for audio callbacks");
}

TEST_F(RouterDelegateTest, AStoppedRouteNeverLeavesPlaybackOnKorvane) {
    struct Case {
        const char* name;
        const char* defaultBefore;  // the default output when the route is asked for
        const char* output;         // the route's listening output
        std::function<void(RouterDelegateTest&)> whileRunning;
        const char* expected;  // the default output after the route stopped
    };
    const Case cases[] = {
        {"restored as before", kSpeakers, kHeadphones, nullptr, kSpeakers},
        // The headphones were the default output and the listening output; unplugged, they end
        // the route, and the first physical output in display order takes over.
        {"the previous output vanished with the listening output", kHeadphones, kHeadphones,
         [](RouterDelegateTest& t) { t.setup.model.unplug(kHeadphones); }, kSpeakers},
        {"the previous output vanished, the listening output takes over", "HDMIDisplay:1", kSpeakers,
         [](RouterDelegateTest& t) { t.setup.model.unplug("HDMIDisplay:1"); }, kSpeakers},
        // A helper that died left playback on KORVANE: nothing to put back but a physical output.
        {"already on KORVANE, with a listening output", kKorvane, kSpeakers, nullptr, kSpeakers},
        {"already on KORVANE, without a listening output", kKorvane, "daw", nullptr, kHeadphones},
        // The user's own choice is left alone, even when the previous output is gone.
        {"the user chose another output", kSpeakers, "daw", [](RouterDelegateTest& t) { t.setDefaultOutput("HDMIDisplay:1"); },
         "HDMIDisplay:1"},
        {"the user chose another output, the previous one vanished", kHeadphones, kSpeakers,
         [](RouterDelegateTest& t) {
             t.setup.model.unplug(kHeadphones);
             t.setDefaultOutput("HDMIDisplay:1");
         },
         "HDMIDisplay:1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setup.model.plug(kHeadphones);
        setup.model.plug("HDMIDisplay:1");
        setDefaultOutput(c.defaultBefore);
        request("system", c.output);
        delegate->pollChoice();
        ASSERT_TRUE(delegate->hasRoute());
        EXPECT_EQ(defaultOutput(), id(kKorvane));
        if (c.whileRunning) c.whileRunning(*this);
        tick();
        request("system", c.output, false);
        tick();
        EXPECT_FALSE(delegate->hasRoute());
        EXPECT_EQ(defaultOutput(), id(c.expected));
        EXPECT_FALSE(delegate->owesDefaultOutput());
    }
}

TEST_F(RouterDelegateTest, ARestorationTheAudioSystemRefusesIsOwedUntilItSucceeds) {
    struct Case {
        const char* name;
        Operation refused;
    };
    for (const auto& c : {Case{"the default output cannot be read", Operation::Get},
                          Case{"the default output cannot be written", Operation::Set}}) {
        SCOPED_TRACE(c.name);
        setDefaultOutput(kSpeakers);
        request("system", "daw");
        delegate->pollChoice();
        ASSERT_EQ(defaultOutput(), id(kKorvane));
        setup.model.addFault({c.refused, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice});
        request("system", "daw", false);
        tick();
        tick();
        EXPECT_FALSE(delegate->hasRoute());
        EXPECT_TRUE(delegate->owesDefaultOutput());
        setup.model.clearFaults();
        EXPECT_EQ(defaultOutput(), id(kKorvane));
        tick();  // the audio system answers again
        EXPECT_EQ(defaultOutput(), id(kSpeakers));
        EXPECT_FALSE(delegate->owesDefaultOutput());
        expectReport("stopped", "Routing stopped");
    }
}

TEST_F(RouterDelegateTest, AnOwedRestorationIsWhatTheNextRoutePutsBack) {
    // The restoration cannot even read the default output; the next request finds KORVANE still
    // playing and must not take it for the output to return to.
    setDefaultOutput(kHeadphones);
    request("system", "daw");
    delegate->pollChoice();
    setup.model.addFault({Operation::Get, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice});
    request("system", "daw", false);
    tick();
    ASSERT_TRUE(delegate->owesDefaultOutput());
    // The owed restoration is tried twice more before the next request starts (at the poll and
    // at the stop of the old revision), each time the headphones, then the fallback, and every
    // write fails; the microphone route then moves playback off KORVANE, and when it stops the
    // headphones return, not KORVANE.
    setup.model.clearFaults();
    setup.model.addFault({Operation::Set, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, 0,
                          audiosim::kAnyElement, kAudioHardwareUnspecifiedError, 4});
    request(kMicrophone, kSpeakers);
    tick();
    ASSERT_TRUE(delegate->hasRoute());
    EXPECT_EQ(defaultOutput(), id(kSpeakers));
    request(kMicrophone, kSpeakers, false);
    tick();
    EXPECT_EQ(defaultOutput(), id(kHeadphones));
    EXPECT_FALSE(delegate->owesDefaultOutput());
}

TEST(CallbackWatchdog, StallsFiveSecondsAfterTheCountLastMoved) {
    struct Step {
        std::uint64_t cycles;
        double now;
        bool stalled;
    };
    const std::vector<std::vector<Step>> cases{
        {{0, 10, false}, {0, 14.9, false}, {0, 15.0, true}},
        {{1, 10, false}, {2, 14, false}, {2, 18.9, false}, {2, 19.0, true}},
        {{3, 10, false}, {3, 8, false}, {3, 12.9, false}, {3, 13.0, true}},  // backwards re-arms
        {{3, 10, false}, {3, std::nan(""), false}, {3, 15, true}},          // NaN changes nothing
    };
    for (const auto& steps : cases) {
        CallbackWatchdog watchdog;
        for (const auto& step : steps) EXPECT_EQ(watchdog.isStalled(step.cycles, step.now), step.stalled) << step.now;
    }
    CallbackWatchdog watchdog;
    watchdog.isStalled(5, 1);
    watchdog.reset();
    EXPECT_FALSE(watchdog.lastProgress.has_value());
    EXPECT_EQ(watchdog.previous, 0u);
}

}  // namespace
}  // namespace korvane::router
