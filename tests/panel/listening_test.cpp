// Listening volume and mute memory over the device model's volume controls.
#include "panel/listening_mute_memory.h"
#include "shared/listening_volume.h"
#include "tests/panel/panel_fixture.h"

#include <nlohmann/json.hpp>

namespace korvane::test {
namespace {

using namespace platform::audio;
using audiosim::Fault;
using audiosim::Operation;
using panel::ListeningMuteMemory;

float volume(PanelSetup& setup, const char* uid, std::uint32_t element) {
    float value = -1;
    EXPECT_EQ(getProperty(setup.audio.id(uid), {kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, element}, value), 0);
    return value;
}

void setVolume(PanelSetup& setup, const char* uid, std::uint32_t element, float value) {
    ASSERT_EQ(setProperty(setup.audio.id(uid), {kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, element}, value), 0);
}

nlohmann::json storedMemory(PanelSetup& setup) {
    const auto data = setup.defaults.dataValue("listeningMuteMemory");
    return data ? nlohmann::json::parse(*data) : nlohmann::json();
}

TEST(ListeningMuteMemory, RestorableAndAverage) {
    struct Case {
        std::vector<float> levels;
        bool restorable;
        float average;
    };
    const Case cases[] = {
        {{}, false, 0},
        {{0.5f}, true, 0.5f},
        {{0.2f, 0.6f}, true, 0.4f},
        {{0, 1}, true, 0.5f},
        {{0.1f, 0.1f, 0.1f}, false, 0.1f},
        {{1.01f}, false, 1.01f},
        {{-0.01f}, false, -0.01f},
        {{std::numeric_limits<float>::quiet_NaN()}, false, std::numeric_limits<float>::quiet_NaN()},
    };
    for (const auto& c : cases) {
        const ListeningMuteMemory memory{c.levels};
        EXPECT_EQ(memory.isRestorable(), c.restorable) << c.levels.size();
        if (!std::isnan(c.average)) {
            EXPECT_FLOAT_EQ(memory.averageLevel(), c.average);
        }
    }
}

TEST(ListeningMuteMemory, StoredFormIsCheckedOnTheWayIn) {
    const std::pair<const char*, bool> cases[] = {
        {R"({"A":{"levels":[0.5,0.5]},"B":{"levels":[1]}})", true},
        {R"({})", true},
        {R"({"A":{"levels":[1e300]}})", true},  // decodes, as an unrestorable entry
        {R"({"A":{"levels":"0.5"}})", false},
        {R"({"A":{"volume":[0.5]}})", false},
        {R"({"A":[0.5]})", false},
        {R"([{"A":{"levels":[0.5]}}])", false},
        {R"({"A":{"levels":[0.5,null]}})", false},
        {R"({"A":{"levels":[0.5])", false},
    };
    for (const auto& [json, decodes] : cases) EXPECT_EQ(panel::decodeMuteMemory(json).has_value(), decodes) << json;
    EXPECT_FALSE(panel::decodeMuteMemory(R"({"A":{"levels":[1e300]}})")->at("A").isRestorable());
    EXPECT_FALSE(panel::decodeMuteMemory(std::string(panel::kMaximumMuteMemoryBytes + 1, ' ')));
    EXPECT_FALSE(panel::encodeMuteMemory({{"\xff", ListeningMuteMemory{{0.5f}}}}));
}

TEST(ListeningVolumeControl, MuteStoresEachElementsLevelAndUnmuteRestoresIt) {
    struct Case {
        const char* name;
        const char* device;
        std::vector<std::uint32_t> elements;
        std::vector<float> levels;
    };
    const Case cases[] = {
        {"main control", kSpeakers, {0}, {0.25f}},
        {"two channel controls", kInterface, {1, 2}, {0.25f, 0.5f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup;
        for (std::size_t i = 0; i < c.elements.size(); ++i) setVolume(setup, c.device, c.elements[i], c.levels[i]);
        setup.defaults.setString("preferredListening", c.device);
        auto& model = setup.create();
        ASSERT_TRUE(model.listeningSupported());
        model.toggleListeningMute();
        EXPECT_TRUE(model.isListeningMuted());
        EXPECT_EQ(model.error(), "");
        for (const auto element : c.elements) EXPECT_EQ(volume(setup, c.device, element), 0.0f);
        const auto stored = storedMemory(setup);
        ASSERT_EQ(stored[c.device]["levels"].size(), c.levels.size());
        for (std::size_t i = 0; i < c.levels.size(); ++i) EXPECT_FLOAT_EQ(stored[c.device]["levels"][i].get<float>(), c.levels[i]);
        EXPECT_EQ(model.listeningHint(),
                  "Listening output muted · DAW signal continues. This mutes all playback on this physical output.");

        // Muted stays muted across discoveries (the device reads 0) and across a new model.
        setup.passes(40);
        EXPECT_TRUE(model.isListeningMuted());
        setup.model.reset();
        auto& again = setup.create();
        EXPECT_TRUE(again.isListeningMuted());
        again.toggleListeningMute();
        EXPECT_FALSE(again.isListeningMuted());
        for (std::size_t i = 0; i < c.elements.size(); ++i) EXPECT_EQ(volume(setup, c.device, c.elements[i]), c.levels[i]);
        EXPECT_EQ(storedMemory(setup), nlohmann::json::object());
    }
}

TEST(ListeningVolumeControl, UnmutedElsewhereIsNoLongerMuted) {
    PanelSetup setup;
    auto& model = setup.create();
    model.toggleListeningMute();
    ASSERT_TRUE(model.isListeningMuted());
    setVolume(setup, kSpeakers, 0, 0.6f);  // the hardware keys
    setup.passes(20);  // the next discovery pass
    EXPECT_FALSE(model.isListeningMuted());
    EXPECT_FLOAT_EQ(model.listeningLevel(), 0.6f);
    EXPECT_EQ(storedMemory(setup), nlohmann::json::object());
}

TEST(ListeningVolumeControl, KnobWhileMutedOnlyChangesTheRememberedLevel) {
    PanelSetup setup;
    auto& model = setup.create();
    model.toggleListeningMute();
    model.setListeningLevel(0.8f);
    EXPECT_EQ(volume(setup, kSpeakers, 0), 0.0f);
    EXPECT_FLOAT_EQ(model.displayedListeningLevel(), 0.8f);
    EXPECT_TRUE(model.isListeningMuted());
    model.setListeningLevel(7.0f);
    EXPECT_FLOAT_EQ(model.displayedListeningLevel(), 1.0f);
    model.setListeningLevel(0.8f);
    model.toggleListeningMute();
    EXPECT_FLOAT_EQ(volume(setup, kSpeakers, 0), 0.8f);
    EXPECT_FLOAT_EQ(model.listeningLevel(), 0.8f);
}

TEST(ListeningVolumeControl, LevelWritesAndTheirFailures) {
    PanelSetup setup;
    auto& model = setup.create();
    model.setListeningLevel(1.7f);
    EXPECT_EQ(volume(setup, kSpeakers, 0), 1.0f);
    EXPECT_EQ(model.listeningLevel(), 1.0f);  // what the device holds, not what was asked
    model.setListeningLevel(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(model.listeningLevel(), 1.0f);

    const AudioObjectID speakers = setup.audio.id(kSpeakers);
    setup.audio.model.addFault(Fault{Operation::Set, speakers, kAudioDevicePropertyVolumeScalar});
    model.setListeningLevel(0.3f);
    EXPECT_EQ(model.error(), "This output’s volume could not be changed. Check its app or hardware controls.");
    model.toggleListeningMute();
    EXPECT_EQ(model.error(), "Could not mute both output channels. Check the device’s volume controls.");
    EXPECT_FALSE(model.isListeningMuted());
    setup.audio.model.clearFaults();
    model.toggleListeningMute();
    ASSERT_TRUE(model.isListeningMuted());
    setup.audio.model.addFault(Fault{Operation::Set, speakers, kAudioDevicePropertyVolumeScalar});
    model.toggleListeningMute();
    EXPECT_EQ(model.error(), "Could not unmute this output. Check the device’s volume controls.");
    EXPECT_TRUE(model.isListeningMuted());

    // Unreadable channel levels: nothing happens, no message.
    setup.audio.model.clearFaults();
    model.setListeningLevel(0.5f);  // muted: only the memory changes; error untouched
    EXPECT_EQ(model.error(), "Could not unmute this output. Check the device’s volume controls.");
    setup.audio.model.addFault(Fault{Operation::Get, speakers, kAudioDevicePropertyVolumeScalar, 0, audiosim::kAnyElement,
                                     kAudioHardwareUnspecifiedError, 1});
    model.toggleListeningMute();
    EXPECT_TRUE(model.isListeningMuted());
}

TEST(ListeningVolumeControl, MemoryFromAnEarlierRun) {
    PanelSetup setup;
    setup.defaults.setData("listeningMuteMemory",
                           R"({"BuiltInSpeakerDevice":{"levels":[0.5,0.5,0.5]},"BTHeadphones:00-11-22":{"levels":[1.5]},)"
                           R"("USBInterface:2in2out":{"levels":[0.3,0.4]},"Gone":{"levels":[0.2]}})");
    auto& model = setup.create();
    EXPECT_EQ(model.muteMemory().size(), 2u);  // the unrestorable ones are dropped
    EXPECT_TRUE(model.muteMemory().contains("Gone"));
    EXPECT_FALSE(model.isListeningMuted());  // the speakers' entry was dropped; they are audible

    // An absent device keeps its entry but does not count as muted.
    model.setListeningUID("Gone");
    model.refreshListening();
    EXPECT_FALSE(model.isListeningMuted());
    EXPECT_FALSE(model.listeningSupported());
    EXPECT_FLOAT_EQ(model.displayedListeningLevel(), 0.2f);
    EXPECT_EQ(model.listeningHint(), "This output is disconnected or unavailable. Choose another listening device.");
    model.toggleListeningMute();
    model.setListeningLevel(0.9f);
    EXPECT_FLOAT_EQ(model.displayedListeningLevel(), 0.2f);
}

TEST(ListeningVolumeControl, ChoiceOfTheListeningDeviceAndHints) {
    struct Case {
        const char* name;
        const char* selectedOutput;
        const char* listening;  // stored; null: none stored
        std::vector<const char*> unplugged;
        std::string expected;
        std::string hint;
    };
    const std::string supported = "System listening is before DAW gain. This controls speaker volume.";
    const Case cases[] = {
        {"follows the output", kHeadphones, nullptr, {}, kHeadphones, supported},
        {"DAW only: the built-in output", "daw", nullptr, {}, kSpeakers, supported},
        {"DAW only without built-in: the first by name", "daw", nullptr, {kSpeakers}, kHeadphones, supported},
        {"nothing to choose", "daw", nullptr, {kSpeakers, kHeadphones, kHDMI, kInterface}, "",
         "Choose an output to adjust its listening volume."},
        {"no volume control", kHDMI, kHDMI, {}, kHDMI,
         "This output has no writable volume control. Adjust it in its app, interface controls or hardware knob."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PanelSetup setup;
        setup.defaults.setString("preferredOutput", c.selectedOutput);
        if (c.listening) setup.defaults.setString("preferredListening", c.listening);
        for (const char* uid : c.unplugged) ASSERT_EQ(setup.audio.model.unplug(uid), 0);
        auto& model = setup.create();
        EXPECT_EQ(model.listeningUID(), c.expected);
        EXPECT_EQ(model.listeningHint(), c.hint);
        EXPECT_EQ(setup.defaults.stringValue("preferredListening"), c.expected);
    }
}

}  // namespace
}  // namespace korvane::test
