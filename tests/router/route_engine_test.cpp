#include "platform/uuid.h"
#include "router/engine/route_engine.h"
#include "router/engine/route_engine_testing.h"
#include "router/engine/route_state.h"
#include "tests/support/model_fixture.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace korvane::engine {
namespace {

using namespace platform::audio;
using audiosim::Fault;
using audiosim::Operation;
using test::kInterface;
using test::kKorvane;
using test::kMicrophone;
using test::kSpeakers;

// A machine with a four-input device and a 16-bit device besides the built-in ones.
audiosim::MachineSpec extendedMachine() {
    auto machine = audiosim::builtinMachine();
    const auto extra = audiosim::parseMachine(R"({"devices": [
        {"uid": "Quad", "name": "Quad Input", "transport": "usb ", "inputs": [4], "signal": {"sine": 100}},
        {"uid": "Old", "name": "Old Interface", "transport": "usb ", "inputs": [2], "outputs": [2], "format": "int16"}]})");
    machine.devices.insert(machine.devices.end(), extra.devices.begin(), extra.devices.end());
    return machine;
}

// Every engine test: a private runtime directory (the lock) and the device model on a manual
// clock, with the engine's pauses advancing that clock.
class RouteEngineTest : public ::testing::Test {
public:
    explicit RouteEngineTest(audiosim::MachineSpec machine = extendedMachine()) : setup(std::move(machine)) {
        setPauseForTesting(setup.clock.pause());
    }
    ~RouteEngineTest() override { setPauseForTesting({}); }

    AudioObjectID id(std::string_view uid) const { return setup.id(uid); }

    RouteState* start(AudioObjectID input, AudioObjectID output) {
        std::memset(message, 0, sizeof message);
        return RavlinRouteStart(input, output, message, sizeof message);
    }

    // Nothing of a failed attempt remains: no aggregate, no callback, the lock free.
    void expectNothingLeft() {
        EXPECT_EQ(setup.model.aggregateCount(), 0u);
        EXPECT_EQ(setup.model.ioProcCount(), 0u);
        RouteState* probe = start(0, 0);
        EXPECT_NE(probe, nullptr) << "the lock is still held: " << message;
        RavlinRouteStop(probe);
    }

    test::TestEnvironment environment;
    test::ModelSetup setup;
    char message[512]{};
};

