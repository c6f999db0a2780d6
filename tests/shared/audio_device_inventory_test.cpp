#include "shared/audio_device_inventory.h"
#include "shared/natural_order.h"
#include "tests/support/model_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace korvane {
namespace {

using namespace platform::audio;
using audiosim::Fault;
using audiosim::Operation;
using test::ModelSetup;

std::vector<std::string> names(const std::vector<AudioEndpoint>& endpoints) {
    std::vector<std::string> result;
    for (const auto& e : endpoints) result.push_back(e.name);
    return result;
}

const AudioEndpoint* byUID(const std::vector<AudioEndpoint>& endpoints, std::string_view uid) {
    const auto it = std::find_if(endpoints.begin(), endpoints.end(), [&](const auto& e) { return e.uid == uid; });
    return it == endpoints.end() ? nullptr : &*it;
}

TEST(NaturalOrder, ComparesLikeAFileBrowser) {
    struct Case {
        const char* locale;
        const char* a;
        const char* b;
        int expected;
    };
    const Case cases[] = {
        {"en_US.UTF-8", "Out 2", "Out 10", -1},
        {"en_US.UTF-8", "Out 10", "Out 2", 1},
        {"en_US.UTF-8", "output", "Output", 0},
        {"en_US.UTF-8", "apple", "Banana", -1},
        {"en_US.UTF-8", "Mic", "Mic 1", -1},
        {"en_US.UTF-8", "Track 007", "Track 7", 0},
        {"en_US.UTF-8", "a99999999999999999999999", "a100000000000000000000000", -1},
        {"en_US.UTF-8", "x1y2", "x1y10", -1},
        {"en_US.UTF-8", "", "", 0},
        {"en_US.UTF-8", "", "a", -1},
        // Letters beyond ASCII fold and sort as letters, not as bytes above 'z'.
        {"en_US.UTF-8", "Écouteurs", "Zebra", -1},
        {"en_US.UTF-8", "écouteurs", "Ecouteurs 2", -1},
        {"en_US.UTF-8", "ecouteurs", "Écouteurs", -1},  // accents still count, after the letters
        {"en_US.UTF-8", "ÉCOUTEURS", "écouteurs", 0},
        {"en_US.UTF-8", "Ärmel", "Zebra", -1},
        // The C locale means the neutral order, not byte order (which puts "Banana" first).
        {"C", "apple", "Banana", -1},
        {"POSIX", "Écouteurs", "Zebra", -1},
        {"C.UTF-8", "output", "Output", 0},
        // The user's language decides where its own letters go.
        {"de_DE.UTF-8", "Ärmel", "Zebra", -1},
        {"sv_SE.UTF-8", "Ärmel", "Zebra", 1},
        {"sv", "Out 2", "out 10", -1},
        // Ill-formed UTF-8 neither crashes nor compares equal to a letter.
        {"en_US.UTF-8", "\xff\xfe", "a", 1},
        {"en_US.UTF-8", "Out\xc3", "Out\xc3", 0},
    };
    for (const auto& c : cases) {
        const NaturalOrder order(c.locale);
        const int result = order.compare(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.expected) << "[" << c.locale << "] " << c.a << " vs " << c.b;
        const int reverse = order.compare(c.b, c.a);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -c.expected) << "[" << c.locale << "] " << c.b << " vs " << c.a;
    }
}

TEST(NaturalOrder, TheProcessOrderFollowsTheUsersLocaleAndFoldsCase) {
    // Whatever the machine's language: numbers by value, case ignored.
    EXPECT_LT(naturalCompare("Device 2", "Device 10"), 0);
    EXPECT_EQ(naturalCompare("output", "OUTPUT"), 0);
    EXPECT_LT(naturalCompare("apple", "Banana"), 0);
}

