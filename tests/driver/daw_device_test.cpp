// The combined DAW devices korvane-driver hosts, over a private PipeWire and WirePlumber: made and
// removed by requests in the "korvane" metadata, linked to KORVANE and to the output, kept across
// a restart of the driver, and hostile requests refused.
#include "driver/korvane_device.h"
#include "tests/support/daemon_fixture.h"
#include "tests/support/pipewire_session.h"
#include "tests/support/stream_probe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <set>

namespace {

using korvane::driver::kSinkName;
using korvane::driver::kSourceName;
using korvane::test::PipeWireSession;
using korvane::test::RunningProgram;
using korvane::test::StreamProbe;
using korvane::test::waitUntil;
using namespace std::chrono_literals;

constexpr const char* kUid = "audio.ravlin.daw.dXNiLmlm";
constexpr const char* kOutput = "usb.if";

std::array<float, 2> dawTone(std::int64_t position) {
    const double phase = 2 * M_PI * 1000.0 * double(position) / StreamProbe::kRate;
    return {float(0.5 * std::sin(phase)), float(0.25 * std::sin(phase))};
}

std::array<float, 2> peaks(const std::vector<StreamProbe::Block>& blocks) {
    std::array<float, 2> peak{};
    for (const auto& block : blocks)
        for (std::size_t i = 0; i + 1 < block.samples.size(); i += 2)
            for (int c = 0; c < 2; ++c) peak[c] = std::max(peak[c], std::fabs(block.samples[i + c]));
    return peak;
}

class DawDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.ready()) << korvane::test::readFile(session.environment().root() / "session.log");
        ASSERT_EQ(session.run({"pw-cli", "create-node", "adapter",
                               "{ factory.name=support.null-audio-sink node.name=usb.if node.description=\"USB Interface\" "
                               "media.class=Audio/Sink object.linger=true audio.position=[FL FR] }"}),
                  0);
        startDriver();
    }

    void startDriver() {
        driver = std::make_unique<RunningProgram>(std::vector<std::string>{korvane::test::driverProgram()});
        ASSERT_TRUE(waitUntil([&] { return session.nodeId(kSinkName) && session.nodeId(kSourceName); }, 15s));
    }

    void stopDriver() {
        ::kill(driver->pid(), SIGTERM);
        ASSERT_EQ(driver->wait(5s), 0);
        driver.reset();
    }

    bool request(const char* key, const std::string& value, const char* type = "Spa:String:JSON") {
        return session.run({"pw-metadata", "-n", "korvane", "0", key, value, type}) == 0;
    }

    bool create(const std::string& uid = kUid) {
        return request("korvane.daw.create",
                       R"({"uid":")" + uid + R"(","name":"KORVANE + USB Interface","output":")" + kOutput + "\"}");
    }

    bool present(const std::string& uid = kUid) { return session.nodeId(uid) && session.nodeId(uid + ".input"); }

    // Every link in the graph as "output node:channel -> input node:channel".
    std::set<std::string> links() {
        const auto objects = session.dump();
        std::map<std::uint64_t, std::string> names;
        std::map<std::uint64_t, std::string> ports;
        for (const auto& object : objects)
            if (object.value("type", "") == "PipeWire:Interface:Node")
                names[object["id"]] = object["info"]["props"].value("node.name", "");
        for (const auto& object : objects)
            if (object.value("type", "") == "PipeWire:Interface:Port") {
                const auto& props = object["info"]["props"];
                ports[object["id"]] = names[props.value("node.id", 0u)] + ":" + props.value("audio.channel", "");
            }
        std::set<std::string> found;
        for (const auto& object : objects)
            if (object.value("type", "") == "PipeWire:Interface:Link") {
                const auto& info = object["info"];
                found.insert(ports[info.value("output-port-id", 0u)] + " -> " + ports[info.value("input-port-id", 0u)]);
            }
        return found;
    }

    // The id of the port in `direction` ("in", "out") that carries `channel` of the node named (or
    // whose media is named) `node`, as text.
    std::string port(const std::string& node, const char* direction, const char* channel) {
        const auto objects = session.dump();
        std::optional<std::uint32_t> id;
        for (const auto& object : objects)
            if (object.value("type", "") == "PipeWire:Interface:Node" &&
                (object["info"]["props"].value("node.name", "") == node ||
                 object["info"]["props"].value("media.name", "") == node))
                id = object["id"].get<std::uint32_t>();
        for (const auto& object : objects) {
            if (object.value("type", "") != "PipeWire:Interface:Port") continue;
            const auto& props = object["info"]["props"];
            if (id && props.value("node.id", 0u) == *id && props.value("port.direction", "") == direction &&
                props.value("audio.channel", "") == channel && !props.value("port.monitor", false))
                return std::to_string(object["id"].get<std::uint32_t>());
        }
        return "none";
    }

    bool linked() {
        const std::string sink = kUid;
        const std::string source = sink + ".input";
        const std::set<std::string> expected{
            sink + ":AUX0 -> " + kSinkName + ":FL",        sink + ":AUX1 -> " + kSinkName + ":FR",
            sink + ":AUX2 -> usb.if:FL",                   sink + ":AUX3 -> usb.if:FR",
            std::string(kSourceName) + ":FL -> " + source + ":FL",
            std::string(kSourceName) + ":FR -> " + source + ":FR",
        };
        const auto all = links();
        return std::includes(all.begin(), all.end(), expected.begin(), expected.end());
    }

    std::string savedState() {
        return korvane::test::readFile(session.environment().root() / "state" / "korvane" / "daw-devices.json");
    }

    PipeWireSession session;
    std::unique_ptr<RunningProgram> driver;
};