TEST_F(RouteEngineTest, FailuresInTheOrderTheyAreChecked) {
    struct Case {
        const char* name;
        std::function<void(RouteEngineTest&)> prepare;
        const char* input;
        const char* output;
        std::string message;
    };
    const Case cases[] = {
        {"no KORVANE device",
         [](RouteEngineTest& t) {
             t.setup.model.addFault({Operation::Get, kAudioObjectSystemObject, kAudioHardwarePropertyTranslateUIDToDevice});
         },
         kMicrophone, kSpeakers, "KORVANE driver is not available. Install the driver and restart your Mac (0)"},
        {"KORVANE as the source", nullptr, kKorvane, kSpeakers, "Choose a physical device; KORVANE cannot monitor itself (0)"},
        {"KORVANE as the output", nullptr, kMicrophone, kKorvane,
         "Choose a physical device; KORVANE cannot monitor itself (0)"},
        {"source without inputs", nullptr, kSpeakers, kSpeakers, "Selected input is unavailable (0)"},
        {"output without two channels", nullptr, kInterface, kMicrophone, "Selected output needs two channels (0)"},
        {"UID unreadable",
         [](RouteEngineTest& t) {
             t.setup.model.addFault({Operation::Get, t.id(kSpeakers), kAudioDevicePropertyDeviceUID});
         },
         kMicrophone, kSpeakers, "Device disappeared during setup (0)"},
        {"aggregate refused",
         [](RouteEngineTest& t) {
             t.setup.model.addFault({Operation::CreateAggregate, 0, 0, 0, audiosim::kAnyElement, 1852797029});
         },
         kMicrophone, kSpeakers, "Could not connect devices (1852797029)"},
        {"aggregate never ready", [](RouteEngineTest& t) { t.setup.model.setAggregateReadyDelay(60); }, kMicrophone,
         kSpeakers, "Devices did not become ready. Reconnect and try again (0)"},
        {"16-bit device", nullptr, "Old", kSpeakers,
         "This device combination does not expose a supported float32 format (0)"},
        {"stream format unreadable",
         [](RouteEngineTest& t) { t.setup.model.addFault({Operation::Get, 0, kAudioStreamPropertyVirtualFormat}); },
         kMicrophone, kSpeakers, "This device combination does not expose a supported float32 format (0)"},
        {"callback refused",
         [](RouteEngineTest& t) {
             t.setup.model.addFault({Operation::CreateIOProc, 0, 0, 0, audiosim::kAnyElement, 560227702});
         },
         kMicrophone, kSpeakers,
         "Could not start routing. Check microphone permission and device availability (560227702)"},
        {"start refused",
         [](RouteEngineTest& t) { t.setup.model.addFault({Operation::Start, 0, 0, 0, audiosim::kAnyElement, -50}); },
         kMicrophone, kSpeakers, "Could not start routing. Check microphone permission and device availability (-50)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setup.model.clearFaults();
        setup.model.setAggregateReadyDelay(0);
        if (c.prepare) c.prepare(*this);
        const auto input = id(c.input);
        const auto output = id(c.output);
        EXPECT_EQ(start(input, output), nullptr);
        EXPECT_EQ(std::string(message), c.message);
        setup.model.clearFaults();
        expectNothingLeft();
    }
}

TEST_F(RouteEngineTest, ANeverReadyAggregateIsPolledFortyTimes) {
    setup.model.setAggregateReadyDelay(60);
    const double before = setup.clock.uptime();
    EXPECT_EQ(start(id(kMicrophone), id(kSpeakers)), nullptr);
    EXPECT_NEAR(setup.clock.uptime() - before, 40 * 0.05, 1e-9);
}

TEST_F(RouteEngineTest, ASlowAggregateThatBecomesReadyStarts) {
    setup.model.setAggregateReadyDelay(1.0);
    RouteState* route = start(id(kMicrophone), id(kSpeakers));
    ASSERT_NE(route, nullptr) << message;
    RavlinRouteStop(route);
}

TEST_F(RouteEngineTest, MessagesAreCutToTheCapacityAndTerminated) {
    const auto input = id(kKorvane);
    for (const std::uint32_t capacity : {1u, 2u, 10u, 59u, 60u}) {
        char buffer[64];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(RavlinRouteStart(input, 0, buffer, capacity), nullptr);
        const std::string full = "Choose a physical device; KORVANE cannot monitor itself (0)";
        EXPECT_EQ(std::string(buffer), full.substr(0, capacity - 1)) << capacity;
        EXPECT_EQ(buffer[capacity], 'x');
    }
    EXPECT_EQ(RavlinRouteStart(input, 0, nullptr, 0), nullptr);
}

TEST_F(RouteEngineTest, WithoutDevicesOnlyTheLockIsTaken) {
    RouteState* route = start(0, 0);
    ASSERT_NE(route, nullptr) << message;
    EXPECT_EQ(RavlinRoutePlaybackDevice(route), id(kKorvane));
    EXPECT_EQ(RavlinRouteCycles(route), 0u);
    EXPECT_EQ(setup.model.aggregateCount(), 0u);
    EXPECT_EQ(start(id(kMicrophone), id(kSpeakers)), nullptr);
    EXPECT_STREQ(message, "Another KORVANE routing connection is already active (0)");
    RavlinRouteStop(route);
    expectNothingLeft();
}

// Records the description of every aggregate created.
class DescriptionRecorder final : public test::ForwardingHardware {
public:
    using ForwardingHardware::ForwardingHardware;
    std::vector<PropertyList> descriptions;
    OSStatus createAggregateDevice(const PropertyList& description, AudioObjectID& device) override {
        descriptions.push_back(description);
        return inner_.createAggregateDevice(description, device);
    }
};

TEST_F(RouteEngineTest, AggregateLayoutAndDescription) {
    struct Case {
        const char* name;
        const char* input;
        const char* output;
        std::vector<std::string> subdevices;
        std::string clock;
        std::uint32_t inputChannel;
        std::uint32_t listenChannel;
        bool mono;
    };
    const Case cases[] = {
        {"microphone to speakers", kMicrophone, kSpeakers, {kKorvane, kMicrophone, kSpeakers}, kSpeakers, 2, 2, true},
        {"duplex interface", kInterface, kInterface, {kKorvane, kInterface}, kInterface, 2, 2, false},
        {"four inputs to headphones", "Quad", "BTHeadphones:00-11-22", {kKorvane, "Quad", "BTHeadphones:00-11-22"},
         "BTHeadphones:00-11-22", 2, 2, false},
        {"source only", kInterface, nullptr, {kKorvane, kInterface}, kInterface, 2, 0, false},
        {"listening only", nullptr, "HDMIDisplay:1", {kKorvane, "HDMIDisplay:1"}, "HDMIDisplay:1", 0, 2, false},
    };
    DescriptionRecorder recorder(*setup.client);
    ScopedHardware installed(recorder);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        recorder.descriptions.clear();
        RouteState* route = start(c.input ? id(c.input) : 0, c.output ? id(c.output) : 0);
        ASSERT_NE(route, nullptr) << message;
        EXPECT_EQ(route->inputChannel, c.inputChannel);
        EXPECT_EQ(route->listenChannel, c.listenChannel);
        EXPECT_EQ(route->driverInputChannel, 0u);
        EXPECT_EQ(route->driverOutputChannel, 0u);
        EXPECT_EQ(route->monoInput, c.mono);
        EXPECT_EQ(route->hasInput, c.input != nullptr);
        EXPECT_EQ(route->hasListening, c.output != nullptr);
        EXPECT_EQ(RavlinRoutePlaybackDevice(route), id(kKorvane));

        ASSERT_EQ(recorder.descriptions.size(), 1u);
        const auto& description = *recorder.descriptions[0].dictionary();
        std::vector<std::string> keys;
        for (const auto& [key, value] : description) keys.push_back(key);
        EXPECT_EQ(keys, (std::vector<std::string>{"master", "name", "private", "subdevices", "uid"}));
        EXPECT_EQ(*description.at("name").string(), "KORVANE routing");
        EXPECT_EQ(description.at("private").integer(), 1);
        EXPECT_EQ(*description.at("master").string(), c.clock);
        const std::string& uid = *description.at("uid").string();
        ASSERT_TRUE(uid.starts_with("audio.ravlin.route."));
        EXPECT_TRUE(platform::isUUIDString(uid.substr(19)));
        EXPECT_EQ(uid.find_first_of("abcdef", 19), std::string::npos);
        const auto& subdevices = *description.at("subdevices").array();
        ASSERT_EQ(subdevices.size(), c.subdevices.size());
        for (std::size_t i = 0; i < subdevices.size(); ++i) {
            EXPECT_EQ(*subdevices[i].find("uid")->string(), c.subdevices[i]);
            EXPECT_EQ(subdevices[i].find("drift")->integer(), c.subdevices[i] == c.clock ? 0 : 1);
            EXPECT_EQ(subdevices[i].dictionary()->size(), 2u);
        }
        RavlinRouteStop(route);
        expectNothingLeft();
    }
}

