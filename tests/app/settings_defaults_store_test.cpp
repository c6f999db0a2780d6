// The QSettings defaults store: where its file lies, that values keep their types across a reload,
// and that a damaged or hostile file reads as absent values rather than as wrong ones.
#include "panel/app/settings_defaults_store.h"
#include "tests/app/app_test_support.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

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
    };
    const Case cases[] = {
        {"not JSON", "[General]\nrememberDevices=true\n", std::nullopt, std::nullopt},
        {"a JSON array", "[true, \"x\"]", std::nullopt, std::nullopt},
        {"torn in the middle", "{\"rememberDevices\": false, \"preferredIn", std::nullopt, std::nullopt},
        {"wrong types", R"({"rememberDevices": "false", "preferredInput": 7})", std::nullopt, std::nullopt},
        {"bad base64 beside good values", R"({"listeningMuteMemory": {"data": "@@@"}, "rememberDevices": false})", false,
         std::nullopt},
        {"larger than a megabyte", "{\"preferredInput\": \"" + std::string(1 << 20, 'a') + "\"}", std::nullopt,
         std::nullopt},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        fs::create_directories(file().parent_path());
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
        fs::remove(file());
    }
}

}  // namespace
}  // namespace korvane::test
