// The QSettings defaults store: where its file lies, that values keep their types across a reload,
// and that a damaged or hostile file reads as absent values rather than as wrong ones.
#include "panel/app/settings_defaults_store.h"
#include "tests/app/app_test_support.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

namespace korvane::test {
namespace {

namespace fs = std::filesystem;

class SettingsDefaultsStoreTest : public ::testing::Test {
protected:
    SettingsDefaultsStoreTest() { environment.set("XDG_CONFIG_HOME", (environment.root() / "config").string()); }

    fs::path file() const { return environment.root() / "config" / "RAVLIN" / "KORVANE.conf"; }

    TestEnvironment environment;
    EventLoop loop;
};

// Each store finds the config home of the moment it is made, not of the first one in the process.
TEST_F(SettingsDefaultsStoreTest, LivesInThePrivateRavlinFolderOfTheConfigHome) {
    for (const char* home : {"config", "another config"}) {
        SCOPED_TRACE(home);
        environment.set("XDG_CONFIG_HOME", (environment.root() / home).string());
        const fs::path expected = environment.root() / home / "RAVLIN" / "KORVANE.conf";
        app::SettingsDefaultsStore store;
        store.setBool("rememberDevices", false);
        store.sync();
        EXPECT_EQ(fs::path(store.fileName().toStdString()), expected);
        EXPECT_TRUE(fs::is_regular_file(expected));
        struct stat status {};
        ASSERT_EQ(::stat(expected.parent_path().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0700u);
    }
}

TEST_F(SettingsDefaultsStoreTest, ValuesKeepTheirTypesAcrossAReload) {
    const std::string binary("{\"a\":1}\0\xff\x01", 10);
    {
        app::SettingsDefaultsStore store;
        store.setBool("aBool", false);
        store.setString("aString", "true");  // looks like a bool, stays a string
        store.setString("emptyString", "");
        store.setString("unicode", "Built-in Speakers · “Studio” – ’");
        store.setData("someData", binary);
        store.setString("removed", "x");
        store.remove("removed");
        store.remove("neverThere");
    }
    app::SettingsDefaultsStore reloaded;
    struct Case {
        const char* key;
        std::optional<bool> asBool;
        std::optional<std::string> asString;
        std::optional<std::string> asData;
    };
    const Case cases[] = {
        {"aBool", false, std::nullopt, std::nullopt},
        {"aString", std::nullopt, "true", std::nullopt},
        {"emptyString", std::nullopt, "", std::nullopt},
        {"unicode", std::nullopt, "Built-in Speakers · “Studio” – ’", std::nullopt},
        {"someData", std::nullopt, std::nullopt, binary},
        {"removed", std::nullopt, std::nullopt, std::nullopt},
        {"neverThere", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.key);
        EXPECT_EQ(reloaded.boolValue(test.key), test.asBool);
        EXPECT_EQ(reloaded.stringValue(test.key), test.asString);
        EXPECT_EQ(reloaded.dataValue(test.key), test.asData);
    }
}

TEST_F(SettingsDefaultsStoreTest, DamagedFilesReadAsAbsentValuesAndAreReplacedOnTheNextWrite) {
    struct Case {
        const char* name;
        std::string content;
        std::optional<bool> rememberDevices;
        std::optional<std::string> preferredInput;
        bool setAside;  // unreadable as a whole: kept as KORVANE.conf.bad
    };
    const Case cases[] = {
        {"not JSON", "[General]\nrememberDevices=true\n", std::nullopt, std::nullopt, true},
        {"a JSON array", "[true, \"x\"]", std::nullopt, std::nullopt, true},
        {"torn in the middle", "{\"rememberDevices\": false, \"preferredIn", std::nullopt, std::nullopt, true},
        {"random bytes", std::string("\x8f\x00\xd3{\xff\x12\x7f", 7), std::nullopt, std::nullopt, true},
        {"wrong types", R"({"rememberDevices": "false", "preferredInput": 7})", std::nullopt, std::nullopt, false},
        {"bad base64 beside good values", R"({"listeningMuteMemory": {"data": "@@@"}, "rememberDevices": false})", false,
         std::nullopt, false},
        {"larger than a megabyte", "{\"preferredInput\": \"" + std::string(1 << 20, 'a') + "\"}", std::nullopt,
         std::nullopt, true},
    };
    const fs::path aside = file().string() + ".bad";
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        fs::create_directories(file().parent_path());
        fs::remove(aside);
        writeFile(file(), test.content);
        {
            app::SettingsDefaultsStore store;
            EXPECT_EQ(store.boolValue("rememberDevices"), test.rememberDevices);
            EXPECT_EQ(store.stringValue("preferredInput"), test.preferredInput);
            EXPECT_FALSE(store.dataValue("listeningMuteMemory"));
            store.setString("preferredOutput", "BuiltInSpeakerDevice");
        }
        app::SettingsDefaultsStore reloaded;
        EXPECT_EQ(reloaded.stringValue("preferredOutput"), "BuiltInSpeakerDevice");
        EXPECT_EQ(fs::exists(aside), test.setAside);
        if (test.setAside) {
            EXPECT_EQ(readFile(aside), test.content);
        }
        fs::remove(file());
    }
}

// Something that is not a file stands in the file's place: every save fails, and that is told once.
TEST_F(SettingsDefaultsStoreTest, ASaveThatFailsIsToldOnce) {
    fs::create_directories(file());
    app::SettingsDefaultsStore store;
    int told = 0;
    store.onSaveFailure([&] { ++told; });
    testing::internal::CaptureStderr();
    store.setBool("rememberDevices", false);
    store.setString("preferredOutput", "BuiltInSpeakerDevice");
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(told, 1);
    EXPECT_TRUE(store.saveFailed());
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    EXPECT_NE(printed.find("could not be saved"), std::string::npos) << printed;
    int toldLater = 0;
    store.onSaveFailure([&] { ++toldLater; });
    EXPECT_EQ(toldLater, 1) << "a handler given after the failure hears of it at once";
}

}  // namespace
}  // namespace korvane::test