TEST(AudioDeviceInventory, EnumeratesTheBuiltInMachineInDisplayOrder) {
    ModelSetup setup;
    const auto endpoints = AudioDeviceInventory::enumerate();
    ASSERT_TRUE(endpoints);
    EXPECT_EQ(names(*endpoints),
              (std::vector<std::string>{"Bluetooth Headphones", "Built-in Microphone", "Built-in Speakers",
                                        "HDMI Display", "KORVANE", "USB Audio Interface"}));
    const AudioEndpoint* usb = byUID(*endpoints, "USBInterface:2in2out");
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->transport, fourCC("usb "));
    EXPECT_EQ(usb->inputChannels, 2);
    EXPECT_EQ(usb->outputChannels, 2);
    EXPECT_EQ(usb->nominalRate, 48000.0);
    EXPECT_TRUE(byUID(*endpoints, "audio.ravlin.stereo.v1")->isKorvane());
    EXPECT_FALSE(byUID(*endpoints, "audio.ravlin.stereo.v1")->isPhysical());
}

TEST(AudioDeviceInventory, SortsNumbersByValueAndKeepsEqualNamesInEnumerationOrder) {
    ModelSetup setup(audiosim::parseMachine(R"({"devices": [
        {"uid": "a", "name": "Out 10", "transport": "usb ", "outputs": [2]},
        {"uid": "b", "name": "out 2", "transport": "usb ", "outputs": [2]},
        {"uid": "c", "name": "Out 2", "transport": "usb ", "outputs": [2]},
        {"uid": "d", "name": "Alpha", "transport": "usb ", "outputs": [2]},
        {"uid": "e", "name": "Zebra", "transport": "usb ", "outputs": [2]},
        {"uid": "f", "name": "Écouteurs", "transport": "usb ", "outputs": [2]},
        {"uid": "g", "name": "ÉCOUTEURS", "transport": "usb ", "outputs": [2]},
        {"uid": "h", "name": "Device 10", "transport": "usb ", "outputs": [2]},
        {"uid": "i", "name": "Device 2", "transport": "usb ", "outputs": [2]}]})"));
    const auto endpoints = AudioDeviceInventory::enumerate();
    ASSERT_TRUE(endpoints);
    std::vector<std::string> uids;
    for (const auto& e : *endpoints) uids.push_back(e.uid);
    EXPECT_EQ(uids, (std::vector<std::string>{"d", "i", "h", "f", "g", "b", "c", "a", "e"}));
}

