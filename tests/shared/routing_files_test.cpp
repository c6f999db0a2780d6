#include "shared/routing_files.h"
#include "shared/routing_health.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {
namespace {

using test::TestEnvironment;
namespace fs = std::filesystem;

RoutingChoice sampleChoice() {
    RoutingChoice choice;
    choice.revision = "7F1C1E8A-2B1D-4C36-9A51-3A8F2E6B9C01";
    choice.inputUID = "USBInterface:2in2out";
    choice.outputUID = "AppleUSB/Out:1";
    choice.enabled = true;
    return choice;
}

RoutingReport sampleReport() {
    return {"7F1C1E8A-2B1D-4C36-9A51-3A8F2E6B9C01", "running", "Sending L/R audio to Built-in Speakers",
            786'000'000.25, 12345};
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & 07777;
}

TEST(RoutingRecords, ChoiceJsonIsCompactWithEscapedSlashes) {
    std::string json;
    ASSERT_FALSE(encode(sampleChoice(), json));
    EXPECT_EQ(json.find(' '), std::string::npos);
    EXPECT_NE(json.find(R"("outputUID":"AppleUSB\/Out:1")"), std::string::npos) << json;
    EXPECT_EQ(decodeChoice(json), sampleChoice());
}

TEST(RoutingRecords, AbsentSampleRateFlagIsOmittedAndStaysAbsent) {
    RoutingChoice absent = sampleChoice();
    absent.automaticallyMatchSampleRate.reset();
    std::string json;
    ASSERT_FALSE(encode(absent, json));
    EXPECT_EQ(json.find("automaticallyMatchSampleRate"), std::string::npos);
    const auto decoded = decodeChoice(json);
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->automaticallyMatchSampleRate.has_value());
    EXPECT_NE(*decoded, sampleChoice());  // absent is not the same as true
}

TEST(RoutingRecords, NewChoicesCarryFreshUpperCaseRevisions) {
    const RoutingChoice a;
    const RoutingChoice b;
    EXPECT_NE(a.revision, b.revision);
    EXPECT_TRUE(platform::isUUIDString(a.revision));
    EXPECT_EQ(a.revision.find_first_of("abcdef"), std::string::npos);
    EXPECT_EQ(a.inputUID, "system");
    EXPECT_EQ(a.automaticallyMatchSampleRate, true);
}

TEST(RoutingRecords, DecodingIsStrictAboutKeysAndTypes) {
    const std::string valid = R"({"revision":"R","inputUID":"system","outputUID":"","enabled":true})";
    struct Case {
        std::string json;
        bool decodes;
    };
    const Case choices[] = {
        {valid, true},
        {R"({"revision":"R","inputUID":"a\/b","outputUID":"a/b","enabled":false,"extra":[1]})", true},
        {R"({"revision":"R","inputUID":"system","outputUID":"","enabled":true,"automaticallyMatchSampleRate":false})",
         true},
        {R"({"revision":"R","inputUID":"system","outputUID":"","enabled":true,"automaticallyMatchSampleRate":1})",
         false},
        {R"({"revision":"R","inputUID":"system","outputUID":"","enabled":true,"automaticallyMatchSampleRate":null})",
         false},
        {R"({"revision":"R","inputUID":"system","outputUID":""})", false},
        {R"({"revision":7,"inputUID":"system","outputUID":"","enabled":true})", false},
        {R"({"revision":"R","inputUID":"system","outputUID":"","enabled":"true"})", false},
        {R"([{"revision":"R"}])", false},
        {"", false},
        {valid.substr(0, valid.size() - 1), false},
        {"{\"revision\":\"\xff\",\"inputUID\":\"system\",\"outputUID\":\"\",\"enabled\":true}", false},
    };
    for (const auto& c : choices) EXPECT_EQ(decodeChoice(c.json).has_value(), c.decodes) << c.json;

    const Case reports[] = {
        {R"({"revision":"R","phase":"running","detail":"","updated":7.5,"cycles":3})", true},
        {R"({"revision":"R","phase":"running","detail":"","updated":7,"cycles":18446744073709551615})", true},
        {R"({"revision":"R","phase":"running","detail":"","updated":7,"cycles":18446744073709551616})", false},
        {R"({"revision":"R","phase":"running","detail":"","updated":7,"cycles":-1})", false},
        {R"({"revision":"R","phase":"running","detail":"","updated":7,"cycles":1.5})", false},
        {R"({"revision":"R","phase":"running","detail":"","updated":"now","cycles":1})", false},
        {R"({"revision":"R","phase":"running","updated":7,"cycles":1})", false},
    };
    for (const auto& c : reports) EXPECT_EQ(decodeReport(c.json).has_value(), c.decodes) << c.json;
}

