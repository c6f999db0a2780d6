#include "audiosim/model/device_model.h"
#include "shared/driver_contract.h"
#include "tests/audiosim/model_load.h"
#include "tests/support/model_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

namespace audiosim {
namespace {

using namespace platform::audio;
using korvane::test::ModelSetup;

std::vector<std::uint32_t> bufferChannels(AudioObjectID device, FourCharCode scope) {
    std::uint32_t size = 0;
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope, 0};
    if (hardware().getPropertyDataSize(device, address, nullptr, size) != 0) return {};
    std::vector<AudioBuffer> storage(size / sizeof(AudioBuffer) + 1);
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    if (hardware().getPropertyData(device, address, nullptr, size, list) != 0) return {};
    std::vector<std::uint32_t> channels;
    for (std::uint32_t i = 0; i < buffersWithin(*list, size); ++i) channels.push_back(list->mBuffers[i].mNumberChannels);
    return channels;
}

std::vector<AudioObjectID> idList(AudioObjectID object, FourCharCode selector) {
    std::uint32_t size = 0;
    if (hardware().getPropertyDataSize(object, globalAddress(selector), nullptr, size) != 0) return {};
    std::vector<AudioObjectID> ids(size / 4);
    hardware().getPropertyData(object, globalAddress(selector), nullptr, size, ids.data());
    ids.resize(size / 4);
    return ids;
}

PropertyList aggregateDescription(const std::string& uid, const std::vector<std::string>& subdevices,
                                  bool isPrivate = true) {
    PropertyList::Array subs;
    for (const auto& s : subdevices) {
        PropertyList::Dictionary sub;
        sub["uid"] = PropertyList(s);
        sub["drift"] = PropertyList(0);
        subs.emplace_back(std::move(sub));
    }
    PropertyList::Dictionary description;
    description["name"] = PropertyList("test");
    description["uid"] = PropertyList(uid);
    description["private"] = PropertyList(isPrivate ? 1 : 0);
    description["subdevices"] = PropertyList(std::move(subs));
    description["master"] = PropertyList(subdevices.back());
    return description;
}

AudioObjectID translate(const std::string& uid) {
    AudioObjectID id = 0;
    const PropertyList qualifier(uid);
    getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyTranslateUIDToDevice), id, &qualifier);
    return id;
}

TEST(Machine, BuiltInMachineHasTheDocumentedDevices) {
    const auto machine = builtinMachine();
    std::vector<std::string> uids;
    for (const auto& d : machine.devices) uids.push_back(d.uid);
    EXPECT_EQ(uids, (std::vector<std::string>{"BuiltInMicrophoneDevice", "BuiltInSpeakerDevice", "USBInterface:2in2out",
                                              "BTHeadphones:00-11-22", "HDMIDisplay:1", "audio.ravlin.stereo.v1"}));
    EXPECT_EQ(machine.defaultOutput, "BuiltInSpeakerDevice");
    EXPECT_EQ(machine.defaultSystemOutput, "BuiltInSpeakerDevice");
}

TEST(Machine, BadDescriptionsAreRefusedWithAReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"{", "not valid JSON"},
        {R"({"devices": {}})", "\"devices\" must be a list"},
        {R"({"devices": [{"uid": "a", "name": "A", "transport": "usb", "outputs": [2]}]})", "four characters"},
        {R"({"devices": [{"uid": "a", "name": "A", "transport": "usb ", "outputs": [0]}]})", "channel counts"},
        {R"({"devices": [{"uid": "a", "name": "A", "transport": "usb ", "speed": 1}]})", "unknown key \"speed\""},
        {R"({"devices": [{"uid": "a", "name": "A", "transport": "usb ", "nominalRate": 44100, "rates": [48000]}]})",
         "not among"},
        {R"({"devices": [{"uid": "a", "name": "A", "transport": "usb "}, {"uid": "a", "name": "B", "transport": "usb "}]})",
         "share the UID"},
        {R"({"devices": [{"uid": "a", "name": "A", "transport": "usb ", "inputs": [1]}], "defaultOutput": "a"})",
         "without outputs"},
        {R"({"devices": [], "defaultOutput": "b"})", "names no listed device"},
        {R"({"devices": [{"uid": "a", "name": "A", "transport": "grup"}]})", "cannot be"},
        {R"({"devices": [{"korvane": true, "nominalRate": 50000}]})", "not a supported KORVANE rate"},
    };
    for (const auto& [json, reason] : cases) {
        try {
            parseMachine(json);
            ADD_FAILURE() << "accepted " << json;
        } catch (const MachineError& error) {
            EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
        }
    }
}

