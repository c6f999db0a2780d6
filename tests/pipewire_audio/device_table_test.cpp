// The device table over hand-written graphs: a desktop as PipeWire 0.3 and WirePlumber 0.4 present
// it, and graphs that a misbehaving or hostile client of the session can make.
#include "pipewire_audio/device_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace korvane::pipewire_audio;
using namespace platform::audio;

struct NodeRecord {
    std::uint32_t id;
    Properties props;
    std::uint32_t channels = 0;  // ports made for it, as its media.class gives them; 0: none yet
};

struct DeviceSpec {
    std::uint32_t id;
    Properties props;
};

// Ports as the server makes them: a sink has an input a channel and a monitor output a channel, a
// virtual source (a null sink presented as a source) the same, a source an output a channel.
Graph graphOf(const std::vector<DeviceSpec>& devices, const std::vector<NodeRecord>& nodes) {
    Graph graph;
    for (const DeviceSpec& device : devices) graph.devices[device.id] = {device.id, device.props};
    std::uint32_t portId = 10000;
    for (const NodeRecord& record : nodes) {
        graph.nodes[record.id] = Node{.id = record.id, .props = record.props};
        const std::string* mediaClass = Graph::property(record.props, "media.class");
        const std::string kind = mediaClass ? *mediaClass : "";
        const bool inputs = kind == "Audio/Sink" || kind == "Audio/Source/Virtual" || kind == "Stream/Input/Audio";
        const bool monitors = kind == "Audio/Sink" || kind == "Audio/Source/Virtual";
        const bool outputs = kind == "Audio/Source" || kind == "Stream/Output/Audio";
        for (std::uint32_t channel = 0; channel < record.channels; ++channel) {
            if (inputs) graph.ports[portId] = {portId, record.id, false, false, channel}, ++portId;
            if (monitors) graph.ports[portId] = {portId, record.id, true, true, channel}, ++portId;
            if (outputs) graph.ports[portId] = {portId, record.id, true, false, channel}, ++portId;
        }
    }
    return graph;
}

struct Expected {
    std::string uid;
    std::string name;
    FourCharCode transport;
    std::uint32_t inputs;
    std::uint32_t outputs;
    std::uint32_t sinkNode;
    std::uint32_t sourceNode;
    std::vector<std::string> subdevices = {};
};

void expectTable(const Graph& graph, const std::vector<Expected>& expected, const std::string& what = "") {
    const std::vector<DeviceEntry> table = buildDeviceTable(graph);
    std::vector<std::string> uids;
    for (const DeviceEntry& entry : table) uids.push_back(entry.uid);
    ASSERT_EQ(table.size(), expected.size()) << what << ": listed " << testing::PrintToString(uids);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const DeviceEntry& got = table[i];
        const Expected& want = expected[i];
        SCOPED_TRACE(what + ": " + want.uid);
        EXPECT_EQ(got.uid, want.uid);
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(fourCCText(got.transport), fourCCText(want.transport));
        EXPECT_EQ(got.inputChannels, want.inputs);
        EXPECT_EQ(got.outputChannels, want.outputs);
        EXPECT_EQ(got.sinkNode, want.sinkNode) << "the sink joined";
        EXPECT_EQ(got.sourceNode, want.sourceNode) << "the source joined";
        EXPECT_EQ(got.subdeviceUIDs, want.subdevices);
        EXPECT_EQ(got.korvane, want.uid == kKorvaneSink);
    }
}

constexpr const char* kPCI = "alsa_output.pci-0000_00_1f.3.analog-stereo";
constexpr const char* kPCIInput = "alsa_input.pci-0000_00_1f.3.analog-stereo";
constexpr const char* kHDMI = "alsa_output.pci-0000_00_1f.3.hdmi-stereo";
constexpr const char* kUSB = "alsa_output.usb-Halvorsen_Audio_2x2-00.analog-stereo";
constexpr const char* kUSBInput = "alsa_input.usb-Halvorsen_Audio_2x2-00.analog-stereo";
constexpr const char* kBluetooth = "bluez_output.00_1B_66_AA_BB_CC.1";
constexpr const char* kDAW = "audio.ravlin.daw.7f3a";