TEST_F(DawDeviceTest, ARequestMakesTwoLinkedNodesThatCarryAudioAndOutliveARestart) {
    ASSERT_TRUE(create());
    ASSERT_TRUE(waitUntil([&] { return present() && linked(); }, 15s)) << nlohmann::json(links());
    EXPECT_FALSE(session.metadataValue("korvane", 0, "korvane.daw.create")) << "the request was not cleared";

    const auto sink = session.node(kUid)["info"]["props"];
    const auto source = session.node(std::string(kUid) + ".input")["info"]["props"];
    EXPECT_EQ(sink.value("media.class", ""), "Audio/Sink");
    EXPECT_EQ(source.value("media.class", ""), "Audio/Source/Virtual");
    EXPECT_EQ(sink.value("audio.channels", 0), 4);
    EXPECT_EQ(source.value("audio.channels", 0), 2);
    for (const auto& props : {sink, source}) {
        EXPECT_EQ(props.value("node.description", ""), "KORVANE + USB Interface");
        EXPECT_EQ(props.value("korvane.subdevices", ""), R"(["audio.ravlin.stereo.v1","usb.if"])");
        EXPECT_EQ(props.value("korvane.daw.output", ""), "usb.if");
    }
    // The session manager does not make it the default output.
    std::string defaults;
    session.run({"pw-metadata", "-n", "default"}, &defaults);
    EXPECT_EQ(defaults.find(kUid), std::string::npos) << defaults;

    {
        // Playback 1–2 reach KORVANE's input; playback 3–4 reach the output.
        StreamProbe korvane;
        korvane.record(kSourceName);
        // The session manager takes a capture stream from a sink's monitor only when asked to.
        StreamProbe output;
        ::setenv("PIPEWIRE_PROPS", "{ stream.capture.sink = true }", 1);
        output.record(kOutput);
        ::unsetenv("PIPEWIRE_PROPS");
        StreamProbe player;
        player.play(kUid, dawTone);  // the session links a stereo stream to AUX0 and AUX1
        const auto near = [](std::array<float, 2> peak) {
            return std::fabs(peak[0] - 0.5f) < 0.02f && std::fabs(peak[1] - 0.25f) < 0.02f;
        };
        EXPECT_TRUE(waitUntil([&] { return near(peaks(korvane.recorded())); }, 15s)) << peaks(korvane.recorded())[0];
        EXPECT_EQ(peaks(output.recorded())[0], 0.0f) << "playback 1–2 reached the output";
        for (const auto& [from, to] : {std::pair{"FL", "AUX2"}, std::pair{"FR", "AUX3"}})
            ASSERT_EQ(session.run({"pw-link", port("probe-play", "out", from), port(kUid, "in", to)}), 0) << from;
        EXPECT_TRUE(waitUntil([&] { return near(peaks(output.recorded())); }, 15s)) << peaks(output.recorded())[0];
    }

    stopDriver();
    EXPECT_FALSE(session.nodeId(kUid)) << "the DAW device outlived its driver";
    startDriver();
    EXPECT_TRUE(waitUntil([&] { return present() && linked(); }, 15s)) << nlohmann::json(links());

    // The same request again changes nothing.
    const std::string saved = savedState();
    const auto id = session.nodeId(kUid);
    ASSERT_TRUE(create());
    ASSERT_TRUE(waitUntil([&] { return !session.metadataValue("korvane", 0, "korvane.daw.create"); }));
    EXPECT_EQ(session.nodeId(kUid), id);
    EXPECT_EQ(savedState(), saved);
}