TEST(RoutingFiles, WriteThenReadRoundTripsWithPrivatePermissions) {
    TestEnvironment environment;
    EXPECT_EQ(RoutingFiles::directory(), environment.dataHome() / "RAVLIN");
    ASSERT_FALSE(RoutingFiles::write(sampleChoice(), "route.json"));
    ASSERT_FALSE(RoutingFiles::write(sampleReport(), "status.json"));
    EXPECT_EQ(RoutingFiles::readChoice(), sampleChoice());
    EXPECT_EQ(RoutingFiles::readReport(), sampleReport());
    EXPECT_EQ(modeOf(RoutingFiles::directory()), 0700u);
    EXPECT_EQ(modeOf(RoutingFiles::directory() / "route.json"), 0600u);
    EXPECT_EQ(modeOf(RoutingFiles::directory() / "status.json"), 0600u);
    // Nothing but the two files is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(RoutingFiles::directory()), fs::directory_iterator()), 2);

    RoutingChoice next = sampleChoice();
    next.revision = "second";
    ASSERT_FALSE(RoutingFiles::write(next, "route.json"));
    EXPECT_EQ(RoutingFiles::readChoice()->revision, "second");
}

TEST(RoutingFiles, AWriteReplacesWhatStandsInThePlaceOfTheFileAndChangesNothingElse) {
    TestEnvironment environment;
    ASSERT_FALSE(RoutingFiles::write(sampleReport(), "status.json"));  // creates the directory
    const fs::path status = RoutingFiles::directory() / "status.json";
    const fs::path victim = environment.root() / "victim";
    struct Case {
        const char* name;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"a readable file", [&] { fs::remove(status), test::writeFile(status, "{}"), ::chmod(status.c_str(), 0666); }},
        {"a link to another file", [&] { fs::remove(status), fs::create_symlink(victim, status); }},
    };
    const mode_t umaskBefore = ::umask(0);  // a permissive umask must not widen the mode either
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeFile(victim, "keep");
        ::chmod(victim.c_str(), 0644);
        c.prepare();
        ASSERT_FALSE(RoutingFiles::write(sampleReport(), "status.json"));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(status)));
        EXPECT_EQ(modeOf(status), 0600u);
        EXPECT_EQ(RoutingFiles::readReport(), sampleReport());
        EXPECT_EQ(modeOf(victim), 0644u);
        EXPECT_EQ(fs::file_size(victim), 4u);
    }
    ::umask(umaskBefore);
}

TEST(RoutingFiles, DirectoryFallsBackToTheHomeDirectory) {
    TestEnvironment environment;
    environment.set("HOME", "/home/someone");
    environment.set("XDG_DATA_HOME", "relative/path");
    EXPECT_EQ(RoutingFiles::directory(), fs::path("/home/someone/.local/share/RAVLIN"));
    environment.set("XDG_DATA_HOME", "");
    EXPECT_EQ(RoutingFiles::directory(), fs::path("/home/someone/.local/share/RAVLIN"));
}

TEST(RoutingFiles, RefusedWritesTouchNothing) {
    TestEnvironment environment;
    for (const char* name : {"other.json", "../route.json", "Route.json", "", "route.json/"}) {
        const auto error = RoutingFiles::write(sampleChoice(), name);
        EXPECT_EQ(error, RoutingFilesError::invalidFileName) << name;
        EXPECT_EQ(error.value(), 514);
    }
    EXPECT_FALSE(fs::exists(RoutingFiles::directory()));
    EXPECT_FALSE(RoutingFiles::readChoice("other.json"));

    RoutingReport huge = sampleReport();
    huge.detail.assign(70000, 'x');
    const auto error = RoutingFiles::write(huge, "status.json");
    EXPECT_EQ(error, RoutingFilesError::recordTooLarge);
    EXPECT_EQ(error.value(), 512);
    EXPECT_FALSE(error.message().empty());
    EXPECT_FALSE(fs::exists(RoutingFiles::directory()));
}

TEST(RoutingFiles, WriteReportsAnUnusableDirectory) {
    TestEnvironment environment;
    test::writeFile(environment.dataHome(), "a file where the directory should be");
    EXPECT_TRUE(RoutingFiles::write(sampleChoice(), "route.json"));
}

