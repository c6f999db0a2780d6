#include "shared/audio_device_inventory.h"
#include "shared/audio_sample_rate_control.h"
#include "tests/support/model_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace korvane {
namespace {

using namespace platform::audio;
using audiosim::Fault;
using audiosim::Operation;
using test::ModelSetup;

audiosim::MachineSpec machineWithRateDelay(double delay) {
    auto machine = audiosim::builtinMachine();
    for (auto& device : machine.devices)
        if (device.korvane) device.rateChangeDelay = delay;
    return machine;
}

AudioEndpoint endpointOf(std::string_view uid) {
    const auto endpoints = AudioDeviceInventory::enumerate();
    for (const auto& e : *endpoints)
        if (e.uid == uid) return e;
    ADD_FAILURE() << "no device " << uid;
    return {};
}

AudioEndpoint referenceAt(double rate) {
    AudioEndpoint reference = endpointOf("BuiltInSpeakerDevice");
    reference.nominalRate = rate;
    return reference;
}

double korvaneRate() {
    double rate = 0;
    getProperty(endpointOf("audio.ravlin.stereo.v1").id,
                {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal, 0}, rate);
    return rate;
}

// Counts every call that reaches the hardware.
class CountingHardware final : public test::ForwardingHardware {
public:
    using ForwardingHardware::ForwardingHardware;
    int calls = 0;
    OSStatus getPropertyDataSize(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& s) override {
        ++calls;
        return inner_.getPropertyDataSize(o, a, q, s);
    }
    OSStatus getPropertyData(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& s,
                             void* d) override {
        ++calls;
        return inner_.getPropertyData(o, a, q, s, d);
    }
    OSStatus isPropertySettable(AudioObjectID o, const Address& a, bool& s) override {
        ++calls;
        return inner_.isPropertySettable(o, a, s);
    }
    OSStatus setPropertyData(AudioObjectID o, const Address& a, std::uint32_t s, const void* d) override {
        ++calls;
        return inner_.setPropertyData(o, a, s, d);
    }
};

// Replaces the KORVANE device's rate list with one range.
class SingleRange final : public test::ForwardingHardware {
public:
    SingleRange(AudioHardware& inner, AudioValueRange range) : ForwardingHardware(inner), range_(range) {}
    OSStatus getPropertyDataSize(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& s) override {
        if (a.mSelector != kAudioDevicePropertyAvailableNominalSampleRates) return inner_.getPropertyDataSize(o, a, q, s);
        s = sizeof range_;
        return 0;
    }
    OSStatus getPropertyData(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& s,
                             void* d) override {
        if (a.mSelector != kAudioDevicePropertyAvailableNominalSampleRates) return inner_.getPropertyData(o, a, q, s, d);
        std::memcpy(d, &range_, sizeof range_);
        s = sizeof range_;
        return 0;
    }

private:
    AudioValueRange range_;
};

TEST(AudioSampleRateControl, KilohertzText) {
    const std::pair<double, const char*> cases[] = {
        {44100, "44.1"}, {48000, "48.0"}, {88200, "88.2"}, {176400, "176.4"}, {192000, "192.0"},
        {48000.3, "48.0003"}, {8000, "8.0"}, {1e9, "1000000.0"},
    };
    for (const auto& [hertz, text] : cases) EXPECT_EQ(AudioSampleRateControl::kilohertzText(hertz), text);
}

TEST(AudioSampleRateControl, WithinToleranceWritesNothing) {
    ModelSetup setup;
    setup.model.addFault({Operation::Set, 0, kAudioDevicePropertyNominalSampleRate});
    EXPECT_TRUE(AudioSampleRateControl::match(endpointOf("audio.ravlin.stereo.v1"), referenceAt(48000.3)));
    EXPECT_TRUE(AudioSampleRateControl::match(endpointOf("audio.ravlin.stereo.v1"), referenceAt(47999.6)));
}

TEST(AudioSampleRateControl, UnreadableReferenceRateFailsBeforeTouchingKorvane) {
    ModelSetup setup;
    const auto korvane = endpointOf("audio.ravlin.stereo.v1");
    const auto reference = referenceAt(48000);
    CountingHardware counting(*setup.client);
    ScopedHardware installed(counting);
    for (const double rate : {0.0, -48000.0, std::nan(""), double(INFINITY)}) {
        AudioEndpoint unreadable = reference;
        unreadable.nominalRate = rate;
        const auto result = AudioSampleRateControl::match(korvane, unreadable);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, "Could not read the selected device’s sample rate.");
    }
    EXPECT_EQ(counting.calls, 0);
}

