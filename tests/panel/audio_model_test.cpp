// The model's construction, preferences, change notification and refresh pass.
#include "shared/routing_files.h"
#include "tests/panel/panel_fixture.h"

namespace korvane::test {
namespace {

using namespace platform::audio;
using audiosim::Fault;
using audiosim::Operation;
using panel::Property;

constexpr AudioObjectPropertyAddress kDefaultOutput = globalAddress(kAudioHardwarePropertyDefaultOutputDevice);

// The built-in machine without some devices.
audiosim::MachineSpec machineWithout(std::vector<std::string> uids, std::string defaultOutput = "") {
    auto machine = audiosim::builtinMachine();
    std::erase_if(machine.devices, [&](const audiosim::DeviceSpec& d) {
        return std::find(uids.begin(), uids.end(), d.uid) != uids.end();
    });
    machine.defaultOutput = defaultOutput;
    machine.defaultSystemOutput = defaultOutput;
    return machine;
}

void writeChoice(const std::string& input, const std::string& output, std::optional<bool> automaticRate = true) {
    RoutingChoice choice;
    choice.inputUID = input;
    choice.outputUID = output;
    choice.automaticallyMatchSampleRate = automaticRate;
    ASSERT_FALSE(RoutingFiles::write(choice, RoutingFiles::kChoiceFileName));
}

TEST(AudioModelConstruction, FirstLaunchChoosesAPhysicalStereoOutput) {
    struct Case {
        const char* name;
        audiosim::MachineSpec machine;
        const char* defaultOutput;  // set before the model starts; null leaves the machine's
        bool failDefaultRead;
        const char* expected;
    };
    const Case cases[] = {
        {"the default output", audiosim::builtinMachine(), kHeadphones, false, kHeadphones},
        {"a multichannel default", audiosim::builtinMachine(), kHDMI, false, kHDMI},
        {"not the virtual device", audiosim::builtinMachine(), kKorvane, false, kSpeakers},
        {"built-in when the read fails", audiosim::builtinMachine(), nullptr, true, kSpeakers},
        {"first by name without built-in output", machineWithout({kSpeakers}, kHDMI), nullptr, true, kHeadphones},
        {"nothing without outputs", machineWithout({kSpeakers, kHeadphones, kHDMI, kInterface}), nullptr, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup(c.machine);
        if (c.defaultOutput) {
            ASSERT_EQ(setProperty(kAudioObjectSystemObject, kDefaultOutput, setup.audio.id(c.defaultOutput)), 0);
        }
        if (c.failDefaultRead)
            setup.audio.model.addFault(Fault{Operation::Get, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice});
        auto& model = setup.create();
        EXPECT_EQ(model.selectedInput(), "system");
        EXPECT_EQ(model.selectedOutput(), c.expected);
        EXPECT_EQ(model.listeningUID(), c.expected);
        EXPECT_EQ(setup.defaults.stringValue("preferredInput"), "system");
        EXPECT_EQ(setup.defaults.stringValue("preferredOutput"), c.expected);
        EXPECT_EQ(setup.defaults.stringValue("preferredListening"), c.expected);
        EXPECT_TRUE(model.launchRoutingPending());
        EXPECT_EQ(model.discoveryTick(), 1);
    }
}

TEST(AudioModelConstruction, StoredChoicesRequestAndRememberDevices) {
    struct Case {
        const char* name;
        std::optional<bool> remember;  // stored "rememberDevices"
        bool storedChoices;            // preferred* keys present
        bool request;                  // a route.json present
        std::string input, output, listening;
    };
    const Case cases[] = {
        {"stored choices win over the request", std::nullopt, true, true, kMicrophone, kHeadphones, kInterface},
        {"the request without stored choices", true, false, true, kInterface, kHDMI, kHDMI},
        {"remember off ignores both", false, true, true, "system", kSpeakers, kSpeakers},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup;
        if (c.remember) setup.defaults.setBool("rememberDevices", *c.remember);
        if (c.storedChoices) {
            setup.defaults.setString("preferredInput", kMicrophone);
            setup.defaults.setString("preferredOutput", kHeadphones);
            setup.defaults.setString("preferredListening", kInterface);
        }
        if (c.request) writeChoice(kInterface, kHDMI, std::nullopt);
        auto& model = setup.create();
        EXPECT_EQ(model.selectedInput(), c.input);
        EXPECT_EQ(model.selectedOutput(), c.output);
        EXPECT_EQ(model.listeningUID(), c.listening);
        // The request is recorded as applied whatever is remembered; an absent flag counts as true.
        EXPECT_EQ(model.appliedInput(), kInterface);
        EXPECT_EQ(model.appliedOutput(), kHDMI);
        EXPECT_TRUE(model.appliedAutomaticRate());
        if (c.remember == false) {
            EXPECT_FALSE(setup.defaults.contains("preferredInput"));
            EXPECT_FALSE(setup.defaults.contains("preferredOutput"));
            EXPECT_FALSE(setup.defaults.contains("preferredListening"));
        } else {
            EXPECT_EQ(setup.defaults.stringValue("preferredOutput"), c.output);
        }
    }
}

TEST(AudioModelConstruction, PreferencesOfAnotherTypeOrSizeCountAsAbsent) {
    PanelSetup setup;
    setup.defaults.set("rememberDevices", std::string("no"));
    setup.defaults.set("automaticallyMatchSampleRate", platform::MemoryDefaultsStore::Data{"\x00"});
    setup.defaults.setBool("preferredInput", true);
    setup.defaults.setString("preferredOutput", std::string(5000, 'x'));
    setup.defaults.setString("listeningMuteMemory", R"({"BuiltInSpeakerDevice":{"levels":[0.5]}})");
    auto& model = setup.create();
    EXPECT_TRUE(model.rememberDevices());
    EXPECT_TRUE(model.automaticallyMatchSampleRate());
    EXPECT_EQ(model.selectedInput(), "system");
    EXPECT_EQ(model.selectedOutput(), kSpeakers);
    EXPECT_TRUE(model.muteMemory().empty());
}

TEST(AudioModelConstruction, DAWOnlyOutputIsNeverCopiedToListening) {
    PanelSetup setup;
    setup.defaults.setString("preferredOutput", "daw");
    auto& model = setup.create();
    EXPECT_EQ(model.selectedOutput(), "daw");
    EXPECT_EQ(model.listeningUID(), kSpeakers);  // the built-in output, chosen by refreshListening
    EXPECT_EQ(setup.defaults.stringValue("preferredListening"), kSpeakers);
    setup.passes(40);
    EXPECT_EQ(model.selectedOutput(), "daw");
}

TEST(AudioModelConstruction, GainIsResetToUnity) {
    PanelSetup setup;
    ASSERT_EQ(setup.audio.client->setPropertyObject(setup.audio.id(kKorvane), globalAddress(fourCC("kqgd")), PropertyList(-12.0)), 0);
    auto& model = setup.create();
    EXPECT_EQ(model.gain(), 0.0);
    PropertyList gain;
    ASSERT_EQ(setup.audio.client->getPropertyObject(setup.audio.id(kKorvane), globalAddress(fourCC("kqgd")), nullptr, gain), 0);
    EXPECT_EQ(gain.real(), 0.0);
}

TEST(AudioModelPreferences, RememberDevicesErasesAndRestoresTheThreeChoices) {
    PanelSetup setup;
    auto& model = setup.create();
    model.setSelectedOutput(kHeadphones);
    EXPECT_EQ(setup.defaults.stringValue("preferredOutput"), kHeadphones);
    model.setRememberDevices(false);
    EXPECT_EQ(setup.defaults.boolValue("rememberDevices"), false);
    for (const char* key : {"preferredInput", "preferredOutput", "preferredListening"}) EXPECT_FALSE(setup.defaults.contains(key));
    model.setSelectedInput(kMicrophone);
    EXPECT_FALSE(setup.defaults.contains("preferredInput"));
    model.setRememberDevices(true);
    EXPECT_EQ(setup.defaults.stringValue("preferredInput"), kMicrophone);
    EXPECT_EQ(setup.defaults.stringValue("preferredOutput"), kHeadphones);
    EXPECT_EQ(setup.defaults.stringValue("preferredListening"), kSpeakers);

    model.setAutomaticallyMatchSampleRate(false);
    EXPECT_EQ(setup.defaults.boolValue("automaticallyMatchSampleRate"), false);
}

TEST(AudioModelNotification, EveryWriteNotifiesAndSubscriptionsEndCleanly) {
    PanelSetup setup;
    auto& model = setup.create();
    std::vector<Property> seen;
    auto subscription = model.observe([&](Property p) { seen.push_back(p); });

    model.setSelectedInput(model.selectedInput());  // the same value
    ASSERT_EQ(seen, std::vector<Property>{Property::selectedInput});

    // A pass writes the telemetry on every tick, changed or not; meters once per element.
    seen.clear();
    setup.passes(1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), Property::meters), 4);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), Property::systemActive), 1);

    // An observer that ends its own and another subscription while being called.
    std::vector<Property> second;
    panel::Subscription other = model.observe([&](Property p) { second.push_back(p); });
    panel::Subscription self;
    int selfCalls = 0;
    self = model.observe([&](Property) {
        ++selfCalls;
        self.reset();
        other.reset();
    });
    seen.clear();
    second.clear();
    model.setSelectedInput("system");
    model.setSelectedInput("system");
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(second.size(), 1u);  // called before the subscription ended, not after
    EXPECT_EQ(seen.size(), 2u);

    subscription.reset();
    seen.clear();
    model.setSelectedInput("system");
    EXPECT_TRUE(seen.empty());

    // A subscription may outlive the model.
    auto late = model.observe([](Property) {});
    setup.model.reset();
    late.reset();
}