TEST(DeviceModel, AggregateChannelsFollowSubDeviceOrderPerDirection) {
    ModelSetup setup;
    AudioObjectID aggregate = 0;
    ASSERT_EQ(hardware().createAggregateDevice(
                  aggregateDescription("agg.1", {"audio.ravlin.stereo.v1", "BuiltInMicrophoneDevice", "HDMIDisplay:1"}),
                  aggregate),
              0);
    EXPECT_EQ(bufferChannels(aggregate, kAudioObjectPropertyScopeInput), (std::vector<std::uint32_t>{2, 1}));
    EXPECT_EQ(bufferChannels(aggregate, kAudioObjectPropertyScopeOutput), (std::vector<std::uint32_t>{2, 8}));
    EXPECT_EQ(idList(aggregate, kAudioAggregateDevicePropertyActiveSubDeviceList),
              (std::vector<AudioObjectID>{setup.id("audio.ravlin.stereo.v1"), setup.id("BuiltInMicrophoneDevice"),
                                          setup.id("HDMIDisplay:1")}));
    PropertyList full;
    ASSERT_EQ(hardware().getPropertyObject(aggregate, globalAddress(kAudioAggregateDevicePropertyFullSubDeviceList), nullptr,
                                           full),
              0);
    EXPECT_EQ(full, PropertyList(PropertyList::Array{"audio.ravlin.stereo.v1", "BuiltInMicrophoneDevice",
                                                     "HDMIDisplay:1"}));
    std::uint32_t transport = 0;
    getProperty(aggregate, globalAddress(kAudioDevicePropertyTransportType), transport);
    EXPECT_EQ(transport, kAudioDeviceTransportTypeAggregate);
    // The same UID twice is refused, as is an unknown sub-device.
    AudioObjectID again = 0;
    EXPECT_NE(hardware().createAggregateDevice(aggregateDescription("agg.1", {"HDMIDisplay:1"}), again), 0);
    EXPECT_NE(hardware().createAggregateDevice(aggregateDescription("agg.2", {"nothing"}), again), 0);
}

