// The PipeWire audio system over a private PipeWire and WirePlumber, with null nodes as the
// computer's hardware and korvane-driver as the KORVANE device: what the shared layer and the
// route engine meet there, and real audio through real routes.
#include "pipewire_audio/pipewire_hardware.h"
#include "pipewire_audio/pipewire_services.h"
#include "router/engine/route_engine.h"
#include "shared/audio_device_inventory.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"
#include "tests/support/stream_probe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

namespace {

using namespace platform::audio;
using korvane::test::PipeWireSession;
using korvane::test::RunningProgram;
using korvane::test::StreamProbe;
using korvane::test::waitUntil;
using Frame = std::array<float, 2>;
using namespace std::chrono_literals;

constexpr const char* kKorvane = "audio.ravlin.stereo.v1";
constexpr const char* kKorvaneInput = "audio.ravlin.stereo.v1.input";

Frame tone(std::int64_t position) {
    const double t = double(position) / StreamProbe::kRate;
    return {float(0.5 * std::sin(2 * M_PI * 660 * t)), float(0.25 * std::sin(2 * M_PI * 880 * t))};
}

// The largest magnitude of each channel over everything recorded.
Frame peaks(const std::vector<StreamProbe::Block>& blocks) {
    Frame peak{};
    for (const auto& block : blocks)
        for (std::size_t i = 0; i < block.samples.size(); ++i)
            peak[i % 2] = std::max(peak[i % 2], std::abs(block.samples[i]));
    return peak;
}

class PipeWireRouteTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.ready());
        driver = std::make_unique<RunningProgram>(std::vector<std::string>{korvane::test::driverProgram()});
        addNode("builtin.out", "Built-in Output", "Audio/Sink", "[FL FR]", "device.bus=pci priority.session=2000");
        addNode("usb.if", "USB Interface", "Audio/Sink", "[FL FR]", "device.bus=usb priority.session=1000");
        microphone.presentSource("usb.mic", tone);
        ASSERT_TRUE(waitUntil([&] {
            return session.nodeId(kKorvane) && session.nodeId(kKorvaneInput) && session.nodeId("builtin.out") &&
                   session.nodeId("usb.if") && session.nodeId("usb.mic");
        }, 15s));
        std::string error;
        connection = korvane::pipewire_audio::GraphConnection::open(error);
        ASSERT_TRUE(connection) << error;
        hardware = std::make_unique<korvane::pipewire_audio::PipeWireHardware>(connection);
        installed = std::make_unique<ScopedHardware>(*hardware);
        ASSERT_TRUE(waitUntil([&] { return channels(kKorvane, kAudioObjectPropertyScopeInput) == 2; }, 10s));
    }

    void addNode(const std::string& name, const std::string& description, const std::string& mediaClass,
                 const std::string& positions, const std::string& extra) {
        ASSERT_EQ(session.run({"pw-cli", "create-node", "adapter",
                               "{ factory.name=support.null-audio-sink node.name=" + name + " node.description=\"" +
                                   description + "\" media.class=" + mediaClass + " object.linger=true audio.position=" +
                                   positions + " " + extra + " }"}),
                  0);
    }

    AudioObjectID device(const std::string& uid) { return deviceForUID(*hardware, uid); }

    int channels(const std::string& uid, FourCharCode scope) {
        const AudioObjectID id = device(uid);
        return id ? korvane::AudioDeviceInventory::channelCount(id, scope) : -1;
    }

    AudioObjectID defaultOutput() {
        AudioObjectID id = 0;
        getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), id);
        return id;
    }

    RouteState* start(AudioObjectID input, AudioObjectID output) {
        char message[256] = "";
        RouteState* route = RavlinRouteStart(input, output, message, sizeof message);
        EXPECT_TRUE(route) << message;
        return route;
    }

    // Plays the tone into `target` (none: only the microphone plays) and records `recorded` (a
    // sink's monitor when `monitor`) until the recording carries the tone on both channels, or
    // the deadline passes.
    Frame playAndRecord(const std::string& target, const std::string& recorded, bool monitor) {
        StreamProbe probe;
        monitor ? probe.recordMonitor(recorded) : probe.record(recorded);
        if (!target.empty()) probe.play(target, tone);
        waitUntil([&] {
            const Frame peak = peaks(probe.recorded());
            return peak[0] > 0.45f && peak[1] > 0.2f;
        }, 10s);
        return peaks(probe.recorded());
    }

    PipeWireSession session;
    StreamProbe microphone;
    std::unique_ptr<RunningProgram> driver;
    std::shared_ptr<korvane::pipewire_audio::GraphConnection> connection;
    std::unique_ptr<korvane::pipewire_audio::PipeWireHardware> hardware;
    std::unique_ptr<ScopedHardware> installed;
};