TEST(AudioSampleRateControl, FailuresCarryTheirMessages) {
    const std::string unsupported44 =
        "The selected device uses 44.1 kHz, which the installed KORVANE driver does not support. Install the "
        "updated driver or choose a supported device rate.";
    struct Case {
        const char* name;
        std::optional<Fault> fault;
        double reference;
        std::string message;
    };
    const Case cases[] = {
        {"rate list size unreadable", Fault{Operation::Size, 0, kAudioDevicePropertyAvailableNominalSampleRates},
         44100, "Could not read KORVANE’s supported sample rates."},
        {"rate list unreadable", Fault{Operation::Get, 0, kAudioDevicePropertyAvailableNominalSampleRates}, 44100,
         unsupported44},
        {"rate outside every range", std::nullopt, 12345,
         "The selected device uses 12.345 kHz, which the installed KORVANE driver does not support. Install the "
         "updated driver or choose a supported device rate."},
        {"rate between listed rates", std::nullopt, 50000,
         "The selected device uses 50.0 kHz, which the installed KORVANE driver does not support. Install the "
         "updated driver or choose a supported device rate."},
        {"settable query fails", Fault{Operation::Settable, 0, kAudioDevicePropertyNominalSampleRate}, 44100,
         "KORVANE’s sample rate cannot be changed while another app controls it. Stop audio in your DAW and try "
         "again."},
        {"write fails", Fault{Operation::Set, 0, kAudioDevicePropertyNominalSampleRate, 0, audiosim::kAnyElement, 1852797029},
         44100, "Could not match KORVANE’s sample rate (audio error 1852797029)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelSetup setup;
        if (c.fault) setup.model.addFault(*c.fault);
        const auto result =
            AudioSampleRateControl::match(endpointOf("audio.ravlin.stereo.v1"), referenceAt(c.reference), setup.clock.pause());
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, c.message);
        EXPECT_EQ(result.error().description(), c.message);
    }
}

TEST(AudioSampleRateControl, WaitsForTheDeviceToConfirm) {
    struct Case {
        double delay;
        bool confirms;
    };
    for (const auto& c : {Case{0.0, true}, Case{0.1, true}, Case{1.5, true}, Case{10.0, false}}) {
        SCOPED_TRACE(c.delay);
        ModelSetup setup(machineWithRateDelay(c.delay));
        const double start = setup.clock.uptime();
        const auto result =
            AudioSampleRateControl::match(endpointOf("audio.ravlin.stereo.v1"), referenceAt(96000), setup.clock.pause());
        EXPECT_EQ(result.has_value(), c.confirms);
        const double waited = setup.clock.uptime() - start;
        if (c.confirms) {
            // Confirmed by the first poll after the delay: at most one pause late.
            EXPECT_GE(waited, c.delay - 1e-6);
            EXPECT_LE(waited, c.delay + 0.05 + 1e-6);
            EXPECT_EQ(korvaneRate(), 96000.0);
        } else {
            EXPECT_EQ(result.error().message,
                      "KORVANE did not confirm the requested sample rate. Stop audio in your DAW and try again.");
            EXPECT_NEAR(waited, 2.0, 1e-6);  // 40 polls, each followed by its pause
        }
    }
}

TEST(AudioSampleRateControl, ASingleWideRangeAcceptsRatesInside) {
    ModelSetup setup(machineWithRateDelay(0));
    const auto korvane = endpointOf("audio.ravlin.stereo.v1");
    SingleRange range(*setup.client, {44100, 192000});
    ScopedHardware installed(range);
    EXPECT_TRUE(AudioSampleRateControl::match(korvane, referenceAt(96000)));
    EXPECT_FALSE(AudioSampleRateControl::match(korvane, referenceAt(32000)));
}

}  // namespace
}  // namespace korvane