TEST(DeviceModel, PrivateAggregatesAndCallbacksBelongToTheirClient) {
    ModelSetup setup;
    auto other = setup.model.connect();
    AudioObjectID mine = 0;
    AudioObjectID shared = 0;
    ASSERT_EQ(hardware().createAggregateDevice(aggregateDescription("mine", {"HDMIDisplay:1"}, true), mine), 0);
    ASSERT_EQ(other->createAggregateDevice(aggregateDescription("public", {"HDMIDisplay:1"}, false), shared), 0);
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(other->createIOProcID(shared, [](auto...) -> OSStatus { return 0; }, nullptr, proc), 0);

    const auto visible = idList(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
    EXPECT_NE(std::find(visible.begin(), visible.end(), mine), visible.end());
    EXPECT_NE(std::find(visible.begin(), visible.end(), shared), visible.end());
    EXPECT_EQ(translate("mine"), mine);
    {
        ScopedHardware asOther(*other);
        const auto seen = idList(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
        EXPECT_EQ(std::find(seen.begin(), seen.end(), mine), seen.end());
        EXPECT_EQ(translate("mine"), 0u);
        EXPECT_NE(hardware().destroyAggregateDevice(mine), 0);
    }
    EXPECT_EQ(setup.model.ioProcCount(), 1u);
    other.reset();  // the other client disconnects: its callback goes, its public aggregate stays
    EXPECT_EQ(setup.model.ioProcCount(), 0u);
    EXPECT_EQ(translate("public"), shared);
    setup.client.reset();
    EXPECT_EQ(setup.model.aggregateCount(), 1u);
}

TEST(DeviceModel, SlowAggregatesReportNoSubDevicesUntilReady) {
    ModelSetup setup;
    setup.model.setAggregateReadyDelay(0.3);
    AudioObjectID aggregate = 0;
    ASSERT_EQ(hardware().createAggregateDevice(aggregateDescription("slow", {"USBInterface:2in2out"}), aggregate), 0);
    EXPECT_TRUE(idList(aggregate, kAudioAggregateDevicePropertyActiveSubDeviceList).empty());
    EXPECT_TRUE(bufferChannels(aggregate, kAudioObjectPropertyScopeInput).empty());
    setup.clock.advance(0.3);
    EXPECT_EQ(idList(aggregate, kAudioAggregateDevicePropertyActiveSubDeviceList).size(), 1u);
    EXPECT_EQ(bufferChannels(aggregate, kAudioObjectPropertyScopeInput), (std::vector<std::uint32_t>{2}));
}

// Plays a constant stereo signal into the KORVANE device's output.
struct Constant {
    float left;
    float right;
    static OSStatus render(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*,
                           AudioBufferList* output, const AudioTimeStamp*, void* data) {
        const auto* self = static_cast<const Constant*>(data);
        auto& buffer = output->mBuffers[0];
        auto* samples = static_cast<float*>(buffer.mData);
        const std::uint32_t frames = buffer.mDataByteSize / 4 / buffer.mNumberChannels;
        for (std::uint32_t f = 0; f < frames; ++f) {
            samples[f * buffer.mNumberChannels] = self->left;
            samples[f * buffer.mNumberChannels + 1] = self->right;
        }
        return 0;
    }
};

TEST(DeviceModel, KorvaneReturnsItsOutputOnItsInputAfterModeAndGain) {
    struct Case {
        const char* name;
        double gainDb;
        korvane::driver::ChannelMode mode;
        float left;
        float right;
        float expectedLeft;
        float expectedRight;
    };
    const float plus6 = float(std::pow(10.0, 6.0 / 20.0));
    const Case cases[] = {
        {"unity stereo", 0, korvane::driver::ChannelMode::Stereo, 0.5f, -0.25f, 0.5f, -0.25f},
        {"mono", 0, korvane::driver::ChannelMode::Mono, 0.5f, -0.25f, 0.125f, 0.125f},
        {"+6 dB", 6, korvane::driver::ChannelMode::Stereo, 0.25f, -0.125f, 0.25f * plus6, -0.125f * plus6},
        {"clamped to -60 dB", -100, korvane::driver::ChannelMode::Stereo, 1.0f, 1.0f, 0.001f, 0.001f},
        {"non-finite output is silence", 0, korvane::driver::ChannelMode::Stereo, NAN, INFINITY, 0.0f, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelSetup setup;
        const auto korvane = setup.id("audio.ravlin.stereo.v1");
        ASSERT_EQ(korvane::driver::writeGain(korvane, c.gainDb), 0);
        ASSERT_EQ(korvane::driver::writeChannelMode(korvane, c.mode), 0);
        Constant signal{c.left, c.right};
        AudioDeviceIOProcID proc = nullptr;
        ASSERT_EQ(hardware().createIOProcID(korvane, &Constant::render, &signal, proc), 0);
        ASSERT_EQ(hardware().startDevice(korvane, proc), 0);

        // What was played comes back on the input, processed, one latency later.
        struct Capture {
            std::vector<float> samples;
            static OSStatus render(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                                   const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void* data) {
                const auto& buffer = input->mBuffers[0];
                const auto* samples = static_cast<const float*>(buffer.mData);
                static_cast<Capture*>(data)->samples.assign(samples, samples + buffer.mDataByteSize / 4);
                return 0;
            }
        } capture;
        AudioDeviceIOProcID captureProc = nullptr;
        ASSERT_EQ(hardware().createIOProcID(korvane, &Capture::render, &capture, captureProc), 0);
        ASSERT_EQ(hardware().startDevice(korvane, captureProc), 0);

        const auto cycles = std::uint64_t(setup.model.latencyFrames() / 64);
        for (std::uint64_t i = 0; i < cycles; ++i) setup.model.step(korvane, 64);
        EXPECT_EQ(setup.model.korvaneTelemetry()->peaks, (std::array<double, 4>{}));  // nothing arrived yet
        EXPECT_EQ(capture.samples, std::vector<float>(128, 0.0f));
        setup.model.step(korvane, 64);
        const auto telemetry = setup.model.korvaneTelemetry();
        EXPECT_EQ(telemetry->writeCounter, cycles + 1);
        EXPECT_EQ(telemetry->readCounter, cycles + 1);
        const float inputLeft = std::isfinite(c.left) ? c.left : 0.0f;
        const float inputRight = std::isfinite(c.right) ? c.right : 0.0f;
        EXPECT_NEAR(telemetry->peaks[0], std::fabs(inputLeft), 1e-6);
        EXPECT_NEAR(telemetry->peaks[1], std::fabs(inputRight), 1e-6);
        EXPECT_NEAR(telemetry->peaks[2], std::fabs(c.expectedLeft), 1e-6);
        EXPECT_NEAR(telemetry->peaks[3], std::fabs(c.expectedRight), 1e-6);
        ASSERT_EQ(capture.samples.size(), 128u);
        EXPECT_NEAR(capture.samples[0], c.expectedLeft, 1e-6);
        EXPECT_NEAR(capture.samples[127], c.expectedRight, 1e-6);
    }
}

TEST(DeviceModel, PhysicalInputsProduceTheirSignalsAndOutputsCanBeTapped) {
    ModelSetup setup;
    const auto usb = setup.id("USBInterface:2in2out");
    const auto through = [](AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                            AudioBufferList* out, const AudioTimeStamp*, void*) -> OSStatus {
        std::copy_n(static_cast<const float*>(in->mBuffers[0].mData), in->mBuffers[0].mDataByteSize / 4,
                    static_cast<float*>(out->mBuffers[0].mData));
        return 0;
    };
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(hardware().createIOProcID(usb, through, nullptr, proc), 0);
    ASSERT_EQ(hardware().startDevice(usb, proc), 0);
    for (int i = 0; i < 10; ++i) setup.model.step(usb, 480);
    const auto tap = setup.model.takeOutputTap("USBInterface:2in2out");
    ASSERT_EQ(tap.size(), 2u * 4800);
    EXPECT_EQ(tap[2 * std::size_t(setup.model.latencyFrames()) - 1], 0.0f);  // silence until the first write arrives
    float peak = 0;
    for (const float s : tap) peak = std::max(peak, std::fabs(s));
    EXPECT_NEAR(peak, std::pow(10.0, -12.0 / 20.0), 1e-3);  // 440 Hz at -12 dBFS on both inputs
    EXPECT_EQ(tap[0], tap[1]);
    EXPECT_TRUE(setup.model.takeOutputTap("USBInterface:2in2out").empty());
}

TEST(DeviceModel, KorvaneRateChangesBecomeVisibleAfterTheDelay) {
    ModelSetup setup;
    const auto korvane = setup.id("audio.ravlin.stereo.v1");
    const auto rate = [&] {
        double value = 0;
        getProperty(korvane, globalAddress(kAudioDevicePropertyNominalSampleRate), value);
        return value;
    };
    EXPECT_EQ(setProperty(korvane, globalAddress(kAudioDevicePropertyNominalSampleRate), 96000.0), 0);
    EXPECT_EQ(rate(), 48000.0);
    setup.clock.advance(0.099);
    EXPECT_EQ(rate(), 48000.0);
    setup.clock.advance(0.001);
    EXPECT_EQ(rate(), 96000.0);
    EXPECT_NE(setProperty(korvane, globalAddress(kAudioDevicePropertyNominalSampleRate), 50000.0), 0);
    EXPECT_NE(setProperty(korvane, globalAddress(kAudioDevicePropertyNominalSampleRate), std::uint32_t(48000)), 0);
}

TEST(DeviceModel, UnplugAndPlugGiveANewIdAndMoveTheDefaultOutput) {
    ModelSetup setup;
    const auto speakers = setup.id("BuiltInSpeakerDevice");
    ASSERT_EQ(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                          setup.id("HDMIDisplay:1")),
              0);
    EXPECT_EQ(setup.model.unplug("HDMIDisplay:1"), 0);
    AudioObjectID current = 0;
    getProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice), current);
    EXPECT_EQ(current, speakers);
    EXPECT_EQ(setup.id("HDMIDisplay:1"), 0u);
    const auto before = translate("HDMIDisplay:1");
    EXPECT_EQ(before, 0u);
    EXPECT_EQ(setup.model.plug("HDMIDisplay:1"), 0);
    EXPECT_NE(setup.id("HDMIDisplay:1"), 0u);
    EXPECT_NE(setup.model.plug("HDMIDisplay:1"), 0);  // already plugged
    // The microphone cannot play, so it cannot be the default output.
    EXPECT_NE(setProperty(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice),
                          setup.id("BuiltInMicrophoneDevice")),
              0);
}