TEST_F(PipeWireRouteTest, DevicesAreListedAsThePlatformWould) {
    const auto endpoints = korvane::AudioDeviceInventory::enumerate();
    ASSERT_TRUE(endpoints);
    struct Expected {
        const char* uid;
        const char* name;
        FourCharCode transport;
        int inputs;
        int outputs;
    };
    const Expected expected[] = {
        {"builtin.out", "Built-in Output", kAudioDeviceTransportTypeBuiltIn, 0, 2},
        {"usb.if", "USB Interface", kAudioDeviceTransportTypeUSB, 0, 2},
        {"usb.mic", "USB Microphone", kAudioDeviceTransportTypeUSB, 2, 0},
        {kKorvane, "KORVANE", kAudioDeviceTransportTypeVirtual, 2, 2},
    };
    for (const Expected& e : expected) {
        const auto it = std::find_if(endpoints->begin(), endpoints->end(), [&](const auto& x) { return x.uid == e.uid; });
        ASSERT_NE(it, endpoints->end()) << e.uid;
        EXPECT_EQ(it->name, e.name);
        EXPECT_EQ(it->transport, e.transport) << e.uid;
        EXPECT_EQ(it->inputChannels, e.inputs) << e.uid;
        EXPECT_EQ(it->outputChannels, e.outputs) << e.uid;
        EXPECT_EQ(it->nominalRate, 48000) << e.uid;
    }
    EXPECT_EQ(defaultOutput(), device("builtin.out"));
}

TEST_F(PipeWireRouteTest, TheSystemRouteHearsPlaybackAndTheDefaultComesBackExactly) {
    const auto configuredBefore = session.metadataValue("default", 0, "default.configured.audio.sink");
    ASSERT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                          device(kKorvane)),
              kAudioHardwareNoError);
    EXPECT_EQ(defaultOutput(), device(kKorvane)) << "read straight after the write";

    RouteState* route = start(0, device("builtin.out"));
    ASSERT_TRUE(route);
    const Frame heard = playAndRecord(kKorvane, "builtin.out", true);
    EXPECT_GT(heard[0], 0.45f);
    EXPECT_GT(heard[1], 0.2f);
    EXPECT_LT(heard[1], 0.3f) << "the channels stay apart";
    const Frame daw = playAndRecord(kKorvane, kKorvaneInput, false);
    EXPECT_GT(daw[0], 0.45f);
    EXPECT_TRUE(waitUntil([&] { return RavlinRouteCycles(route) > 10; }));
    RavlinRouteStop(route);

    ASSERT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                          device("builtin.out")),
              kAudioHardwareNoError);
    EXPECT_EQ(defaultOutput(), device("builtin.out"));
    EXPECT_EQ(session.metadataValue("default", 0, "default.configured.audio.sink"), configuredBefore)
        << "what the session remembers is put back as it was";
    EXPECT_FALSE(session.nodeId("audio.korvane.route")) << "no route node is left";
}

TEST_F(PipeWireRouteTest, AMicrophoneRouteReachesTheDAWAndTheListeningOutput) {
    RouteState* route = start(device("usb.mic"), device("usb.if"));
    ASSERT_TRUE(route);
    EXPECT_GT(playAndRecord("", kKorvaneInput, false)[0], 0.45f);
    EXPECT_GT(playAndRecord("", "usb.if", true)[0], 0.45f);
    EXPECT_EQ(defaultOutput(), device("builtin.out"));
    RavlinRouteStop(route);
}