Properties alsaNode(const std::string& name, const char* mediaClass, const char* device, const char* description,
                    const char* profile, const char* path) {
    const bool sink = std::string(mediaClass) == "Audio/Sink";
    return {{"node.name", name},
            {"node.description", description},
            {"node.nick", "ALC257 Analog"},
            {"media.class", mediaClass},
            {"device.id", device},
            {"device.api", "alsa"},
            {"device.class", "sound"},
            {"device.profile.name", profile},
            {"device.profile.description", "Analog Stereo"},
            {"factory.name", sink ? "api.alsa.pcm.sink" : "api.alsa.pcm.source"},
            {"api.alsa.path", path},
            {"api.alsa.pcm.card", "0"},
            {"api.alsa.pcm.stream", sink ? "playback" : "capture"},
            {"audio.channels", "2"},
            {"audio.position", "FL,FR"},
            {"priority.session", "1009"},
            {"object.path", std::string("alsa:pcm:0:") + path + (sink ? ":playback" : ":capture")}};
}

Graph desktop() {
    const std::vector<DeviceSpec> devices = {
        {40, {{"media.class", "Audio/Device"}, {"device.api", "alsa"}, {"device.enum.api", "udev"},
              {"device.bus", "pci"}, {"device.bus-path", "pci-0000:00:1f.3"}, {"device.form-factor", "internal"},
              {"device.name", "alsa_card.pci-0000_00_1f.3"}, {"device.description", "Built-in Audio"},
              {"device.nick", "HDA Intel PCH"}, {"api.alsa.card", "0"}, {"api.alsa.path", "hw:0"}}},
        {41, {{"media.class", "Audio/Device"}, {"device.api", "alsa"}, {"device.enum.api", "udev"},
              {"device.bus", "usb"}, {"device.bus-path", "pci-0000:00:14.0-usb-0:2:1.0"},
              {"device.name", "alsa_card.usb-Halvorsen_Audio_2x2-00"}, {"device.description", "Halvorsen 2x2"},
              {"device.vendor.id", "0x2e8a"}, {"device.product.id", "0x8202"}, {"api.alsa.card", "1"}}},
        {42, {{"media.class", "Audio/Device"}, {"device.api", "bluez5"}, {"device.bus", "bluetooth"},
              {"device.name", "bluez_card.00_1B_66_AA_BB_CC"}, {"device.description", "Teodor Headphones"},
              {"device.alias", "Teodor Headphones"}, {"device.form-factor", "headphone"},
              {"api.bluez5.address", "00:1B:66:AA:BB:CC"}, {"api.bluez5.class", "0x240418"},
              {"api.bluez5.icon", "audio-headphones"}}},
    };
    Properties hdmi = alsaNode(kHDMI, "Audio/Sink", "40", "Built-in Audio Digital Stereo (HDMI)", "hdmi-stereo", "hdmi:0");
    hdmi["node.nick"] = "LG HDR 4K";
    const std::vector<NodeRecord> nodes = {
        {50, alsaNode(kPCI, "Audio/Sink", "40", "Built-in Audio Analog Stereo", "analog-stereo", "front:0"), 2},
        {51, alsaNode(kPCIInput, "Audio/Source", "40", "Built-in Audio Analog Stereo", "analog-stereo", "front:0"), 2},
        {52, hdmi, 2},
        {60, alsaNode(kUSB, "Audio/Sink", "41", "Halvorsen 2x2 Analog Stereo", "analog-stereo", "front:1"), 2},
        {61, alsaNode(kUSBInput, "Audio/Source", "41", "Halvorsen 2x2 Analog Stereo", "analog-stereo", "front:1"), 2},
        {70, {{"node.name", kBluetooth}, {"node.description", "Teodor Headphones"}, {"media.class", "Audio/Sink"},
              {"device.id", "42"}, {"device.api", "bluez5"}, {"factory.name", "api.bluez5.a2dp.sink"},
              {"api.bluez5.address", "00:1B:66:AA:BB:CC"}, {"api.bluez5.codec", "sbc"},
              {"api.bluez5.profile", "a2dp-sink"}, {"priority.session", "1010"}}, 2},
        {80, {{"node.name", kKorvaneSink}, {"node.description", "KORVANE"}, {"media.class", "Audio/Sink"},
              {"node.group", "audio.ravlin"}, {"audio.channels", "2"}}, 2},
        {81, {{"node.name", std::string(kKorvaneSink) + ".input"}, {"node.description", "KORVANE"},
              {"media.class", "Audio/Source"}, {"node.group", "audio.ravlin"}, {"audio.channels", "2"}}, 2},
        {90, {{"node.name", kDAW}, {"node.description", "KORVANE + Halvorsen 2x2"}, {"media.class", "Audio/Sink"},
              {"factory.name", "support.null-audio-sink"}, {"audio.channels", "4"},
              {kSubdevicesKey, std::string("[\"") + kKorvaneSink + "\",\"" + kUSB + "\"]"}}, 4},
        {91, {{"node.name", std::string(kDAW) + ".input"}, {"node.description", "KORVANE + Halvorsen 2x2"},
              {"media.class", "Audio/Source/Virtual"}, {"factory.name", "support.null-audio-sink"},
              {"audio.channels", "2"}}, 2},
        // Applications and other media: never devices.
        {100, {{"node.name", "Lumen Player"}, {"application.name", "Lumen Player"}, {"media.class", "Stream/Output/Audio"},
               {"media.role", "Music"}, {"stream.is-live", "true"}}, 2},
        {101, {{"node.name", "Meeting Room"}, {"media.class", "Stream/Input/Audio"}, {"node.description", "Meeting"}}, 1},
        {102, {{"node.name", "v4l2_input.pci-0000_00_14.0-usb-0_6_1.0"}, {"media.class", "Video/Source"},
               {"device.id", "43"}}, 0},
        {103, {{"node.name", "Midi-Bridge"}, {"media.class", "Midi/Bridge"}}, 0},
    };
    return graphOf(devices, nodes);
}