TEST(DeviceModel, FaultsFireTheGivenNumberOfTimes) {
    ModelSetup setup;
    const auto speakers = setup.id("BuiltInSpeakerDevice");
    setup.model.addFault({Operation::Get, speakers, kAudioDevicePropertyNominalSampleRate, 0, kAnyElement, 77, 2});
    double rate = 0;
    EXPECT_EQ(getProperty(speakers, globalAddress(kAudioDevicePropertyNominalSampleRate), rate), 77);
    EXPECT_EQ(getProperty(speakers, globalAddress(kAudioDevicePropertyNominalSampleRate), rate), 77);
    EXPECT_EQ(getProperty(speakers, globalAddress(kAudioDevicePropertyNominalSampleRate), rate), 0);
    EXPECT_EQ(rate, 48000.0);
}

TEST(DeviceModel, DevicesInsideARunningAggregateRunSomewhere) {
    ModelSetup setup;
    AudioObjectID aggregate = 0;
    ASSERT_EQ(hardware().createAggregateDevice(aggregateDescription("agg", {"HDMIDisplay:1"}), aggregate), 0);
    const auto running = [](AudioObjectID device) {
        std::uint32_t value = 7;
        getProperty(device, globalAddress(kAudioDevicePropertyDeviceIsRunningSomewhere), value);
        return value;
    };
    EXPECT_EQ(running(setup.id("HDMIDisplay:1")), 0u);
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(hardware().createIOProcID(aggregate, [](auto...) -> OSStatus { return 0; }, nullptr, proc), 0);
    ASSERT_EQ(hardware().startDevice(aggregate, proc), 0);
    EXPECT_EQ(running(aggregate), 1u);
    EXPECT_EQ(running(setup.id("HDMIDisplay:1")), 1u);
    ASSERT_EQ(hardware().stopDevice(aggregate, proc), 0);
    EXPECT_EQ(running(setup.id("HDMIDisplay:1")), 0u);
}

