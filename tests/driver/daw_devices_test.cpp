// The DAW device requests and the driver's saved state, without a server: what is refused, and
// files that are torn, too large, links or not the user's.
#include "driver/daw_devices.h"
#include "driver/default_output_keeper.h"
#include "driver/state_directory.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using korvane::driver::DawDevice;
using korvane::driver::DawRequest;
using korvane::driver::StateDirectory;
using korvane::test::readFile;
using korvane::test::writeFile;
namespace fs = std::filesystem;

constexpr const char* kJson = "Spa:String:JSON";

TEST(DawRequests, OnlyWellFormedRequestsAreTaken) {
    const std::string longUid = "audio.ravlin.daw." + std::string(240, 'A');  // 257 bytes
    const std::string longName = std::string(257, 'n');
    struct Row {
        const char* key;
        const char* type;
        std::string value;
        bool taken;
    };
    const Row rows[] = {
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.dXNi+/=._-","name":"KORVANE + USB","output":"usb.if"})", true},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.A","name":"ü","output":"o","extra":[1]})", true},
        {"korvane.daw.remove", kJson, R"({"uid":"audio.ravlin.daw.dXNi"})", true},
        {"korvane.daw.create", kJson, R"({"uid":")" + longUid.substr(0, 256) + R"(","name":"n","output":"o"})", true},
        {"korvane.daw.create", kJson, R"({"uid":")" + longUid + R"(","name":"n","output":"o"})", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.","name":"n","output":"o"})", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.stereo.v1","name":"n","output":"o"})", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.a b","name":"n","output":"o"})", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.a\u0000","name":"n","output":"o"})", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.A","name":"","output":"o"})", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.A","name":")" + longName + R"(","output":"o"})", false},
        {"korvane.daw.create", kJson, "{\"uid\":\"audio.ravlin.daw.A\",\"name\":\"\xff\",\"output\":\"o\"}", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.A","name":"n"})", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.A","name":"n","output":"audio.ravlin.stereo.v1"})", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.A","name":"n","output":"audio.ravlin.daw.B"})", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.A","name":7,"output":"o"})", false},
        {"korvane.daw.create", kJson, R"(["audio.ravlin.daw.A","n","o"])", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.A",)", false},
        {"korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.A","name":"n","output":"o","pad":")" +
                                          std::string(4096, 'x') + "\"}", false},
        {"korvane.daw.create", "", R"({"uid":"audio.ravlin.daw.A","name":"n","output":"o"})", false},
        {"korvane.daw.remove", kJson, R"({"uid":"elsewhere.A"})", false},
        {"korvane.daw.rename", kJson, R"({"uid":"audio.ravlin.daw.A"})", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value.substr(0, 120));
        std::string problem;
        const auto request = korvane::driver::parseDawRequest(row.key, row.type, row.value.c_str(), problem);
        EXPECT_EQ(request.has_value(), row.taken) << problem;
        EXPECT_EQ(problem.empty(), row.taken);
    }
    std::string problem;
    const auto create = korvane::driver::parseDawRequest(
        "korvane.daw.create", kJson, R"({"uid":"audio.ravlin.daw.dXNi","name":"KORVANE + USB","output":"usb.if"})", problem);
    ASSERT_TRUE(create);
    EXPECT_EQ(create->kind, DawRequest::Kind::create);
    EXPECT_EQ(create->device, (DawDevice{"audio.ravlin.daw.dXNi", "KORVANE + USB", "usb.if"}));
}

TEST(DawDeviceList, ReadsBackWhatWasSavedAndRefusesAnyFlaw) {
    const std::vector<DawDevice> devices{{"audio.ravlin.daw.QQ==", "KORVANE + A", "a"},
                                         {"audio.ravlin.daw.Qg==", "KORVANE + \"B\"", "alsa_output.b"}};
    std::string problem;
    EXPECT_EQ(korvane::driver::parseDawDevices(korvane::driver::dawDevicesText(devices), problem), devices) << problem;
    EXPECT_EQ(korvane::driver::parseDawDevices(korvane::driver::dawDevicesText({}), problem), std::vector<DawDevice>{});
    std::string many = R"({"devices":[)";
    for (int i = 0; i <= 32; ++i)
        many += std::string(i ? "," : "") + R"({"uid":"audio.ravlin.daw.)" + std::to_string(i) + R"(","name":"n","output":"o"})";
    many += "]}";
    for (const std::string& text : {
             std::string(R"({"devices":[{"uid":"audio.ravlin.daw.A","name":"n","output":"o"},)"
                         R"({"uid":"audio.ravlin.daw.A","name":"m","output":"p"}]})"),
             std::string(R"({"devices":[{"uid":"audio.ravlin.daw.A","name":"n"}]})"),
             std::string(R"({"devices":{"uid":"audio.ravlin.daw.A"}})"),
             std::string(R"({"devices":[7]})"),
             std::string(R"({"devices":[{"uid":"audio.ravlin.daw.A","name":"n","output":"o"})"),  // torn
             std::string("[]"),
             many,
         }) {
        SCOPED_TRACE(text.substr(0, 120));
        EXPECT_FALSE(korvane::driver::parseDawDevices(text, problem));
        EXPECT_FALSE(problem.empty());
    }
}