// After the audio system restarts, the route's old aggregate id can name another device: the
// stop must leave that device alone.
class ReassignedAggregate final : public test::ForwardingHardware {
public:
    using ForwardingHardware::ForwardingHardware;
    AudioObjectID reassigned = 0;
    std::vector<AudioObjectID> destroyed;
    OSStatus getPropertyObject(AudioObjectID o, const Address& a, const PropertyList* q, PropertyList& v) override {
        if (o == reassigned && a.mSelector == kAudioDevicePropertyDeviceUID) {
            v = PropertyList(std::string("audio.ravlin.daw.QnVpbHRJblNwZWFrZXJEZXZpY2U="));
            return kAudioHardwareNoError;
        }
        return inner_.getPropertyObject(o, a, q, v);
    }
    OSStatus destroyAggregateDevice(AudioObjectID id) override {
        destroyed.push_back(id);
        return inner_.destroyAggregateDevice(id);
    }
};

TEST_F(RouteEngineTest, StopDestroysOnlyADeviceThatIsStillTheRouteAggregate) {
    ReassignedAggregate hardware(*setup.client);
    ScopedHardware installed(hardware);
    for (const bool reassigned : {false, true}) {
        SCOPED_TRACE(reassigned ? "id now names the DAW device" : "id still names the route");
        hardware.destroyed.clear();
        RouteState* route = start(id(kMicrophone), id(kSpeakers));
        ASSERT_NE(route, nullptr) << message;
        const AudioObjectID aggregate = route->aggregateDevice;
        hardware.reassigned = reassigned ? aggregate : 0;
        RavlinRouteStop(route);
        EXPECT_EQ(hardware.destroyed, reassigned ? std::vector<AudioObjectID>{} : std::vector<AudioObjectID>{aggregate});
        hardware.reassigned = 0;
        if (reassigned) setup.client->destroyAggregateDevice(aggregate);
    }
}