TEST(DeviceModel, TheClockThreadRunsStartedCallbacks) {
    ModelSetup setup;
    std::atomic<std::uint64_t> cycles{0};
    const auto speakers = setup.id("BuiltInSpeakerDevice");
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(hardware().createIOProcID(speakers, &test::countCycles, &cycles, proc), 0);
    ASSERT_EQ(hardware().startDevice(speakers, proc), 0);
    // A witness on another device with the same period keeps the clock thread cycling after the
    // speakers stop.
    std::atomic<std::uint64_t> witnessed{0};
    const auto hdmi = setup.id("HDMIDisplay:1");
    AudioDeviceIOProcID witness = nullptr;
    ASSERT_EQ(hardware().createIOProcID(hdmi, &test::countCycles, &witnessed, witness), 0);
    ASSERT_EQ(hardware().startDevice(hdmi, witness), 0);
    setup.model.startClock();
    ASSERT_TRUE(test::waitFor([&] { return cycles.load() >= 5; }, "five cycles of the speakers"));
    ASSERT_EQ(hardware().stopDevice(speakers, proc), 0);
    const std::uint64_t stopped = cycles.load();
    // No callback after stop returned, while the clock thread ran three more cycles of its period.
    const std::uint64_t from = witnessed.load();
    ASSERT_TRUE(test::waitFor([&] { return witnessed.load() >= from + 3; }, "three more cycles of the witness"));
    EXPECT_EQ(cycles.load(), stopped);
    ASSERT_EQ(hardware().stopDevice(hdmi, witness), 0);
    setup.model.stopClock();
}

}  // namespace
}  // namespace audiosim