TEST(DeviceTable, ADesktopIsListedAsThePlatformWould) {
    const Graph graph = desktop();
    expectTable(graph, {
        {kPCIInput, "Built-in Audio Analog Stereo", kAudioDeviceTransportTypeBuiltIn, 2, 0, 0, 51},
        {kPCI, "Built-in Audio Analog Stereo", kAudioDeviceTransportTypeBuiltIn, 0, 2, 50, 0},
        {kHDMI, "Built-in Audio Digital Stereo (HDMI)", kAudioDeviceTransportTypeHDMI, 0, 2, 52, 0},
        {kUSB, "Halvorsen 2x2", kAudioDeviceTransportTypeUSB, 2, 2, 60, 61},
        {kDAW, "KORVANE + Halvorsen 2x2", kAudioDeviceTransportTypeAggregate, 2, 4, 90, 91, {kKorvaneSink, kUSB}},
        {kKorvaneSink, "KORVANE", kAudioDeviceTransportTypeVirtual, 2, 2, 80, 81},
        {kBluetooth, "Teodor Headphones", kAudioDeviceTransportTypeBluetooth, 0, 2, 70, 0},
    });
}

// A graph of `count` sinks named "null.sink.N", of N % 8 + 1 channels, and what the table says of it.
std::pair<std::vector<NodeRecord>, std::vector<Expected>> manySinks(std::uint32_t count) {
    std::vector<NodeRecord> nodes;
    std::vector<Expected> expected;
    for (std::uint32_t i = 0; i < count; ++i) {
        char uid[32];
        std::snprintf(uid, sizeof uid, "null.sink.%03u", i);
        const std::uint32_t channels = i % 8 + 1;
        nodes.push_back({200 + i, {{"node.name", uid}, {"node.description", std::string("Sink ") + uid},
                                   {"media.class", "Audio/Sink"}, {"audio.channels", std::to_string(channels)}},
                         channels});
        expected.push_back({uid, std::string("Sink ") + uid, kAudioDeviceTransportTypeVirtual, 0, channels, 200 + i, 0});
    }
    return {nodes, expected};
}

