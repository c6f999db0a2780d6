#include "shared/driver_contract.h"
#include "shared/listening_volume.h"
#include "tests/support/model_fixture.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korvane {
namespace {

using namespace platform::audio;
using audiosim::Fault;
using audiosim::Operation;
using test::ModelSetup;

// A device for each kind of volume control.
audiosim::MachineSpec volumeMachine() {
    return audiosim::parseMachine(R"({"devices": [
        {"uid": "main", "name": "Main", "transport": "usb ", "outputs": [2],
         "volumes": [{"element": 0, "value": 0.5}, {"element": 1, "value": 0.1}, {"element": 2, "value": 0.1}]},
        {"uid": "channels", "name": "Channels", "transport": "usb ", "outputs": [2],
         "volumes": [{"element": 0, "settable": false, "value": 1.0},
                     {"element": 1, "value": 0.2}, {"element": 2, "value": 0.6}]},
        {"uid": "left-only", "name": "Left only", "transport": "usb ", "outputs": [2],
         "volumes": [{"element": 1, "value": 0.2}, {"element": 2, "settable": false, "value": 0.6}]},
        {"uid": "none", "name": "None", "transport": "hdmi", "outputs": [8]}]})");
}

float rawLevel(AudioObjectID device, std::uint32_t element) {
    float value = -1;
    getProperty(device, {kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, element}, value);
    return value;
}

TEST(ListeningVolume, ElementsAndLevels) {
    ModelSetup setup(volumeMachine());
    struct Case {
        const char* uid;
        std::vector<std::uint32_t> elements;
        std::optional<float> level;
    };
    const Case cases[] = {
        {"main", {0}, 0.5f},
        {"channels", {1, 2}, 0.4f},
        {"left-only", {}, std::nullopt},
        {"none", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uid);
        const auto device = setup.id(c.uid);
        EXPECT_EQ(ListeningVolume::elements(device), c.elements);
        const auto level = ListeningVolume::level(device);
        ASSERT_EQ(level.has_value(), c.level.has_value());
        if (level) {
            EXPECT_NEAR(*level, *c.level, 1e-6);
        }
        if (c.elements.empty()) {
            EXPECT_FALSE(ListeningVolume::setLevel(device, 0.3f));
            EXPECT_FALSE(ListeningVolume::channelLevels(device));
        }
    }
    EXPECT_EQ(ListeningVolume::channelLevels(setup.id("channels")), (std::vector<float>{0.2f, 0.6f}));
}