TEST(AudioModelRefresh, DiscoveryRunsEveryTwentiethPassAndOnDemand) {
    PanelSetup setup;
    auto& model = setup.create();
    const auto listed = [&](const char* uid) {
        return std::any_of(model.endpoints().begin(), model.endpoints().end(), [&](const AudioEndpoint& e) { return e.uid == uid; });
    };
    ASSERT_TRUE(listed(kHeadphones));
    ASSERT_EQ(setup.audio.model.unplug(kHeadphones), 0);
    setup.passes(19);  // passes 2…20
    EXPECT_TRUE(listed(kHeadphones));
    setup.passes(1);  // pass 21
    EXPECT_FALSE(listed(kHeadphones));

    ASSERT_EQ(setup.audio.model.plug(kHeadphones), 0);
    model.refreshDevices();
    EXPECT_TRUE(listed(kHeadphones));
    EXPECT_EQ(model.discoveryTick(), 1);
}

TEST(AudioModelRefresh, ForcedRediscoveryAlsoPollsTheReport) {
    PanelSetup setup;
    auto& model = setup.create();
    setup.passes(1);  // the automatic start writes a request
    ASSERT_EQ(model.routingPhase(), "starting");
    RoutingReport report{model.appliedRevision(), "running", "System playback connected · stereo 1–2",
                         setup.audio.clock.secondsSinceReferenceDate(), 7};
    ASSERT_FALSE(RoutingFiles::write(report, RoutingFiles::kReportFileName));
    model.refreshDevices();
    EXPECT_EQ(model.routingPhase(), "running");
    EXPECT_EQ(model.routingDetail(), "System playback connected · stereo 1–2");
    EXPECT_FALSE(model.requestStartedAt());
}