TEST_F(RouteEngineTest, ASecondStartFailsAndLeavesTheFirstRunning) {
    RouteState* first = start(id(kMicrophone), id(kSpeakers));
    ASSERT_NE(first, nullptr) << message;
    EXPECT_EQ(start(id(kInterface), id(kSpeakers)), nullptr);
    EXPECT_STREQ(message, "Another KORVANE routing connection is already active (0)");

    // Another process of the same user.
    const pid_t child = ::fork();
    if (child == 0) {
        char childMessage[512] = {};
        RouteState* route = RavlinRouteStart(0, 0, childMessage, sizeof childMessage);
        ::_exit(route == nullptr &&
                        std::strcmp(childMessage, "Another KORVANE routing connection is already active (0)") == 0
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    setup.model.step(first->aggregateDevice, 512);
    EXPECT_EQ(RavlinRouteCycles(first), 1u);
    EXPECT_EQ(setup.model.aggregateCount(), 1u);
    RavlinRouteStop(first);
    expectNothingLeft();
}

TEST_F(RouteEngineTest, AnUnusableLockFileRefusesEveryStart) {
    const auto lock = environment.runtimeDirectory() / "audio.korvane.routing.lock";
    const auto elsewhere = environment.root() / "elsewhere";
    struct Case {
        const char* name;
        std::function<bool()> prepare;  // false: cannot be arranged here
    };
    const Case cases[] = {
        {"symbolic link",
         [&] {
             test::writeFile(elsewhere, "");
             std::filesystem::create_symlink(elsewhere, lock);
             return true;
         }},
        {"directory", [&] { return std::filesystem::create_directory(lock); }},
        {"owned by another user",
         [&] {
             test::writeFile(lock, "");
             return ::geteuid() == 0 && ::chown(lock.c_str(), 65534, 65534) == 0;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(lock);
        if (!c.prepare()) {
            std::printf("skipped \"%s\": needs root\n", c.name);
            continue;
        }
        EXPECT_EQ(start(id(kMicrophone), id(kSpeakers)), nullptr);
        EXPECT_STREQ(message, "Another KORVANE routing connection is already active (0)");
        EXPECT_EQ(start(0, 0), nullptr);
        EXPECT_EQ(setup.model.aggregateCount(), 0u);
    }
    std::filesystem::remove_all(lock);
    RouteState* route = start(0, 0);
    ASSERT_NE(route, nullptr);
    struct stat info {};
    ASSERT_EQ(::stat(lock.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    RavlinRouteStop(route);
    EXPECT_TRUE(std::filesystem::exists(lock));  // the file stays; only the lock matters
}

PropertyList listeningAggregate(const std::string& uid) {
    PropertyList::Dictionary sub;
    sub["uid"] = PropertyList(kSpeakers);
    PropertyList::Dictionary description;
    description["name"] = PropertyList("KORVANE listening");
    description["uid"] = PropertyList(uid);
    description["private"] = PropertyList(0);
    description["subdevices"] = PropertyList(PropertyList::Array{PropertyList(std::move(sub))});
    return description;
}

AudioObjectID defaultDevice(FourCharCode selector) {
    AudioObjectID device = 0;
    getProperty(kAudioObjectSystemObject, {selector, kAudioObjectPropertyScopeGlobal, 0}, device);
    return device;
}

TEST_F(RouteEngineTest, StaleListeningOutputs) {
    // Another user's per-user device is no UUID and not ours: left alone.
    auto other = setup.model.connect();
    AudioObjectID foreign = 0;
    ASSERT_EQ(other->createAggregateDevice(
                  listeningAggregate("audio.korvane.listen.user." + std::to_string(::getuid() + 1)), foreign),
              0);

    // One of ours, running in another client: the start fails and destroys nothing.
    AudioObjectID running = 0;
    ASSERT_EQ(other->createAggregateDevice(listeningAggregate("audio.korvane.listen." + platform::newUUIDString()), running),
              0);
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(other->createIOProcID(running, [](auto...) -> OSStatus { return 0; }, nullptr, proc), 0);
    ASSERT_EQ(other->startDevice(running, proc), 0);
    EXPECT_EQ(start(0, id("HDMIDisplay:1")), nullptr);
    EXPECT_STREQ(message, "An existing KORVANE listening output is busy. Stop other audio sessions and try again (0)");
    EXPECT_EQ(setup.model.aggregateCount(), 2u);
    RouteState* probe = start(0, 0);
    EXPECT_NE(probe, nullptr);  // the lock was released
    RavlinRouteStop(probe);
    ASSERT_EQ(other->stopDevice(running, proc), 0);

    // Now idle and the default output: the defaults move to the listening output, then it goes.
    const AudioObjectPropertyAddress defaultOutput{kAudioHardwarePropertyDefaultOutputDevice, kAudioObjectPropertyScopeGlobal, 0};
    const AudioObjectPropertyAddress systemOutput{kAudioHardwarePropertyDefaultSystemOutputDevice,
                                                  kAudioObjectPropertyScopeGlobal, 0};
    ASSERT_EQ(setProperty(kAudioObjectSystemObject, defaultOutput, running), 0);
    ASSERT_EQ(setProperty(kAudioObjectSystemObject, systemOutput, running), 0);
    RouteState* route = start(0, id("HDMIDisplay:1"));
    ASSERT_NE(route, nullptr) << message;
    EXPECT_EQ(defaultDevice(kAudioHardwarePropertyDefaultOutputDevice), id("HDMIDisplay:1"));
    EXPECT_EQ(defaultDevice(kAudioHardwarePropertyDefaultSystemOutputDevice), id("HDMIDisplay:1"));
    EXPECT_EQ(setup.id("audio.korvane.listen.user." + std::to_string(::getuid() + 1)), foreign);
    EXPECT_EQ(setup.model.aggregateCount(), 2u);  // the foreign one and the route's own
    RavlinRouteStop(route);
}

TEST_F(RouteEngineTest, AMicrophoneRouteIsHeardOnTheListeningOutput) {
    RouteState* route = start(id(kMicrophone), id(kSpeakers));
    ASSERT_NE(route, nullptr) << message;
    setup.model.takeOutputTap(kSpeakers);
    for (int cycle = 0; cycle < 10; ++cycle) setup.model.step(route->aggregateDevice, 512);
    EXPECT_EQ(RavlinRouteCycles(route), 10u);
    const float expected = float(std::pow(10.0, -20.0 / 20.0));  // the microphone's 1 kHz at -20 dBFS
    EXPECT_NEAR(RavlinRouteMonitorPeak(route), expected, 1e-3);
    const auto tap = setup.model.takeOutputTap(kSpeakers);
    ASSERT_EQ(tap.size(), 10u * 512 * 2);
    float peak = 0;
    for (std::size_t i = 0; i < tap.size(); i += 2) {
        EXPECT_EQ(tap[i], tap[i + 1]);  // the mono microphone on both channels
        peak = std::max(peak, std::fabs(tap[i]));
    }
    EXPECT_NEAR(peak, expected, 1e-3);
    const auto telemetry = setup.model.korvaneTelemetry();
    EXPECT_EQ(telemetry->writeCounter, 10u);
    RavlinRouteStop(route);
    expectNothingLeft();
}

TEST_F(RouteEngineTest, StoppingWhileTheClockThreadRendersIsSafe) {
    setup.model.startClock();
    for (int round = 0; round < 5; ++round) {
        RouteState* route = start(id(kInterface), id(kSpeakers));
        ASSERT_NE(route, nullptr) << message;
        EXPECT_TRUE(test::waitUntil([&] {
            RavlinRouteMonitorPeak(route);
            return RavlinRouteCycles(route) >= 3;
        })) << RavlinRouteCycles(route) << " cycles";
        RavlinRouteStop(route);
    }
    setup.model.stopClock();
    expectNothingLeft();
}

}  // namespace
}  // namespace korvane::engine