TEST(ListeningVolume, SetLevelClampsAndRefusesNonFiniteValues) {
    struct Case {
        float requested;
        bool succeeds;
        float stored;
    };
    const Case cases[] = {
        {0.3f, true, 0.3f}, {1.7f, true, 1.0f}, {-0.2f, true, 0.0f}, {NAN, false, 0.2f}, {INFINITY, false, 0.2f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        ModelSetup setup(volumeMachine());
        const auto device = setup.id("channels");
        EXPECT_EQ(ListeningVolume::setLevel(device, c.requested), c.succeeds);
        EXPECT_FLOAT_EQ(rawLevel(device, 1), c.stored);
        EXPECT_FLOAT_EQ(rawLevel(device, 2), c.succeeds ? c.stored : 0.6f);
    }
}

TEST(ListeningVolume, SetChannelLevelsRefusesBadInputWithoutWriting) {
    ModelSetup setup(volumeMachine());
    const auto device = setup.id("channels");
    const std::vector<std::vector<float>> refused{{0.5f}, {0.5f, 0.5f, 0.5f}, {0.5f, 1.01f}, {-0.01f, 0.5f},
                                                  {NAN, 0.5f}, {}};
    for (const auto& levels : refused) EXPECT_FALSE(ListeningVolume::setChannelLevels(device, levels));
    EXPECT_EQ(ListeningVolume::channelLevels(device), (std::vector<float>{0.2f, 0.6f}));
    EXPECT_TRUE(ListeningVolume::setChannelLevels(device, {0.0f, 1.0f}));
    EXPECT_EQ(ListeningVolume::channelLevels(device), (std::vector<float>{0.0f, 1.0f}));
}

TEST(ListeningVolume, AFailedSecondWriteRestoresTheFirstChannel) {
    ModelSetup setup(volumeMachine());
    const auto device = setup.id("channels");
    setup.model.addFault({Operation::Set, device, kAudioDevicePropertyVolumeScalar, 0, 2, kAudioHardwareBadDeviceError});
    EXPECT_FALSE(ListeningVolume::setLevel(device, 0.9f));
    EXPECT_FLOAT_EQ(rawLevel(device, 1), 0.2f);
    EXPECT_FLOAT_EQ(rawLevel(device, 2), 0.6f);
}

TEST(ListeningVolume, OutOfRangeStoredLevelsAreNoChannelLevelsButClampInTheMean) {
    ModelSetup setup(volumeMachine());
    const auto device = setup.id("channels");
    // A level read as 1.5 by a misbehaving driver.
    class Loud final : public test::ForwardingHardware {
    public:
        using ForwardingHardware::ForwardingHardware;
        OSStatus getPropertyData(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& s,
                                 void* d) override {
            const OSStatus status = inner_.getPropertyData(o, a, q, s, d);
            if (a.mSelector == kAudioDevicePropertyVolumeScalar && a.mElement == 2) *static_cast<float*>(d) = 1.5f;
            return status;
        }
    } loud(*setup.client);
    ScopedHardware installed(loud);
    EXPECT_FALSE(ListeningVolume::channelLevels(device));
    EXPECT_NEAR(*ListeningVolume::level(device), 0.6f, 1e-6);  // (0.2 + 1.0) / 2
    EXPECT_FALSE(ListeningVolume::setLevel(device, 0.5f));
}

TEST(DriverContract, GainModeAndStatusReaders) {
    ModelSetup setup;
    const auto korvane = setup.id(driver::kDeviceUID);
    EXPECT_EQ(driver::readGain(korvane), 0.0);
    EXPECT_EQ(driver::writeGain(korvane, 40.0), 0);
    EXPECT_EQ(driver::readGain(korvane), 12.0);
    EXPECT_EQ(driver::writeGain(korvane, -100.0), 0);
    EXPECT_EQ(driver::readGain(korvane), -60.0);
    EXPECT_EQ(driver::readChannelMode(korvane), driver::ChannelMode::Stereo);
    EXPECT_EQ(driver::writeChannelMode(korvane, driver::ChannelMode::Mono), 0);
    EXPECT_EQ(driver::readChannelMode(korvane), driver::ChannelMode::Mono);
    const auto status = driver::readStatus(korvane);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->peakCounter, 0.0);
    // Properties the speakers do not have.
    const auto speakers = setup.id("BuiltInSpeakerDevice");
    EXPECT_FALSE(driver::readGain(speakers));
    EXPECT_FALSE(driver::readStatus(speakers));
    EXPECT_NE(driver::writeGain(speakers, 0), 0);
}

TEST(DriverContract, StatusOfAnotherLengthOrWithBadPeaksIsCleaned) {
    ModelSetup setup;
    const auto korvane = setup.id(driver::kDeviceUID);
    class Snapshot final : public test::ForwardingHardware {
    public:
        using ForwardingHardware::ForwardingHardware;
        PropertyList value;
        OSStatus getPropertyObject(AudioObjectID, const Address&, const PropertyList*, PropertyList& v) override {
            v = value;
            return 0;
        }
    } snapshot(*setup.client);
    ScopedHardware installed(snapshot);
    snapshot.value = PropertyList::Array{0.5, NAN, -0.25, INFINITY, 3.0, 4.0, 0.0};
    const auto status = driver::readStatus(korvane);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->peaks, (std::array<double, 4>{0.5, 0.0, 0.0, 0.0}));
    EXPECT_EQ(status->peakCounter, 3.0);
    EXPECT_EQ(status->readCounter, 4.0);
    snapshot.value = PropertyList::Array{0.5, 0.5, 0.5, 0.5, 1.0, 1.0};
    EXPECT_FALSE(driver::readStatus(korvane));
    snapshot.value = PropertyList::Array{0.5, 0.5, 0.5, "loud", 1.0, 1.0, 0.0};
    EXPECT_FALSE(driver::readStatus(korvane));
}

}  // namespace
}  // namespace korvane