TEST(AudioModelRefresh, RouteAggregatesAreNotListed) {
    PanelSetup setup;
    ASSERT_NE(setup.createAggregate("audio.ravlin.route.1", "route", kKorvane, kSpeakers), 0u);
    auto& model = setup.create();
    EXPECT_TRUE(std::none_of(model.endpoints().begin(), model.endpoints().end(),
                             [](const AudioEndpoint& e) { return e.uid.starts_with("audio.ravlin.route."); }));
    EXPECT_EQ(model.endpoints().size(), 6u);
}

TEST(AudioModelRefresh, AFailedListingKeepsTheDevicesAndTheError) {
    PanelSetup setup;
    auto& model = setup.create();
    setup.passes(1);  // past the automatic start, which clears the error when it succeeds
    const auto before = model.endpoints();
    setup.audio.model.addFault(Fault{Operation::Size, kAudioObjectSystemObject, kAudioHardwarePropertyDevices, 0, audiosim::kAnyElement,
                                     kAudioHardwareUnspecifiedError, 1});
    model.refreshDevices();
    EXPECT_EQ(model.error(), "Could not refresh audio devices.");
    EXPECT_EQ(model.endpoints(), before);
    model.refreshDevices();  // succeeds: the error stays until an operation reports
    EXPECT_EQ(model.error(), "Could not refresh audio devices.");
}