TEST(RoutingFiles, HostileFilesReadAsNothing) {
    TestEnvironment environment;
    ASSERT_FALSE(RoutingFiles::write(sampleReport(), "status.json"));
    const fs::path dir = RoutingFiles::directory();
    const fs::path status = dir / "status.json";
    std::string valid;
    ASSERT_FALSE(encode(sampleReport(), valid));

    struct Case {
        const char* name;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"missing", [&] { fs::remove(status); }},
        {"symbolic link to a valid report",
         [&] {
             test::writeFile(dir / "elsewhere.json", valid);
             fs::remove(status);
             fs::create_symlink(dir / "elsewhere.json", status);
         }},
        {"directory", [&] { fs::remove(status), fs::create_directory(status); }},
        {"FIFO", [&] { fs::remove(status), ::mkfifo(status.c_str(), 0600); }},
        {"65,537 bytes", [&] { test::writeFile(status, valid + std::string(65537 - valid.size(), ' ')); }},
        {"unreadable", [&] { test::writeFile(status, valid), fs::permissions(status, fs::perms::none); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ignored;
        fs::permissions(status, fs::perms::owner_read | fs::perms::owner_write, ignored);
        fs::remove_all(status, ignored);
        test::writeFile(status, valid);
        c.prepare();
        if (std::string(c.name) == "unreadable" && ::geteuid() == 0) continue;  // root reads anything
        EXPECT_FALSE(RoutingFiles::readReport());
    }

    // Exactly at the limit still reads.
    fs::remove_all(status);
    test::writeFile(status, valid + std::string(65536 - valid.size(), ' '));
    EXPECT_EQ(RoutingFiles::readReport(), sampleReport());
}

TEST(RoutingFiles, EveryTruncationAndRandomBytesReadAsNothing) {
    TestEnvironment environment;
    ASSERT_FALSE(RoutingFiles::write(sampleChoice(), "route.json"));
    const fs::path route = RoutingFiles::directory() / "route.json";
    std::string valid;
    ASSERT_FALSE(encode(sampleChoice(), valid));
    for (std::size_t length = 0; length < valid.size(); ++length) {
        test::writeFile(route, valid.substr(0, length));
        EXPECT_FALSE(RoutingFiles::readChoice()) << length;
    }
    std::mt19937 random(20261207);
    for (int round = 0; round < 300; ++round) {
        std::string bytes(random() % 200, '\0');
        for (auto& b : bytes) b = char(random());
        if (round % 3 == 0) bytes = valid.substr(0, random() % valid.size()) + bytes;
        test::writeFile(route, bytes);
        EXPECT_FALSE(RoutingFiles::readChoice());
    }
}

TEST(RoutingHealth, IsCurrent) {
    const double now = 800'000'000.0;
    struct Case {
        const char* name;
        std::string revision;
        std::string reportRevision;
        std::string phase;
        double updated;
        bool current;
    };
    const Case cases[] = {
        {"fresh", "R", "R", "running", now, true},
        {"0.9 s in the future", "R", "R", "running", now + 0.9, true},
        {"exactly 1 s in the future", "R", "R", "running", now + 1.0, true},
        {"1.1 s in the future", "R", "R", "running", now + 1.1, false},
        {"3.9 s old", "R", "R", "stopped", now - 3.9, true},
        {"4.0 s old", "R", "R", "running", now - 4.0, false},
        {"not finite", "R", "R", "running", std::nan(""), false},
        {"phase unavailable", "R", "R", "unavailable", now, false},
        {"unknown phase", "R", "R", "Running", now, false},
        {"other revision", "R", "S", "running", now, false},
        {"empty revision", "", "", "running", now, false},
    };
    for (const auto& c : cases) {
        const RoutingReport report{c.reportRevision, c.phase, "", c.updated, 0};
        EXPECT_EQ(RoutingHealth::isCurrent(report, c.revision, now), c.current) << c.name;
    }
}

TEST(RoutingHealth, IsWithinGrace) {
    struct Case {
        std::optional<double> start;
        double now;
        bool within;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {100.0, 100.0, true},   {100.0, 103.99, true}, {100.0, 104.0, false}, {100.0, 99.0, false},
        {std::nullopt, 100.0, false}, {nan, 100.0, false}, {100.0, nan, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RoutingHealth::isWithinGrace(c.start, c.now), c.within) << c.start.value_or(-1) << " " << c.now;
}

}  // namespace
}  // namespace korvane