TEST_F(DawDeviceTest, ARemoveRequestDeletesTheDeviceForGood) {
    ASSERT_TRUE(create());
    ASSERT_TRUE(waitUntil([&] { return present(); }, 15s));
    ASSERT_TRUE(request("korvane.daw.remove", R"({"uid":"audio.ravlin.daw.dW5rbm93bg=="})"));  // unknown: no-op
    ASSERT_TRUE(request("korvane.daw.remove", std::string(R"({"uid":")") + kUid + "\"}"));
    EXPECT_TRUE(waitUntil([&] { return !session.nodeId(kUid) && !session.nodeId(std::string(kUid) + ".input"); }, 15s));
    EXPECT_EQ(nlohmann::json::parse(savedState()), nlohmann::json::parse(R"({"devices":[]})"));
    stopDriver();
    startDriver();
    EXPECT_FALSE(session.nodeId(kUid));
}

// Each refused request is followed by a good one: requests are answered in order, so once the good
// device is there, the refused one was answered too, and it made nothing.
TEST_F(DawDeviceTest, HostileRequestsChangeNothing) {
    struct Row {
        const char* key;
        std::string value;
        const char* type;
    };
    const Row rows[] = {
        {"korvane.daw.create", R"({"uid":"audio.ravlin.daw.bad uid","name":"x","output":"usb.if"})", "Spa:String:JSON"},
        {"korvane.daw.create", R"({"uid":"audio.ravlin.daw.QQ==","name":"x","output":"audio.ravlin.stereo.v1"})",
         "Spa:String:JSON"},
        {"korvane.daw.create", R"({"uid":"audio.ravlin.daw.QQ==","name":"x","output":"usb.if","pad":")" +
                                   std::string(5000, 'x') + "\"}", "Spa:String:JSON"},
        {"korvane.daw.create", R"({"uid":"audio.ravlin.daw.QQ==","name":"x","output":"usb.if"})", "string"},
        {"korvane.daw.remove", R"({"uid":"audio.ravlin.daw.good0"})", "Spa:String:JSON"},  // torn below
    };
    int good = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value.substr(0, 100));
        const bool torn = std::string(row.key) == "korvane.daw.remove";
        ASSERT_TRUE(request(row.key, torn ? row.value.substr(0, 20) : row.value, row.type));
        const std::string uid = "audio.ravlin.daw.good" + std::to_string(good++);
        ASSERT_TRUE(create(uid));
        ASSERT_TRUE(waitUntil([&] { return present(uid); }, 15s));
        EXPECT_FALSE(session.nodeId("audio.ravlin.daw.QQ=="));
        EXPECT_FALSE(session.nodeId("audio.ravlin.daw.bad uid"));
        EXPECT_EQ(nlohmann::json::parse(savedState())["devices"].size(), std::size_t(good));
    }
    EXPECT_EQ(::kill(driver->pid(), 0), 0) << "the driver ended";
}

}  // namespace