TEST_F(PipeWireRouteTest, AnUnpluggedListeningOutputStopsTheCallbacks) {
    RouteState* route = start(0, device("usb.if"));
    ASSERT_TRUE(route);
    ASSERT_TRUE(waitUntil([&] { return RavlinRouteCycles(route) > 10; }));
    ASSERT_EQ(session.run({"pw-cli", "destroy", std::to_string(*session.nodeId("usb.if"))}), 0);
    ASSERT_TRUE(waitUntil([&] { return device("usb.if") == 0; }));
    const auto cycles = RavlinRouteCycles(route);
    std::this_thread::sleep_for(200ms);  // long enough for many cycles, had they gone on
    EXPECT_EQ(RavlinRouteCycles(route), cycles);
    RavlinRouteStop(route);
}

TEST_F(PipeWireRouteTest, SettingsReachTheDriverAndTheSinkVolume) {
    const AudioObjectID korvane = device(kKorvane);
    EXPECT_EQ(hardware->setPropertyObject(korvane, globalAddress(fourCC("kqgd")), PropertyList(99.0)), kAudioHardwareNoError);
    PropertyList gain;
    ASSERT_EQ(hardware->getPropertyObject(korvane, globalAddress(fourCC("kqgd")), nullptr, gain), kAudioHardwareNoError);
    EXPECT_EQ(gain.real(), 12.0) << "clamped, and read straight back";
    EXPECT_EQ(session.propsParams(kKorvane)["korvane.gain-db"], 12.0);

    // KORVANE runs at the graph's rate: that rate is set at once; one the graph does not follow
    // (the session allows only 48 kHz) is refused and leaves nothing behind.
    const auto rateAddress = globalAddress(kAudioDevicePropertyNominalSampleRate);
    double rate = 0;
    EXPECT_EQ(getProperty(korvane, rateAddress, rate), kAudioHardwareNoError);
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(setProperty(korvane, rateAddress, 48000.0), kAudioHardwareNoError);
    EXPECT_FALSE(session.node(kKorvane)["info"]["props"].contains("node.rate")) << "the rate in effect sets nothing";
    EXPECT_EQ(setProperty(korvane, rateAddress, 96000.0), kAudioDeviceUnsupportedFormatError);
    EXPECT_EQ(getProperty(korvane, rateAddress, rate), kAudioHardwareNoError);
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(session.propsParams(kKorvane)["korvane.rate"], 48000);
    EXPECT_TRUE(waitUntil([&] { return session.node(kKorvane)["info"]["props"].value("node.rate", "") != "1/96000"; }, 3s))
        << "the preference is withdrawn";
    EXPECT_EQ(setProperty(korvane, rateAddress, 12345.0), kAudioDeviceUnsupportedFormatError);

    const AudioObjectPropertyAddress volume{kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, 0};
    ASSERT_EQ(setProperty(device("usb.if"), volume, 0.5f), kAudioHardwareNoError);
    const auto props = session.node("usb.if")["info"]["params"]["Props"];
    ASSERT_TRUE(props.is_array() && !props.empty());
    EXPECT_NEAR(props[0]["channelVolumes"][0].get<double>(), 0.125, 1e-4) << "cubic, as the desktop shows volume";
}

TEST_F(PipeWireRouteTest, AnOutputQueuePlaysOnItsDevice) {
    korvane::pipewire_audio::PipeWireQueueService queues(connection);
    AudioStreamBasicDescription format;
    format.mSampleRate = 48000;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    format.mBytesPerPacket = format.mBytesPerFrame = 8;
    format.mFramesPerPacket = 1;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    std::unique_ptr<AudioOutputQueue> queue;
    ASSERT_EQ(queues.newOutput(format, queue), kAudioHardwareNoError);
    EXPECT_EQ(queue->setCurrentDevice("no.such.device"), kAudioHardwareBadDeviceError);
    ASSERT_EQ(queue->setCurrentDevice("usb.if"), kAudioHardwareNoError);
    AudioQueueBuffer* buffer = nullptr;
    ASSERT_EQ(queue->allocateBuffer(48000 * 8 * 2, buffer), kAudioHardwareNoError);
    auto* samples = static_cast<float*>(buffer->mAudioData);
    for (std::int64_t i = 0; i < 48000 * 2; ++i) std::tie(samples[2 * i], samples[2 * i + 1]) = std::pair(tone(i)[0], tone(i)[1]);
    buffer->mAudioDataByteSize = buffer->mAudioDataBytesCapacity;
    StreamProbe probe;
    probe.recordMonitor("usb.if");
    ASSERT_EQ(queue->enqueueBuffer(buffer), kAudioHardwareNoError);
    ASSERT_EQ(queue->start(), kAudioHardwareNoError);
    EXPECT_TRUE(waitUntil([&] {
        const Frame peak = peaks(probe.recorded());
        return peak[0] > 0.45f && peak[1] > 0.2f;
    })) << "the tone was not heard";
    EXPECT_LT(peaks(probe.recorded())[1], 0.3f) << "660 Hz left, 880 Hz right, each on its own channel";
    EXPECT_EQ(queue->dispose(), kAudioHardwareNoError);
    format.mBitsPerChannel = 24;
    EXPECT_EQ(queues.newOutput(format, queue), kAudioDeviceUnsupportedFormatError);
}

