// Output recovery, the combined DAW device, the selected output's name and the diagnostics.
#include "panel/daw_setup.h"
#include "shared/audio_device_inventory.h"
#include "shared/routing_files.h"
#include "tests/panel/panel_fixture.h"

namespace korvane::test {
namespace {

using namespace platform::audio;
using audiosim::Fault;
using audiosim::Operation;

AudioObjectID defaultOutput() {
    AudioObjectID id = 0;
    EXPECT_EQ(getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), id), 0);
    return id;
}

TEST(OutputRecovery, ChoiceOfTheTarget) {
    struct Case {
        const char* name;
        const char* selected;
        std::vector<const char*> unplugged;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"the selected physical output", kHeadphones, {}, kHeadphones},
        {"DAW only: the built-in output", "daw", {}, kSpeakers},
        {"the selected aggregate is never used", "user.both", {}, kSpeakers},
        {"without built-in: the first physical", "daw", {kSpeakers}, kHeadphones},
        {"none", "daw", {kSpeakers, kHeadphones, kHDMI, kInterface}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup;
        // A usable listening output, but not a physical one.
        setup.createAggregate("user.both", "AAA Both Outputs", kSpeakers, kHeadphones);
        setup.defaults.setString("preferredOutput", c.selected);
        for (const char* uid : c.unplugged) ASSERT_EQ(setup.audio.model.unplug(uid), 0);
        auto& model = setup.create();
        const auto target = model.recoveryOutput();
        EXPECT_EQ(target ? std::optional(target->uid) : std::nullopt, c.expected);
    }
}

TEST(OutputRecovery, RestoreStopsTheRouteAndSwitchesTheOutput) {
    PanelSetup setup;
    auto& model = setup.create();
    setup.passes(1);
    const std::string revision = model.appliedRevision();
    ASSERT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), model.device()), 0);
    model.setSelectedOutput(kHeadphones);

    model.restoreMacOutput();
    EXPECT_EQ(model.recoveryMessage(),
              "Mac playback now uses Bluetooth Headphones directly. Volume is unchanged; unmute that device when you want to listen.");
    EXPECT_EQ(defaultOutput(), setup.audio.id(kHeadphones));
    const auto request = RoutingFiles::readChoice();
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->enabled);
    EXPECT_NE(request->revision, revision);
    EXPECT_EQ(model.routingDetail(), "Stopping routing…");

    const AudioObjectID speakers = setup.audio.id(kSpeakers);
    model.setSelectedOutput(kSpeakers);
    setup.audio.model.addFault(Fault{Operation::Set, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, 0,
                                     audiosim::kAnyElement, -10851});
    model.restoreMacOutput();
    EXPECT_EQ(model.recoveryMessage(), "Could not switch the Mac output (-10851). Choose it in macOS Sound settings.");
    EXPECT_NE(defaultOutput(), speakers);
}

TEST(OutputRecovery, WithoutAPhysicalOutputOnlyTheMessage) {
    PanelSetup setup;
    auto& model = setup.create();
    setup.passes(1);
    const auto request = RoutingFiles::readChoice();
    for (const char* uid : {kSpeakers, kHeadphones, kHDMI, kInterface}) ASSERT_EQ(setup.audio.model.unplug(uid), 0);
    model.restoreMacOutput();
    EXPECT_EQ(model.recoveryMessage(), "No physical output is connected. Connect speakers or an interface, then refresh devices.");
    EXPECT_EQ(RoutingFiles::readChoice(), request);  // the route is not stopped
}

TEST(SelectedOutputName, ListedOrGeneric) {
    PanelSetup setup;
    auto& model = setup.create();
    EXPECT_EQ(model.selectedOutputName(), "Built-in Speakers");
    model.setSelectedOutput("daw");
    EXPECT_EQ(model.selectedOutputName(), "your audio interface");
}

TEST(DAWSetup, DeviceUIDIsPrefixAndBase64) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "audio.ravlin.daw."},
        {"a", "audio.ravlin.daw.YQ=="},
        {"ab", "audio.ravlin.daw.YWI="},
        {"abc", "audio.ravlin.daw.YWJj"},
        {"BuiltInSpeakerDevice", "audio.ravlin.daw.QnVpbHRJblNwZWFrZXJEZXZpY2U="},
        {"USB Interface: 2/3 ü\xff", "audio.ravlin.daw.VVNCIEludGVyZmFjZTogMi8zIMO8/w=="},
    };
    for (const auto& [uid, expected] : cases) EXPECT_EQ(panel::DAWSetup::deviceUID(uid), expected) << uid;
}