TEST(ConfiguredSinkRecord, KeepsTheExactTextOrAbsenceAndRefusesOtherValues) {
    using korvane::driver::ConfiguredSinkRecord;
    std::string problem;
    for (const ConfiguredSinkRecord& record : {ConfiguredSinkRecord{}, ConfiguredSinkRecord{"{ \"name\":  \"usb.if\" }"}})
        EXPECT_EQ(korvane::driver::parseConfiguredSinkRecord(korvane::driver::configuredSinkRecordText(record), problem),
                  record);
    for (const char* text : {R"({"configured":"usb.if"})", R"({"configured":7})", R"({})", R"({"configured":"[1]"})", "nul"})
        EXPECT_FALSE(korvane::driver::parseConfiguredSinkRecord(text, problem)) << text;
    EXPECT_TRUE(korvane::driver::namesKorvaneSink(R"({ "name": "audio.ravlin.stereo.v1" })"));
    EXPECT_FALSE(korvane::driver::namesKorvaneSink(R"({"name":"audio.ravlin.stereo.v1.input"})"));
    EXPECT_FALSE(korvane::driver::namesKorvaneSink(R"("audio.ravlin.stereo.v1")"));
}

class StateDirectoryTest : public ::testing::Test {
protected:
    korvane::test::TestEnvironment environment;
    fs::path path = environment.root() / "state" / "korvane";
    StateDirectory state{path};
};

TEST_F(StateDirectoryTest, WritesPrivatelyAndReadsBack) {
    EXPECT_EQ(state.read("f.json", 100).outcome, StateDirectory::Read::Outcome::absent);
    ASSERT_EQ(state.write("f.json", "first"), "");
    ASSERT_EQ(state.write("f.json", "second"), "");
    const auto read = state.read("f.json", 100);
    EXPECT_EQ(read.outcome, StateDirectory::Read::Outcome::read);
    EXPECT_EQ(read.text, "second");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((path / "f.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(path), fs::directory_iterator()), 1) << "a temporary file was left";
    // A directory opened up by someone is made private again before it is used.
    fs::permissions(path, fs::perms::all);
    ASSERT_EQ(state.write("f.json", "third"), "");
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(StateDirectoryTest, LinksOversizedFilesAndLinkedDirectoriesAreUnusableAndSetAside) {
    ASSERT_EQ(state.write("f.json", std::string(101, 'x')), "");
    EXPECT_EQ(state.read("f.json", 100).outcome, StateDirectory::Read::Outcome::unusable);
    EXPECT_EQ(state.read("f.json", 101).outcome, StateDirectory::Read::Outcome::read);

    const fs::path target = environment.root() / "elsewhere.json";
    writeFile(target, "secret");
    fs::remove(path / "f.json");
    fs::create_symlink(target, path / "f.json");
    const auto read = state.read("f.json", 100);
    EXPECT_EQ(read.outcome, StateDirectory::Read::Outcome::unusable);
    EXPECT_TRUE(read.text.empty());
    state.setAside("f.json");
    EXPECT_TRUE(fs::is_symlink(path / "f.json.bad"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(path / "f.json")));
    ASSERT_EQ(state.write("f.json", "new"), "");
    EXPECT_EQ(readFile(target), "secret") << "a link was followed";

    const fs::path real = environment.root() / "real";
    fs::create_directories(real);
    const fs::path linked = environment.root() / "linked";
    fs::create_symlink(real, linked);
    StateDirectory throughLink{linked};
    EXPECT_NE(throughLink.write("f.json", "x"), "");
    EXPECT_FALSE(fs::exists(real / "f.json"));
    EXPECT_EQ(throughLink.read("f.json", 100).outcome, StateDirectory::Read::Outcome::unusable);
}

}  // namespace
