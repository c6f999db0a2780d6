#include "audiosim/daemon/state_file.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace korvane {
namespace {

namespace fs = std::filesystem;

struct StateDirectory {
    test::TestEnvironment environment;
    fs::path directory = environment.root() / "state" / "audiosim";
    fs::path file = directory / "state.json";
    fs::path setAside = directory / "state.json.bad";

    StateDirectory() {
        fs::create_directories(directory);
        fs::permissions(directory, fs::perms::owner_all);
    }
};

TEST(StateFile, AFileOfTheWrongShapeIsSetAsideWhole) {
    const std::string big(std::size_t(1 << 20) + 1, ' ');
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"default output is a number", R"({"aggregates":[],"defaultOutput":7,"volumes":{}})"},
        {"default system output is null", R"({"defaultOutput":"BuiltInSpeakerDevice","defaultSystemOutput":null})"},
        {"volumes is a list", R"({"volumes":[]})"},
        {"a device's volumes are a number", R"({"volumes":{"BuiltInSpeakerDevice":0.5}})"},
        {"a level is text", R"({"volumes":{"BuiltInSpeakerDevice":{"0":"loud"}}})"},
        {"a level above 1", R"({"volumes":{"BuiltInSpeakerDevice":{"0":1.5}}})"},
        {"a level below 0", R"({"volumes":{"BuiltInSpeakerDevice":{"0":-0.01}}})"},
        {"an element that is not a number", R"({"volumes":{"BuiltInSpeakerDevice":{"main":0.5}}})"},
        {"a negative element", R"({"volumes":{"BuiltInSpeakerDevice":{"-1":0.5}}})"},
        {"an element past the last", R"({"volumes":{"BuiltInSpeakerDevice":{"1024":0.5}}})"},
        {"an element with a sign", R"({"volumes":{"BuiltInSpeakerDevice":{"+1":0.5}}})"},
        {"an element too large for any integer", R"({"volumes":{"B":{"99999999999999999999999":0.5}}})"},
        {"aggregates is an object", R"({"aggregates":{}})"},
        {"an aggregate is a string", R"({"aggregates":["audio.ravlin.daw"]})"},
        {"not an object", R"([1,2,3])"},
        {"not JSON", R"({"defaultOutput":)"},
        {"empty", ""},
        {"larger than 1 MiB", big},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StateDirectory state;
        test::writeFile(state.file, c.text);
        std::string error;
        EXPECT_FALSE(audiosim::readStateFile(state.directory, error));
        EXPECT_NE(error.find(state.file.string()), std::string::npos) << error;
        EXPECT_NE(error.find("set aside"), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(state.file));
        EXPECT_EQ(test::readFile(state.setAside), c.text);
    }
}

TEST(StateFile, WhatIsNotAFileIsSetAsideWithoutFollowingIt) {
    StateDirectory state;
    const fs::path target = state.environment.root() / "elsewhere.json";
    test::writeFile(target, R"({"defaultOutput":"HDMIDisplay:1"})");
    fs::create_symlink(target, state.file);
    std::string error;
    EXPECT_FALSE(audiosim::readStateFile(state.directory, error));
    EXPECT_NE(error.find("set aside"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_symlink(state.setAside));
    EXPECT_EQ(test::readFile(target), R"({"defaultOutput":"HDMIDisplay:1"})");  // untouched

    StateDirectory directoryInstead;
    fs::create_directory(directoryInstead.file);
    EXPECT_FALSE(audiosim::readStateFile(directoryInstead.directory, error));
    EXPECT_TRUE(fs::is_directory(directoryInstead.setAside));
}

TEST(StateFile, AWrittenStateReadsBackAndAbsentFieldsKeepTheirDefaults) {
    StateDirectory state;
    audiosim::DeviceModel::PersistentState written;
    written.defaultOutput = "HDMIDisplay:1";
    written.defaultSystemOutput = "BuiltInSpeakerDevice";
    written.volumes["BuiltInSpeakerDevice"][0] = 1.0f;
    written.volumes["BuiltInSpeakerDevice"][1023] = 0.0f;
    written.publicAggregates.push_back(
        platform::audio::PropertyList(platform::audio::PropertyList::Dictionary{{"uid", platform::audio::PropertyList("A")}}));
    ASSERT_EQ(audiosim::writeStateFile(state.directory, written), "");
    std::string error;
    const auto read = audiosim::readStateFile(state.directory, error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->defaultOutput, "HDMIDisplay:1");
    EXPECT_EQ(read->defaultSystemOutput, "BuiltInSpeakerDevice");
    EXPECT_EQ(read->volumes, written.volumes);
    EXPECT_EQ(read->publicAggregates.size(), 1u);
    EXPECT_FALSE(fs::exists(state.setAside));

    test::writeFile(state.file, "{}");
    const auto empty = audiosim::readStateFile(state.directory, error);
    ASSERT_TRUE(empty) << error;
    EXPECT_EQ(empty->defaultOutput, "");
    EXPECT_TRUE(empty->volumes.empty());

    fs::remove(state.file);
    EXPECT_FALSE(audiosim::readStateFile(state.directory, error));
    EXPECT_EQ(error, "");  // no file is no problem
}

}  // namespace
}  // namespace korvane