TEST_F(PipeWireRouteTest, ARestartedServerEndsTheRouteAndRoutingWorksOnceItIsBack) {
    RouteState* route = start(0, device("builtin.out"));
    ASSERT_TRUE(route);
    ASSERT_TRUE(session.restart());
    const auto cycles = RavlinRouteCycles(route);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(RavlinRouteCycles(route), cycles) << "no callback runs on a connection that is gone";
    RavlinRouteStop(route);
    addNode("builtin.out", "Built-in Output", "Audio/Sink", "[FL FR]", "device.bus=pci");
    ASSERT_TRUE(waitUntil([&] { return channels(kKorvane, kAudioObjectPropertyScopeInput) == 2 && device("builtin.out"); }, 15s));
    route = start(0, device("builtin.out"));
    ASSERT_TRUE(route);
    EXPECT_GT(playAndRecord(kKorvane, "builtin.out", true)[0], 0.45f);
    RavlinRouteStop(route);
}

// Many and odd null sinks over a session with no KORVANE device: the whole list, as the shared
// layer enumerates it, once the ports of every node are there.
class PipeWireManyDevicesTest : public ::testing::Test {
protected:
    struct Sink {
        std::string uid;
        std::string description;  // as written in the node's SPA JSON
        std::string name;         // as it should be listed
        std::string positions;
        int channels;
    };

    PipeWireSession session;
};

TEST_F(PipeWireManyDevicesTest, EveryNullSinkIsListedWithItsChannelsAndName) {
    ASSERT_TRUE(session.ready());
    std::vector<Sink> sinks = {
        {"odd.mono", "\"Mono\"", "Mono", "[MONO]", 1},
        {"odd.eight", "\"Eight\"", "Eight", "[FL FR FC LFE RL RR SL SR]", 8},
        {"odd.words", "\"Studio \\\"A\\\" \\\\ Ärger 音響\"", "Studio \"A\" \\ Ärger 音響", "[FL FR]", 2},
    };
    for (int i = 0; i < 100; ++i) {
        const std::string number = std::to_string(1000 + i);
        const bool mono = i % 2;
        sinks.push_back({"many." + number, "\"Many " + number + "\"", "Many " + number, mono ? "[MONO]" : "[FL FR]",
                         mono ? 1 : 2});
    }
    // One pw-cli for them all, reading its commands from its input: a process each would be most
    // of the test's time. At the end of its input pw-cli quits at once, and on a loaded machine the
    // last few commands were then never carried out: those are made again one by one below.
    std::string script;
    for (const Sink& sink : sinks)
        script += "create-node adapter { factory.name=support.null-audio-sink node.name=" + sink.uid +
                  " node.description=" + sink.description + " media.class=Audio/Sink object.linger=true" +
                  " audio.position=" + sink.positions + " }\n";
    const auto commands = session.environment().root() / "commands";
    std::ofstream(commands) << script;
    ASSERT_EQ(session.run({"sh", "-c", "pw-cli < \"$0\"", commands.string()}), 0);

    std::string connectionError;
    const std::shared_ptr<korvane::pipewire_audio::GraphConnection> connection =
        korvane::pipewire_audio::GraphConnection::open(connectionError);
    ASSERT_TRUE(connection) << connectionError;
    korvane::pipewire_audio::PipeWireHardware hardware(connection);
    ScopedHardware installed(hardware);

    // Ports come a moment after their node: wait until every sink has its channels.
    const auto mismatches = [&] {
        std::vector<std::string> wrong;
        const auto endpoints = korvane::AudioDeviceInventory::enumerate();
        if (!endpoints) return std::vector<std::string>{"enumerate failed"};
        for (const Sink& sink : sinks) {
            const auto it = std::find_if(endpoints->begin(), endpoints->end(), [&](const auto& e) { return e.uid == sink.uid; });
            if (it == endpoints->end())
                wrong.push_back(sink.uid + " missing");
            else if (it->name != sink.name || it->outputChannels != sink.channels || it->inputChannels != 0)
                wrong.push_back(sink.uid + ": \"" + it->name + "\" " + std::to_string(it->inputChannels) + "/" +
                                std::to_string(it->outputChannels));
        }
        return wrong;
    };
    const auto missing = [&] {
        std::vector<const Sink*> gone;
        for (const Sink& sink : sinks)
            if (deviceForUID(hardware, sink.uid) == 0) gone.push_back(&sink);
        return gone;
    };
    waitUntil([&] { return missing().empty(); }, 5s);
    for (const Sink* sink : missing())
        session.run({"pw-cli", "create-node", "adapter",
                     "{ factory.name=support.null-audio-sink node.name=" + sink->uid + " node.description=" +
                         sink->description + " media.class=Audio/Sink object.linger=true audio.position=" +
                         sink->positions + " }"});
    EXPECT_TRUE(waitUntil([&] { return mismatches().empty(); }, 20s)) << testing::PrintToString(mismatches());
}

}  // namespace