TEST(AudioModelRefresh, DriverDisappearsAndReappearsWithANewId) {
    PanelSetup setup;
    auto& model = setup.create();
    const AudioObjectID first = model.device();
    ASSERT_NE(first, 0u);
    setup.audio.model.setInputSignal(kMicrophone, {});
    // Audio through the virtual device, so its meters move.
    const auto play = [&] {
        setup.audio.model.enqueuePlayback(kKorvane, 2, std::vector<float>(2 * 4800, 0.5f));
        setup.audio.model.step(setup.audio.id(kKorvane), 4096);
    };
    play();
    setup.passes(1);
    ASSERT_GT(model.meters()[0], 0.4);

    ASSERT_EQ(setup.audio.model.unplug(kKorvane), 0);
    std::vector<Property> seen;
    auto subscription = model.observe([&](Property p) { seen.push_back(p); });
    model.refreshDevices();
    EXPECT_EQ(model.device(), 0u);
    EXPECT_EQ(model.meters(), (std::array<double, 4>{}));
    EXPECT_EQ(model.peakDisplay(), panel::StereoPeakDisplay{});
    EXPECT_FALSE(model.systemActive());
    EXPECT_EQ(model.statusText(), "Driver missing · install the KORVANE driver");

    ASSERT_EQ(setup.audio.model.plug(kKorvane), 0);
    setup.passes(20);  // the next discovery pass
    EXPECT_NE(model.device(), 0u);
    EXPECT_NE(model.device(), first);
    EXPECT_EQ(model.device(), setup.audio.id(kKorvane));
    // Counters restarted: the first status after the new id already shows levels.
    play();
    setup.passes(1);
    EXPECT_GT(model.meters()[0], 0.4);
}

TEST(AudioModelRefresh, AnAudioSystemRestartLeavesNoDeadId) {
    PanelSetup setup;
    auto& model = setup.create();
    setup.passes(1);
    const AudioObjectID before = model.device();
    // The restarted system lists one more device first, so every id moves.
    auto machine = audiosim::builtinMachine();
    const auto extra = audiosim::parseMachine(R"({"devices": [{"uid": "Extra", "name": "Extra", "transport": "usb ", "outputs": [2]}]})");
    machine.devices.insert(machine.devices.begin(), extra.devices.front());
    audiosim::DeviceModel restarted(machine, setup.audio.clock);
    const auto client = restarted.connect();
    ScopedHardware installed(*client);
    ASSERT_NE(restarted.deviceId(kKorvane), before);

    setup.passes(1);  // the status read at the old id fails
    setup.passes(1);  // so this pass discovers at once
    EXPECT_EQ(model.device(), restarted.deviceId(kKorvane));
    EXPECT_EQ(model.endpoints().size(), 7u);
    setup.passes(1);
    EXPECT_EQ(model.rate(), 48000);
    EXPECT_EQ(model.bufferFrames(), 512u);
    EXPECT_TRUE(model.modeSupported());

    // A driver that never has a status is not rediscovered on every pass: only the change counts.
    restarted.addFault(Fault{Operation::Get, model.device(), fourCC("kqst")});
    setup.passes(1);
    EXPECT_EQ(model.discoveryTick(), 0);
    setup.passes(3);
    EXPECT_EQ(model.discoveryTick(), 3);
}

}  // namespace
}  // namespace korvane::test