TEST(AudioDeviceInventory, PerDeviceFailuresSkipTheDeviceOrLeaveZero) {
    struct Case {
        const char* name;
        Fault fault;
        bool listed;
        bool zeroTransport;
        bool zeroRate;
    };
    const Case cases[] = {
        {"name unreadable", {Operation::Get, 0, kAudioObjectPropertyName}, false, false, false},
        {"name null", {Operation::Get, 0, kAudioObjectPropertyName, 0, audiosim::kAnyElement, 0}, false, false, false},
        {"UID unreadable", {Operation::Get, 0, kAudioDevicePropertyDeviceUID}, false, false, false},
        {"transport unreadable", {Operation::Get, 0, kAudioDevicePropertyTransportType}, true, true, false},
        {"rate unreadable", {Operation::Get, 0, kAudioDevicePropertyNominalSampleRate}, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModelSetup setup;
        Fault fault = c.fault;
        fault.object = setup.id("HDMIDisplay:1");
        setup.model.addFault(fault);
        const auto endpoints = AudioDeviceInventory::enumerate();
        ASSERT_TRUE(endpoints);
        const AudioEndpoint* hdmi = byUID(*endpoints, "HDMIDisplay:1");
        EXPECT_EQ(endpoints->size(), c.listed ? 6u : 5u);
        ASSERT_EQ(hdmi != nullptr, c.listed);
        if (!hdmi) continue;
        EXPECT_EQ(hdmi->transport == 0, c.zeroTransport);
        EXPECT_EQ(hdmi->nominalRate == 0, c.zeroRate);
        EXPECT_EQ(hdmi->outputChannels, 8);
    }
}

TEST(AudioDeviceInventory, DeviceListFailuresCarryThePlatformStatus) {
    for (const auto operation : {Operation::Size, Operation::Get}) {
        ModelSetup setup;
        setup.model.addFault({operation, kAudioObjectSystemObject, kAudioHardwarePropertyDevices, 0,
                              audiosim::kAnyElement, kAudioHardwareBadObjectError});
        const auto endpoints = AudioDeviceInventory::enumerate();
        ASSERT_FALSE(endpoints);
        EXPECT_EQ(endpoints.error().status, kAudioHardwareBadObjectError);
    }
}

// A platform answer whose buffer list claims more buffers than the returned bytes hold.
class OverclaimingStreams final : public test::ForwardingHardware {
public:
    using ForwardingHardware::ForwardingHardware;
    OSStatus getPropertyData(AudioObjectID o, const Address& a, const PropertyList* q, std::uint32_t& size,
                             void* data) override {
        const OSStatus status = inner_.getPropertyData(o, a, q, size, data);
        if (status == 0 && a.mSelector == kAudioDevicePropertyStreamConfiguration)
            static_cast<AudioBufferList*>(data)->mNumberBuffers = 1000;
        return status;
    }
};

TEST(AudioDeviceInventory, ChannelCountWalksOnlyTheReturnedBytes) {
    ModelSetup setup;
    OverclaimingStreams fake(*setup.client);
    ScopedHardware installed(fake);
    EXPECT_EQ(AudioDeviceInventory::channelCount(setup.id("HDMIDisplay:1"), kAudioObjectPropertyScopeOutput), 8);
    EXPECT_EQ(AudioDeviceInventory::channelCount(setup.id("BuiltInMicrophoneDevice"), kAudioObjectPropertyScopeOutput),
              0);
}

TEST(AudioDeviceInventory, ChannelCountIsZeroOnEveryFailure) {
    ModelSetup setup;
    const auto speakers = setup.id("BuiltInSpeakerDevice");
    EXPECT_EQ(AudioDeviceInventory::channelCount(speakers, kAudioObjectPropertyScopeOutput), 2);
    EXPECT_EQ(AudioDeviceInventory::channelCount(speakers, kAudioObjectPropertyScopeInput), 0);
    EXPECT_EQ(AudioDeviceInventory::channelCount(999, kAudioObjectPropertyScopeOutput), 0);
    setup.model.addFault({Operation::Get, speakers, kAudioDevicePropertyStreamConfiguration});
    EXPECT_EQ(AudioDeviceInventory::channelCount(speakers, kAudioObjectPropertyScopeOutput), 0);
}

// Aggregates that the tests describe directly: 'grup' answers come from a table.
class SubDeviceTable final : public AudioHardware {
public:
    std::map<AudioObjectID, PropertyList> lists;

    bool hasProperty(AudioObjectID, const AudioObjectPropertyAddress&) override { return false; }
    OSStatus isPropertySettable(AudioObjectID, const AudioObjectPropertyAddress&, bool&) override { return -1; }
    OSStatus getPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList*,
                                 std::uint32_t&) override {
        return -1;
    }
    OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList*, std::uint32_t&,
                             void*) override {
        return -1;
    }
    OSStatus setPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*) override {
        return -1;
    }
    OSStatus getPropertyObject(AudioObjectID id, const AudioObjectPropertyAddress& a, const PropertyList*,
                               PropertyList& value) override {
        const auto it = lists.find(id);
        if (a.mSelector != kAudioAggregateDevicePropertyFullSubDeviceList || it == lists.end())
            return kAudioHardwareUnknownPropertyError;
        value = it->second;
        return 0;
    }
    OSStatus setPropertyObject(AudioObjectID, const AudioObjectPropertyAddress&, const PropertyList&) override {
        return -1;
    }
    OSStatus createAggregateDevice(const PropertyList&, AudioObjectID&) override { return -1; }
    OSStatus destroyAggregateDevice(AudioObjectID) override { return -1; }
    OSStatus createIOProcID(AudioObjectID, AudioDeviceIOProc, void*, AudioDeviceIOProcID&) override { return -1; }
    OSStatus destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
    OSStatus startDevice(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
    OSStatus stopDevice(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
};

AudioEndpoint endpoint(AudioObjectID id, std::string uid, int outputs, FourCharCode transport = fourCC("usb ")) {
    return {id, uid, uid, 48000, transport, 0, outputs};
}

TEST(AudioDeviceInventory, UsableListeningOutputs) {
    SubDeviceTable table;
    ScopedHardware installed(table);
    const FourCharCode grup = kAudioDeviceTransportTypeAggregate;
    std::vector<AudioEndpoint> list{
        endpoint(2, "speakers", 2),
        endpoint(3, "mono", 1),
        endpoint(4, "audio.ravlin.stereo.v1", 2, kAudioDeviceTransportTypeVirtual),
        endpoint(5, "audio.korvane.listen.1", 2, grup),
        endpoint(6, "audio.ravlin.route.X", 2, grup),
        endpoint(7, "audio.ravlin.daw.Y", 4, grup),
        endpoint(8, "two-outputs", 4, grup),
        endpoint(9, "with-korvane", 4, grup),
        endpoint(10, "with-missing", 4, grup),
        endpoint(11, "unreadable", 4, grup),
        endpoint(12, "empty", 4, grup),
        endpoint(13, "not-strings", 4, grup),
        endpoint(14, "mono-sub", 3, grup),
        endpoint(15, "headphones", 2, fourCC("blue")),
    };
    table.lists[8] = PropertyList::Array{"speakers", "headphones"};
    table.lists[9] = PropertyList::Array{"speakers", "audio.ravlin.stereo.v1"};
    table.lists[10] = PropertyList::Array{"speakers", "unplugged"};
    table.lists[12] = PropertyList::Array{};
    table.lists[13] = PropertyList::Array{"speakers", 7};
    table.lists[14] = PropertyList::Array{"mono", "speakers"};  // sub-devices skip the channel rule

    const std::map<std::string, bool> expected{
        {"speakers", true},         {"mono", false},         {"audio.ravlin.stereo.v1", false},
        {"audio.korvane.listen.1", false}, {"audio.ravlin.route.X", false}, {"audio.ravlin.daw.Y", false},
        {"two-outputs", true},      {"with-korvane", false}, {"with-missing", false},
        {"unreadable", false},      {"empty", false},        {"not-strings", false},
        {"mono-sub", true},         {"headphones", true},
    };
    for (const auto& e : list)
        EXPECT_EQ(AudioDeviceInventory::isUsableOutput(e, list, 0), expected.at(e.uid)) << e.uid;
}

TEST(AudioDeviceInventory, NestedAggregatesDeeperThanSevenAreRejected) {
    SubDeviceTable table;
    ScopedHardware installed(table);
    // chain0 contains chain1 … contains chainN, which contains the speakers.
    const auto chain = [&](int length) {
        std::vector<AudioEndpoint> list{endpoint(2, "speakers", 2)};
        for (int i = 0; i <= length; ++i) {
            list.push_back(endpoint(AudioObjectID(100 + i), "chain" + std::to_string(i), 2,
                                    kAudioDeviceTransportTypeAggregate));
            table.lists[AudioObjectID(100 + i)] =
                PropertyList::Array{i == length ? std::string("speakers") : "chain" + std::to_string(i + 1)};
        }
        return list;
    };
    const auto deepest7 = chain(7);  // the innermost aggregate sits at depth 7
    EXPECT_TRUE(AudioDeviceInventory::isUsableOutput(deepest7[1], deepest7, 0));
    const auto deepest8 = chain(8);
    EXPECT_FALSE(AudioDeviceInventory::isUsableOutput(deepest8[1], deepest8, 0));
    EXPECT_TRUE(AudioDeviceInventory::isUsableOutput(deepest8[2], deepest8, 0));
}

TEST(AudioDeviceInventory, DeviceWithoutOutputStreamsIsNeverUsable) {
    ModelSetup setup;
    const auto endpoints = AudioDeviceInventory::enumerate();
    ASSERT_TRUE(endpoints);
    const AudioEndpoint* microphone = byUID(*endpoints, "BuiltInMicrophoneDevice");
    ASSERT_NE(microphone, nullptr);
    EXPECT_EQ(microphone->outputChannels, 0);
    EXPECT_FALSE(AudioDeviceInventory::isUsableOutput(*microphone, *endpoints, 0));
}

}  // namespace
}  // namespace korvane