namespace {

TEST_F(PipeWireRouteTest, TheDAWDeviceIsHostedByTheDriverAndOutlivesItsMaker) {
    const std::string uid = "audio.ravlin.daw.YnVpbHRpbi5vdXQ=";
    PropertyList::Dictionary description{
        {"name", "KORVANE + Built-in Output"},
        {"uid", uid},
        {"private", 0},
        {"master", "builtin.out"},
        {"subdevices", PropertyList::Array{PropertyList::Dictionary{{"uid", kKorvane}, {"drift", 1}},
                                           PropertyList::Dictionary{{"uid", "builtin.out"}, {"drift", 0}}}},
    };
    AudioObjectID made = 0;
    ASSERT_EQ(hardware->createAggregateDevice(PropertyList(description), made), kAudioHardwareNoError);
    EXPECT_EQ(made, device(uid));

    // Its maker goes (the panel quits); another process finds it as the DAW would.
    installed.reset();
    hardware.reset();
    connection.reset();
    std::string error;
    connection = korvane::pipewire_audio::GraphConnection::open(error);
    ASSERT_TRUE(connection) << error;
    hardware = std::make_unique<korvane::pipewire_audio::PipeWireHardware>(connection);
    installed = std::make_unique<ScopedHardware>(*hardware);
    ASSERT_TRUE(waitUntil([&] { return channels(uid, kAudioObjectPropertyScopeOutput) == 4; }));
    const AudioObjectID daw = device(uid);
    EXPECT_EQ(channels(uid, kAudioObjectPropertyScopeInput), 2);
    std::uint32_t transport = 0;
    EXPECT_EQ(getProperty(daw, globalAddress(kAudioDevicePropertyTransportType), transport), kAudioHardwareNoError);
    EXPECT_EQ(transport, kAudioDeviceTransportTypeAggregate);
    PropertyList name;
    PropertyList members;
    EXPECT_EQ(hardware->getPropertyObject(daw, globalAddress(kAudioObjectPropertyName), nullptr, name), kAudioHardwareNoError);
    EXPECT_EQ(*name.string(), "KORVANE + Built-in Output");
    EXPECT_EQ(hardware->getPropertyObject(daw, globalAddress(kAudioAggregateDevicePropertyFullSubDeviceList), nullptr, members),
              kAudioHardwareNoError);
    ASSERT_TRUE(members.array() && members.array()->size() == 2);
    EXPECT_EQ(*(*members.array())[1].string(), "builtin.out");

    ASSERT_EQ(hardware->destroyAggregateDevice(daw), kAudioHardwareNoError);
    EXPECT_EQ(device(uid), 0u);
}

}  // namespace