TEST(DAWSetup, CreateRefusalsAndReuse) {
    PanelSetup setup;
    auto& model = setup.create();
    const auto endpoints = model.endpoints();
    const auto find = [&](const char* uid) {
        return *std::find_if(endpoints.begin(), endpoints.end(), [&](const AudioEndpoint& e) { return e.uid == uid; });
    };
    auto mono = find(kSpeakers);
    mono.outputChannels = 1;
    auto aggregate = find(kSpeakers);
    aggregate.transport = kAudioDeviceTransportTypeAggregate;
    auto withoutDriver = endpoints;
    std::erase_if(withoutDriver, [](const AudioEndpoint& e) { return e.isKorvane(); });
    const std::string stereo = "Choose a stereo speaker or interface output first.";
    EXPECT_EQ(panel::DAWSetup::create(mono, endpoints).error().message, stereo);
    EXPECT_EQ(panel::DAWSetup::create(aggregate, endpoints).error().message, stereo);
    EXPECT_EQ(panel::DAWSetup::create(find(kSpeakers), withoutDriver).error().message, "Install KORVANE's driver and restart first.");

    // Reuse: the listed device's name is returned, whatever the output is called now.
    auto listed = endpoints;
    listed.push_back(AudioEndpoint{99, panel::DAWSetup::deviceUID(kSpeakers), "KORVANE + Old Name", 48000,
                                   kAudioDeviceTransportTypeAggregate, 2, 4});
    const auto before = setup.audio.model.aggregateCount();
    EXPECT_EQ(panel::DAWSetup::create(find(kSpeakers), listed).value(), "KORVANE + Old Name");
    EXPECT_EQ(setup.audio.model.aggregateCount(), before);

    setup.audio.model.addFault(Fault{Operation::CreateAggregate, 0, 0, 0, audiosim::kAnyElement, 560226676, 1});
    EXPECT_EQ(panel::DAWSetup::create(find(kSpeakers), endpoints).error().message,
              "Could not create the DAW device (560226676). Use Audio MIDI Setup to combine KORVANE and your output.");
}

TEST(DAWSetup, ModelActionCreatesOnceAndListsTheDevice) {
    PanelSetup setup;
    auto& model = setup.create();
    model.setSelectedOutput(kInterface);
    model.createDAWDevice();
    const std::string message =
        "Select KORVANE + USB Audio Interface in your DAW. Input: 1–2. Playback output: 3–4. Never send DAW playback to output 1–2.";
    EXPECT_EQ(model.dawDeviceMessage(), message);
    const auto device = std::find_if(model.endpoints().begin(), model.endpoints().end(),
                                     [](const AudioEndpoint& e) { return e.uid.starts_with("audio.ravlin.daw."); });
    ASSERT_NE(device, model.endpoints().end());  // listed at once
    EXPECT_EQ(device->name, "KORVANE + USB Audio Interface");
    EXPECT_EQ(device->inputChannels, 2 + 2);
    EXPECT_EQ(device->outputChannels, 2 + 2);
    // Never offered as a listening output.
    const auto outputs = model.listeningOutputs();
    EXPECT_TRUE(std::none_of(outputs.begin(), outputs.end(), [&](const AudioEndpoint& e) { return e.uid == device->uid; }));

    const auto count = setup.audio.model.aggregateCount();
    model.createDAWDevice();
    EXPECT_EQ(model.dawDeviceMessage(), message);
    EXPECT_EQ(setup.audio.model.aggregateCount(), count);

    model.setSelectedOutput("daw");
    model.createDAWDevice();
    EXPECT_EQ(model.dawDeviceMessage(), "Choose an Audio output first.");
}

TEST(Diagnostics, AFreshPanelWithoutTheDriver) {
    auto machine = audiosim::builtinMachine();
    std::erase_if(machine.devices, [](const audiosim::DeviceSpec& d) { return d.korvane; });
    PanelSetup setup(machine);
    setup.applications.info = platform::BundleInfo{{"CFBundleShortVersionString", "1.4.2"}};
    setup.applications.osVersion = "Debian GNU/Linux 13 (trixie)\nLinux 6.12";
    auto& model = setup.create();
    setup.passes(1);
    EXPECT_EQ(model.diagnosticsText(),
              "KORVANE 1.4.2 (unknown)\n"
              "Debian GNU/Linux 13 (trixie) Linux 6.12\n"
              "Driver available: false\n"
              "Route: stopped\n"
              "Detail: Audio starts automatically when your devices are ready.\n"
              "Rate: 48000 Hz; driver buffer: 0 frames\n"
              "Mode: Stereo; gain: 0.0 dB\n"
              "Source: System audio\n"
              "Listening output available: true; muted: false\n"
              "Pending device changes: false\n"
              "Error: None");
    setup.applications.info.reset();
    EXPECT_TRUE(model.diagnosticsText().starts_with("KORVANE unknown (unknown)\n"));
}

TEST(Diagnostics, ARunningPanel) {
    PanelSetup setup;
    auto& model = setup.create();
    model.setGain(-6.25);
    model.setMono(true);
    model.setSelectedInput(kMicrophone);
    model.toggleListeningMute();
    const auto text = model.diagnosticsText();
    EXPECT_NE(text.find("\nDriver available: true\n"), std::string::npos);
    EXPECT_NE(text.find("\nRate: 48000 Hz; driver buffer: 512 frames\n"), std::string::npos);
    EXPECT_NE(text.find("\nMode: Mono; gain: -6.25 dB\n"), std::string::npos);
    EXPECT_NE(text.find("\nSource: Hardware input\n"), std::string::npos);
    EXPECT_NE(text.find("\nListening output available: true; muted: true\n"), std::string::npos);
    EXPECT_EQ(text.find("BuiltIn"), std::string::npos);  // no device names or UIDs
    EXPECT_EQ(text.find("Built-in"), std::string::npos);
}

}  // namespace
}  // namespace korvane::test