Properties sink(const std::string& name, const std::string& description, Properties more = {}) {
    more.emplace("node.name", name);
    more.emplace("node.description", description);
    more.emplace("media.class", "Audio/Sink");
    return more;
}

Properties source(const std::string& name, const std::string& description, Properties more = {}) {
    more = sink(name, description, std::move(more));
    more["media.class"] = "Audio/Source";
    return more;
}

TEST(DeviceTable, OddAndHostileGraphsListWhatIsSoundAndNothingElse) {
    constexpr FourCharCode kVirtual = kAudioDeviceTransportTypeVirtual;
    const DeviceSpec usbCard{7, {{"device.api", "alsa"}, {"device.bus", "usb"}, {"device.description", "Card"}}};
    const std::string odd = "Studio \"A\" \\ Mixer — Ärger 音響 \xF0\x9F\x8E\xA7";
    std::string deep(100000, '[');
    deep += std::string(100000, ']');
    struct Case {
        const char* what;
        std::vector<DeviceSpec> devices;
        std::vector<NodeRecord> nodes;
        std::vector<Expected> listed;
    };
    std::vector<Case> cases = {
        {"a node with no properties", {}, {{1, {}, 2}}, {}},
        {"a sink with no node.name", {}, {{1, {{"media.class", "Audio/Sink"}, {"node.description", "Nameless"}}, 2}}, {}},
        {"streams, video and MIDI", {},
         {{1, {{"node.name", "s"}, {"media.class", "Stream/Output/Audio"}}, 2},
          {2, {{"node.name", "r"}, {"media.class", "Stream/Input/Audio"}}, 2},
          {3, {{"node.name", "v"}, {"media.class", "Video/Sink"}}, 0},
          {4, {{"node.name", "d"}, {"media.class", "Audio/Duplex/Unknown"}}, 2}},
         {}},
        {"a device.id naming no Device", {},
         {{1, sink("orphan", "Orphan", {{"device.id", "999"}}), 2}, {2, source("orphan.input", "Orphan In", {{"device.id", "999"}}), 2}},
         {{"orphan", "Orphan", kVirtual, 0, 2, 1, 0}, {"orphan.input", "Orphan In", kVirtual, 2, 0, 0, 2}}},
        {"a device.id that is no number: its source is listed once", {},
         {{1, sink("odd", "Odd", {{"device.id", "abc"}}), 2}, {2, source("odd.input", "Odd In"), 2}},
         {{"odd", "Odd", kVirtual, 0, 2, 1, 0}, {"odd.input", "Odd In", kVirtual, 2, 0, 0, 2}}},
        {"a device.id with more after the number names no Device", {usbCard},
         {{1, sink("card.out", "Out", {{"device.id", "7"}}), 2}, {2, source("card.in", "In", {{"device.id", "7x"}}), 2}},
         {{"card.in", "In", kVirtual, 2, 0, 0, 2}, {"card.out", "Out", kAudioDeviceTransportTypeUSB, 0, 2, 1, 0}}},
        {"a Device of two sinks joins nothing", {usbCard},
         {{1, sink("card.a", "A", {{"device.id", "7"}}), 2}, {2, sink("card.b", "B", {{"device.id", "7"}}), 2}},
         {{"card.a", "A", kAudioDeviceTransportTypeUSB, 0, 2, 1, 0}, {"card.b", "B", kAudioDeviceTransportTypeUSB, 0, 2, 2, 0}}},
        {"audio.channels before the ports come", {},
         {{1, sink("c.2", "2", {{"audio.channels", "2"}}), 0},
          {2, sink("c.64", "64", {{"audio.channels", "64"}}), 0},
          {3, sink("c.65", "65", {{"audio.channels", "65"}}), 0},
          {4, sink("c.big", "big", {{"audio.channels", "999999"}}), 0},
          {5, sink("c.huge", "huge", {{"audio.channels", "99999999999999999999"}}), 0},
          {6, sink("c.minus", "minus", {{"audio.channels", "-1"}}), 0},
          {7, sink("c.text", "text", {{"audio.channels", "abc"}}), 0},
          {8, sink("c.trail", "trail", {{"audio.channels", "2 "}}), 0}},
         {{"c.2", "2", kVirtual, 0, 2, 1, 0}, {"c.64", "64", kVirtual, 0, 64, 2, 0}, {"c.65", "65", kVirtual, 0, 0, 3, 0},
          {"c.big", "big", kVirtual, 0, 0, 4, 0}, {"c.huge", "huge", kVirtual, 0, 0, 5, 0},
          {"c.minus", "minus", kVirtual, 0, 0, 6, 0}, {"c.text", "text", kVirtual, 0, 0, 7, 0},
          {"c.trail", "trail", kVirtual, 0, 0, 8, 0}}},
        {"the ports count, not an absurd audio.channels", {},
         {{1, sink("c.ports", "ports", {{"audio.channels", "999999"}}), 2}},
         {{"c.ports", "ports", kVirtual, 0, 2, 1, 0}}},
        {"1 and 8 channels", {},
         {{1, sink("mono", "Mono", {{"audio.position", "MONO"}}), 1},
          {2, sink("octo", "Octo", {{"audio.position", "FL,FR,FC,LFE,RL,RR,SL,SR"}}), 8},
          {3, source("octo.input", "Octo In"), 8}},
         {{"mono", "Mono", kVirtual, 0, 1, 1, 0}, {"octo", "Octo", kVirtual, 8, 8, 2, 3}}},
        {"quotes, backslashes and UTF-8 in names", {{7, {{"device.bus", "usb"}, {"device.description", odd}}}},
         {{1, sink("n\"ame\\ü", odd), 2},
          {2, sink("card.out", "Out", {{"device.id", "7"}}), 2},
          {3, source("card.in", "In", {{"device.id", "7"}}), 2}},
         {{"card.out", odd, kAudioDeviceTransportTypeUSB, 2, 2, 2, 3}, {"n\"ame\\ü", odd, kVirtual, 0, 2, 1, 0}}},
        {"no description: the nick, else the name", {},
         {{1, {{"node.name", "nick.only"}, {"node.nick", "Nick"}, {"media.class", "Audio/Sink"}}, 2},
          {2, {{"node.name", "bare"}, {"node.description", ""}, {"media.class", "Audio/Sink"}}, 2}},
         {{"bare", "bare", kVirtual, 0, 2, 2, 0}, {"nick.only", "Nick", kVirtual, 0, 2, 1, 0}}},
        {"two nodes of one node.name: the first keeps it", {},
         {{1, sink("twin", "First"), 2}, {2, sink("twin", "Second"), 2}},
         {{"twin", "First", kVirtual, 0, 2, 1, 0}}},
        {"korvane.subdevices that is no JSON array", {},
         {{1, sink("daw.a", "A", {{kSubdevicesKey, "[\"unterminated"}}), 2},
          {2, sink("daw.b", "B", {{kSubdevicesKey, "{\"0\": \"x\"}"}}), 2},
          {3, sink("daw.c", "C", {{kSubdevicesKey, "\"x\""}}), 2},
          {4, sink("daw.d", "D", {{kSubdevicesKey, deep}}), 2},
          {5, sink("daw.e", "E", {{kSubdevicesKey, "[1, null, \"x\", [\"y\"]]"}}), 2}},
         {{"daw.a", "A", kVirtual, 0, 2, 1, 0}, {"daw.b", "B", kVirtual, 0, 2, 2, 0}, {"daw.c", "C", kVirtual, 0, 2, 3, 0},
          {"daw.d", "D", kVirtual, 0, 2, 4, 0},
          {"daw.e", "E", kAudioDeviceTransportTypeAggregate, 0, 2, 5, 0, {"x"}}}},
    };
    auto [nodes, expected] = manySinks(100);
    cases.push_back({"100 sinks", {}, nodes, expected});
    // Many twins, so that the sort is no insertion sort: each first one keeps its name.
    std::vector<NodeRecord> twins;
    std::vector<Expected> firsts;
    for (std::uint32_t i = 0; i < 64; ++i) {
        const std::string uid = "twin." + std::to_string(100 + i);
        twins.push_back({1 + i, sink(uid, "first"), 2});
        twins.push_back({1000 + i, sink(uid, "second"), 2});
        firsts.push_back({uid, "first", kVirtual, 0, 2, 1 + i, 0});
    }
    cases.push_back({"64 pairs of twins", {}, twins, firsts});
    for (const Case& c : cases) expectTable(graphOf(c.devices, c.nodes), c.listed, c.what);
}

TEST(DeviceTable, AFormFactorOrBusPathSaysBuiltIn) {
    struct Case {
        Properties device;
        FourCharCode transport;
    };
    const Case cases[] = {
        {{{"device.bus", "pci"}}, kAudioDeviceTransportTypeBuiltIn},
        {{{"device.form-factor", "internal"}}, kAudioDeviceTransportTypeBuiltIn},
        // A system-on-chip's codec: udev gives no bus, only the path.
        {{{"device.api", "alsa"}, {"device.bus-path", "platform-soc:sound"}}, kAudioDeviceTransportTypeBuiltIn},
        {{{"device.bus", "usb"}, {"device.form-factor", "headset"}}, kAudioDeviceTransportTypeUSB},
        {{{"device.api", "bluez5"}}, kAudioDeviceTransportTypeBluetooth},
        {{{"device.bus", "bluetooth"}, {"device.form-factor", "internal"}}, kAudioDeviceTransportTypeBluetooth},
        {{}, kAudioDeviceTransportTypeVirtual},
    };
    for (const Case& c : cases) {
        const Graph graph = graphOf({{7, c.device}}, {{1, sink("card.out", "Out", {{"device.id", "7"}}), 2}});
        const auto table = buildDeviceTable(graph);
        ASSERT_EQ(table.size(), 1u);
        EXPECT_EQ(fourCCText(table[0].transport), fourCCText(c.transport)) << testing::PrintToString(c.device);
    }
}

TEST(IdTable, AnIdStaysWhileItsKeyStaysAndIsNeverReused) {
    IdTable ids;
    const AudioObjectID a = ids.idFor("a");
    const AudioObjectID b = ids.idFor("b");
    EXPECT_NE(a, b);
    for (const AudioObjectID id : {a, b}) {
        EXPECT_NE(id, kAudioObjectUnknown);
        EXPECT_NE(id, kAudioObjectSystemObject);
    }
    ids.retainOnly({"a", "b"});
    EXPECT_EQ(ids.idFor("a"), a);
    EXPECT_EQ(*ids.keyOf(b), "b");

    ids.retainOnly({"b"});
    EXPECT_EQ(ids.keyOf(a), nullptr) << "a key gone takes its id with it";
    EXPECT_EQ(ids.idFor("b"), b);
    const AudioObjectID again = ids.idFor("a");
    EXPECT_NE(again, a) << "a key that comes back gets a new id";
    EXPECT_NE(again, b);
    EXPECT_EQ(*ids.keyOf(again), "a");

    ids.retainOnly({});
    EXPECT_EQ(ids.keyOf(b), nullptr);
    const AudioObjectID c = ids.idFor("c");
    for (const AudioObjectID old : {a, b, again}) EXPECT_NE(c, old) << "ids are never reused";
}

}  // namespace
