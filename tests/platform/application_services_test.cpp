#include "platform/bundle.h"
#include "platform/linux_application_services.h"
#include "platform/running_processes.h"
#include "tests/support/bundle_fixture.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <fstream>
#include <future>
#include <thread>

namespace platform {
namespace {

namespace fs = std::filesystem;
using korvane::test::ChildProcess;
using korvane::test::infoJson;
using korvane::test::makeBundle;
using korvane::test::waitUntil;
using korvane::test::writeFile;

std::vector<pid_t> pidsOf(const std::vector<std::shared_ptr<RunningApplication>>& applications) {
    std::vector<pid_t> pids;
    for (const auto& application : applications) {
        pids.push_back(dynamic_cast<const LinuxRunningApplication&>(*application).pid());
    }
    return pids;
}

std::shared_ptr<RunningApplication> applicationWithPid(const std::string& identifier, pid_t pid) {
    for (auto& application : runningApplicationsWithIdentifier(identifier)) {
        if (dynamic_cast<const LinuxRunningApplication&>(*application).pid() == pid) return application;
    }
    return nullptr;
}

// Every bundle identifier in a test is unique, so processes of other tests never match.
std::string uniqueIdentifier(const std::string& name) {
    return "test.korvane." + name + "." + std::to_string(::getpid());
}

TEST(BundleLayout, OnlyAProgramDirectlyInContentsMacOSOfADotAppFolder) {
    struct Case {
        const char* executable;
        std::optional<fs::path> bundle;
    };
    const Case cases[] = {
        {"/opt/k/KORVANE.app/Contents/MacOS/KORVANE", fs::path("/opt/k/KORVANE.app")},
        {"/a/KORVANE.app/Contents/Helpers/KORVANE Routing.app/Contents/MacOS/KORVANE Routing",
         fs::path("/a/KORVANE.app/Contents/Helpers/KORVANE Routing.app")},
        {"/KORVANE.app/Contents/MacOS/x", fs::path("/KORVANE.app")},
        {"/opt/k/KORVANE.app/Contents/MacOS/sub/KORVANE", std::nullopt},
        {"/opt/k/KORVANE.app/Contents/MacOS/", std::nullopt},
        {"/opt/k/KORVANE/Contents/MacOS/KORVANE", std::nullopt},
        {"/opt/k/.app/Contents/MacOS/KORVANE", std::nullopt},
        {"/opt/k/KORVANE.app/contents/MacOS/KORVANE", std::nullopt},
        {"/usr/bin/korvane", std::nullopt},
        {"Contents/MacOS/KORVANE", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(bundle::bundleOfExecutable(c.executable), c.bundle) << c.executable;
}

TEST(BundleInfo, KeepsTextValuesAndRefusesHostileFiles) {
    korvane::test::TestEnvironment environment;
    const fs::path bundle = environment.root() / "B.app";
    const fs::path info = bundle / "Contents" / "Info.json";
    fs::create_directories(info.parent_path());
    const std::string padding(bundle::kMaximumInfoBytes, ' ');
    struct Case {
        const char* name;
        std::function<void()> make;
        std::optional<BundleInfo> expected;
    };
    const Case cases[] = {
        {"plain", [&] { writeFile(info, R"({"CFBundleIdentifier": "a.b", "CFBundleVersion": "7"})"); },
         BundleInfo{{"CFBundleIdentifier", "a.b"}, {"CFBundleVersion", "7"}}},
        {"non-text values dropped",
         [&] { writeFile(info, R"({"a": 1, "b": true, "c": null, "d": ["x"], "e": {"f": "g"}, "h": "", "i": "ü"})"); },
         BundleInfo{{"h", ""}, {"i", "ü"}}},
        {"missing", [&] { fs::remove(info); }, std::nullopt},
        {"not JSON", [&] { writeFile(info, R"({"CFBundleIdentifier": "a.b")"); }, std::nullopt},
        {"not an object", [&] { writeFile(info, R"(["CFBundleIdentifier", "a.b"])"); }, std::nullopt},
        {"invalid UTF-8", [&] { writeFile(info, "{\"a\": \"\xff\"}"); }, std::nullopt},
        {"exactly the limit", [&] { writeFile(info, "{}" + padding.substr(2)); }, BundleInfo{}},
        {"one byte over the limit", [&] { writeFile(info, "{}" + padding.substr(1)); }, std::nullopt},
        {"a link to a good file",
         [&] {
             writeFile(environment.root() / "elsewhere.json", R"({"CFBundleIdentifier": "a.b"})");
             fs::remove(info);
             fs::create_symlink(environment.root() / "elsewhere.json", info);
         },
         std::nullopt},
        {"a directory",
         [&] {
             fs::remove(info);
             fs::create_directory(info);
         },
         std::nullopt},
        {"a FIFO does not hang the reader",
         [&] {
             fs::remove(info);
             ASSERT_EQ(::mkfifo(info.c_str(), 0600), 0);
         },
         std::nullopt},
    };
    for (const auto& c : cases) {
        c.make();
        EXPECT_EQ(bundle::readBundleInfo(bundle), c.expected) << c.name;
    }
}

TEST(BundleExecutable, NamedProgramOrTheOnlyOneNeverOutsideTheBundle) {
    korvane::test::TestEnvironment environment;
    const fs::path bundle = environment.root() / "B.app";
    const fs::path macOS = bundle / "Contents" / "MacOS";
    fs::create_directories(macOS);
    struct Case {
        const char* name;
        std::optional<std::string> info;
        std::vector<std::string> programs;
        std::optional<fs::path> expected;
    };
    const Case cases[] = {
        {"named", R"({"CFBundleExecutable": "Run"})", {"Run", "Other"}, macOS / "Run"},
        {"named but absent: still that path", R"({"CFBundleExecutable": "Run"})", {}, macOS / "Run"},
        {"no key, one program", R"({"CFBundleIdentifier": "x"})", {"Only"}, macOS / "Only"},
        {"no Info.json, one program", std::nullopt, {"Only"}, macOS / "Only"},
        {"no key, two programs", R"({})", {"One", "Two"}, std::nullopt},
        {"no key, no program", R"({})", {}, std::nullopt},
        {"a path out of the bundle", R"({"CFBundleExecutable": "../../../bin/sh"})", {"Only"}, std::nullopt},
        {"an absolute path", R"({"CFBundleExecutable": "/bin/sh"})", {"Only"}, std::nullopt},
        {"dot dot", R"({"CFBundleExecutable": ".."})", {"Only"}, std::nullopt},
        {"empty", R"({"CFBundleExecutable": ""})", {"Only"}, std::nullopt},
        {"not text: the only program", R"({"CFBundleExecutable": 5})", {"Only"}, macOS / "Only"},
    };
    for (const auto& c : cases) {
        fs::remove_all(macOS);
        fs::create_directories(macOS);
        fs::remove(bundle / "Contents" / "Info.json");
        if (c.info) writeFile(bundle / "Contents" / "Info.json", *c.info);
        for (const auto& program : c.programs) writeFile(macOS / program, "");
        EXPECT_EQ(bundle::bundleExecutable(bundle), c.expected) << c.name;
    }
}

TEST(OperatingSystemVersion, OneTidyLineFromOsReleaseAndTheKernel) {
    struct Case {
        const char* osRelease;
        const char* expected;
    };
    const std::string longName(300, 'x');
    const Case cases[] = {
        {"NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nVERSION_ID=\"12\"\n",
         "Debian GNU/Linux 12 (bookworm) · Linux 6.1.0-18-amd64 x86_64"},
        {"PRETTY_NAME='Single quoted'\n", "Single quoted · Linux 6.1.0-18-amd64 x86_64"},
        {"PRETTY_NAME=Bare\r\n", "Bare · Linux 6.1.0-18-amd64 x86_64"},
        {"PRETTY_NAME=\"Say \\\"hi\\\"\"\n", "Say \"hi\" · Linux 6.1.0-18-amd64 x86_64"},
        {"NAME=Arch\nVERSION=rolling\n", "Arch rolling · Linux 6.1.0-18-amd64 x86_64"},
        {"NAME=Arch\n", "Arch · Linux 6.1.0-18-amd64 x86_64"},
        {"XPRETTY_NAME=\"No\"\nPRETTY_NAMES=\"No\"\n", "Linux · Linux 6.1.0-18-amd64 x86_64"},
        {"", "Linux · Linux 6.1.0-18-amd64 x86_64"},
        {"PRETTY_NAME=\"Tab\there\x1b[31m\"\n", "Tabhere[31m · Linux 6.1.0-18-amd64 x86_64"},
        {"PRETTY_NAME=\"\"\nNAME=Fallback\n", "Fallback · Linux 6.1.0-18-amd64 x86_64"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describeOperatingSystem(c.osRelease, "Linux", "6.1.0-18-amd64", "x86_64"), c.expected) << c.osRelease;
    }
    const std::string long120 = std::string(120, 'x');
    EXPECT_EQ(describeOperatingSystem("PRETTY_NAME=" + longName, "", "", ""), long120 + "…");
    // A cut never splits a UTF-8 sequence.
    const std::string cut = describeOperatingSystem("PRETTY_NAME=x" + std::string(118, 'a') + "ää", "", "", "");
    EXPECT_EQ(cut, "x" + std::string(118, 'a') + "…");
    EXPECT_EQ(describeOperatingSystem("", "", "", ""), "Linux");
}

TEST(OperatingSystemVersion, TheRealSystemGivesOneLine) {
    const std::string text = LinuxApplicationServices().operatingSystemVersion();
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_NE(text.find(" · Linux "), std::string::npos) << text;
}

TEST(MainBundle, FoundFromTheResolvedExecutable) {
    korvane::test::TestEnvironment environment;
    const auto app = makeBundle(environment.root() / "lib", "KORVANE", "KORVANE", infoJson("audio.ravlin.korvane", "KORVANE"));
    const fs::path realBundle = fs::canonical(app.location);
    fs::create_directories(environment.root() / "bin");
    fs::create_symlink(app.executable, environment.root() / "bin" / "korvane");
    fs::create_directory_symlink(environment.root() / "lib", environment.root() / "linked-lib");
    const fs::path loose = environment.root() / "loose-probe";
    fs::copy_file(korvane::test::applicationProbe(), loose);

    struct Case {
        const char* name;
        fs::path started;
        nlohmann::json bundle;
        nlohmann::json info;
    };
    const nlohmann::json info = {{"CFBundleIdentifier", "audio.ravlin.korvane"},
                                 {"CFBundleExecutable", "KORVANE"},
                                 {"CFBundleShortVersionString", "1.2.3"},
                                 {"CFBundleVersion", "42"}};
    const Case cases[] = {
        {"the bundle's program", app.executable, realBundle.string(), info},
        {"a link to it in bin/", environment.root() / "bin" / "korvane", realBundle.string(), info},
        {"through a linked folder", environment.root() / "linked-lib" / "KORVANE.app" / "Contents" / "MacOS" / "KORVANE",
         realBundle.string(), info},
        {"outside any bundle", loose, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        ChildProcess probe(c.started, {"describe"}, false);
        const auto out = nlohmann::json::parse(probe.readAllAndReap(), nullptr, false);
        EXPECT_EQ(out["bundle"], c.bundle) << c.name;
        EXPECT_EQ(out["info"], c.info) << c.name;
    }
}

TEST(RunningApplications, FoundByIdentifierWithTheirBundles) {
    korvane::test::TestEnvironment environment;
    const std::string routerId = uniqueIdentifier("router");
    const std::string otherId = uniqueIdentifier("other");
    const auto router = makeBundle(environment.root(), "KORVANE Routing", "KORVANE Routing", infoJson(routerId, "KORVANE Routing"));
    const auto copy = makeBundle(environment.root() / "copy", "KORVANE Routing", "KORVANE Routing", infoJson(routerId, "KORVANE Routing"));
    const auto other = makeBundle(environment.root(), "Other", "Other", infoJson(otherId, "Other"));
    // Carries the identifier only through a link, which is refused.
    const auto linked = makeBundle(environment.root(), "Linked", "Linked", std::nullopt);
    fs::create_symlink(router.location / "Contents" / "Info.json", linked.location / "Contents" / "Info.json");
    // The probe in a sub-folder of MacOS is not the bundle's program.
    fs::create_directories(router.location / "Contents" / "MacOS" / "sub");
    fs::copy_file(router.executable, router.location / "Contents" / "MacOS" / "sub" / "nested");

    ChildProcess first(router.executable, {});
    ChildProcess second(router.executable, {});
    ChildProcess fromCopy(copy.executable, {});
    ChildProcess fromOther(other.executable, {});
    ChildProcess fromLinked(linked.executable, {});
    ChildProcess nested(router.location / "Contents" / "MacOS" / "sub" / "nested", {});

    const auto routers = runningApplicationsWithIdentifier(routerId);
    EXPECT_EQ(pidsOf(routers), (std::vector<pid_t>{first.pid(), second.pid(), fromCopy.pid()}));
    const fs::path real = fs::canonical(router.location);
    EXPECT_EQ(routers.at(0)->bundleLocation(), real);
    EXPECT_EQ(routers.at(1)->bundleLocation(), real);
    EXPECT_EQ(routers.at(2)->bundleLocation(), fs::canonical(copy.location));
    EXPECT_EQ(pidsOf(runningApplicationsWithIdentifier(otherId)), std::vector<pid_t>{fromOther.pid()});
    EXPECT_TRUE(runningApplicationsWithIdentifier(uniqueIdentifier("nobody")).empty());
    EXPECT_TRUE(runningApplicationsWithIdentifier("").empty());
    for (const auto& application : routers) EXPECT_FALSE(application->isTerminated());
}

TEST(RunningApplications, AProgramDeletedWhileRunningIsStillFound) {
    korvane::test::TestEnvironment environment;
    const std::string id = uniqueIdentifier("deleted");
    const auto app = makeBundle(environment.root(), "Deleted", "Deleted", infoJson(id, "Deleted"));
    ChildProcess running(app.executable, {});
    // An update replaces the program under the running process.
    fs::remove(app.executable);
    EXPECT_EQ(pidsOf(runningApplicationsWithIdentifier(id)), std::vector<pid_t>{running.pid()});
    // A file really called "... (deleted)" keeps its name.
    const auto odd = makeBundle(environment.root(), "Odd", "Odd (deleted)", infoJson(id, "Odd (deleted)"));
    ChildProcess oddRunning(odd.executable, {});
    EXPECT_EQ(processExecutable(oddRunning.pid()), odd.executable);
}

TEST(RunningApplications, AnotherUsersProcessIsNotListed) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
    korvane::test::TestEnvironment environment;
    const std::string id = uniqueIdentifier("user");
    const auto app = makeBundle(environment.root(), "User", "User", infoJson(id, "User"));
    ChildProcess mine(app.executable, {});
    ChildProcess theirs(app.executable, {"--uid", "65534"});
    EXPECT_EQ(pidsOf(runningApplicationsWithIdentifier(id)), std::vector<pid_t>{mine.pid()});
}

TEST(RunningApplications, TerminateAsksPolitelyAndTheTerminatedStateFollows) {
    korvane::test::TestEnvironment environment;
    const std::string id = uniqueIdentifier("terminate");
    const auto app = makeBundle(environment.root(), "T", "T", infoJson(id, "T"));
    ChildProcess quits(app.executable, {});
    ChildProcess quitsLater(app.executable, {"--term-delay-ms", "300"});
    ChildProcess refuses(app.executable, {"--ignore-term"});
    auto applications = runningApplicationsWithIdentifier(id);
    ASSERT_EQ(pidsOf(applications), (std::vector<pid_t>{quits.pid(), quitsLater.pid(), refuses.pid()}));
    for (auto& application : applications) application->terminate();
    // Ended but not yet reaped by its parent (this test) counts as terminated.
    EXPECT_TRUE(waitUntil([&] { return applications[0]->isTerminated(); }));
    EXPECT_TRUE(waitUntil([&] { return applications[1]->isTerminated(); }));
    EXPECT_EQ(WTERMSIG(quits.reap()), SIGTERM);
    EXPECT_TRUE(WIFEXITED(quitsLater.reap()));
    EXPECT_TRUE(applications[0]->isTerminated());
    EXPECT_FALSE(applications[2]->isTerminated());
    // A second request to an ended process is harmless.
    applications[0]->terminate();
    EXPECT_EQ(pidsOf(runningApplicationsWithIdentifier(id)), std::vector<pid_t>{refuses.pid()});
}

// Starts `program` as a child with exactly the process id `pid` (needs privilege); -1 when the
// id is taken or the kernel refuses.
pid_t startWithPid(const fs::path& program, pid_t pid) {
    std::string path = program.string();
    char* const argv[] = {path.data(), nullptr};
    pid_t wanted = pid;
    clone_args arguments{};
    arguments.exit_signal = SIGCHLD;
    arguments.set_tid = reinterpret_cast<std::uint64_t>(&wanted);
    arguments.set_tid_size = 1;
    const long child = ::syscall(SYS_clone3, &arguments, sizeof arguments);
    if (child == 0) {
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    return pid_t(child);
}

TEST(RunningApplications, ATerminatedApplicationStaysTerminatedWhenItsIdIsReused) {
    korvane::test::TestEnvironment environment;
    const std::string id = uniqueIdentifier("reuse");
    const auto app = makeBundle(environment.root(), "Reuse", "Reuse", infoJson(id, "Reuse"));
    pid_t pid;
    std::shared_ptr<RunningApplication> old;
    {
        ChildProcess first(app.executable, {});
        pid = first.pid();
        old = applicationWithPid(id, pid);
        ASSERT_TRUE(old);
        ::kill(pid, SIGKILL);
        first.reap();
    }
    ASSERT_TRUE(old->isTerminated());
    // The same program again, under the same id.
    const pid_t again = startWithPid(app.executable, pid);
    if (again < 0) GTEST_SKIP() << "cannot choose a process id here: " << std::strerror(errno);
    ASSERT_EQ(again, pid);
    ASSERT_TRUE(waitUntil([&] { return applicationWithPid(id, pid) != nullptr; }));
    EXPECT_TRUE(old->isTerminated());
    old->terminate();
    // The new process got no signal: it is still there to be found, and ends only by SIGKILL here.
    EXPECT_TRUE(applicationWithPid(id, pid));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

struct LaunchResult {
    std::optional<std::string> error;
    std::thread::id thread;
    int calls = 0;
};

// Launches `bundle` and waits for the completion; fails loudly after 10 s.
LaunchResult launch(const fs::path& bundle) {
    auto result = std::make_shared<LaunchResult>();
    auto done = std::make_shared<std::promise<void>>();
    LinuxApplicationServices().openApplication(bundle, [result, done](std::optional<std::string> error) {
        result->error = std::move(error);
        result->thread = std::this_thread::get_id();
        if (++result->calls == 1) done->set_value();
    });
    EXPECT_EQ(done->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready) << bundle;
    // A second call would arrive soon after the first; none may.
    return *result;
}

bool hasChildren() {
    errno = 0;
    return !(::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD);
}

TEST(OpenApplication, StartsADetachedProcessThatLeavesNoZombie) {
    korvane::test::TestEnvironment environment;
    const std::string id = uniqueIdentifier("launch");
    const auto app = makeBundle(environment.root(), "Launch", "Launch", infoJson(id, "Launch"));
    const fs::path report = environment.root() / "report.json";
    environment.set("KORVANE_PROBE_REPORT", report.string());
    // What a launch must not pass on: a blocked and an ignored signal, an open descriptor.
    sigset_t blocked;
    ::sigemptyset(&blocked);
    ::sigaddset(&blocked, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    const auto previousPipe = ::signal(SIGPIPE, SIG_IGN);
    const int inherited = ::open("/dev/zero", O_RDONLY);  // without close-on-exec

    const auto result = launch(app.location);
    ::close(inherited);
    ::signal(SIGPIPE, previousPipe);
    ::pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);

    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_EQ(result.calls, 1);
    EXPECT_NE(result.thread, std::this_thread::get_id());
    EXPECT_FALSE(hasChildren());

    ASSERT_TRUE(waitUntil([&] { return fs::exists(report); }));
    std::ifstream in(report);
    const auto started = nlohmann::json::parse(in);
    EXPECT_NE(started["ppid"], ::getpid());
    EXPECT_NE(started["sid"], ::getsid(0));
    EXPECT_NE(started["sid"], started["pid"]) << "a session leader could acquire a terminal";
    EXPECT_EQ(started["streams"], nlohmann::json({"/dev/null", "/dev/null", "/dev/null"}));
    EXPECT_EQ(started["otherDescriptors"].size(), 1u) << started["otherDescriptors"] << " (one is the listing's own)";
    EXPECT_EQ(started["cwd"], "/");
    EXPECT_EQ(started["blockedSignals"], 0);
    EXPECT_EQ(started["ignoredSignals"], 0);

    auto running = applicationWithPid(id, started["pid"].get<pid_t>());
    ASSERT_TRUE(running);
    EXPECT_EQ(running->bundleLocation(), fs::canonical(app.location));
    running->terminate();
    EXPECT_TRUE(waitUntil([&] { return running->isTerminated(); }));
}

TEST(OpenApplication, SeveralLaunchesAtOnceEachCompleteOnce) {
    korvane::test::TestEnvironment environment;
    const std::string id = uniqueIdentifier("many");
    const auto app = makeBundle(environment.root(), "Many", "Many", infoJson(id, "Many"));
    std::vector<std::future<LaunchResult>> launches;
    for (int i = 0; i < 4; ++i) launches.push_back(std::async(std::launch::async, [&] { return launch(app.location); }));
    for (auto& result : launches) EXPECT_EQ(result.get().error, std::nullopt);
    EXPECT_FALSE(hasChildren());
    ASSERT_TRUE(waitUntil([&] { return runningApplicationsWithIdentifier(id).size() == 4; }));
    for (auto& running : runningApplicationsWithIdentifier(id)) {
        running->terminate();
        EXPECT_TRUE(waitUntil([&] { return running->isTerminated(); }));
    }
}

TEST(OpenApplication, AProgramThatCannotStartIsReportedOnAnotherThread) {
    korvane::test::TestEnvironment environment;
    const fs::path root = environment.root();
    struct Case {
        const char* name;
        std::function<fs::path()> make;
        std::string error;
    };
    const Case cases[] = {
        {"no bundle", [&] { return root / "Absent.app"; }, "No such file or directory"},
        {"named program missing",
         [&] {
             const auto app = makeBundle(root, "Missing", "Present", infoJson("x", "Absent"));
             return app.location;
         },
         "No such file or directory"},
        {"not executable",
         [&] {
             const auto app = makeBundle(root, "Plain", "Plain", infoJson("x", "Plain"));
             fs::permissions(app.executable, fs::perms::owner_read | fs::perms::owner_write);
             return app.location;
         },
         "Permission denied"},
        {"a directory as program",
         [&] {
             const auto app = makeBundle(root, "Folder", "Folder", infoJson("x", "Sub"));
             fs::create_directory(app.location / "Contents" / "MacOS" / "Sub");
             return app.location;
         },
         "Permission denied"},
        {"not a program at all",
         [&] {
             const auto app = makeBundle(root, "Text", "Text", infoJson("x", "Text"));
             writeFile(app.executable, "just words\n");
             return app.location;
         },
         "Exec format error"},
        {"a script whose interpreter is missing",
         [&] {
             const auto app = makeBundle(root, "Script", "Script", infoJson("x", "Script"));
             writeFile(app.executable, "#!/nonexistent/interpreter\n");
             return app.location;
         },
         "No such file or directory"},
        {"no program named and two present",
         [&] {
             const auto app = makeBundle(root, "Two", "One", R"({"CFBundleIdentifier": "x"})");
             fs::copy_file(app.executable, app.location / "Contents" / "MacOS" / "Two");
             return app.location;
         },
         "The application bundle names no program to start."},
    };
    for (const auto& c : cases) {
        const auto result = launch(c.make());
        EXPECT_EQ(result.error, c.error) << c.name;
        EXPECT_EQ(result.calls, 1) << c.name;
        EXPECT_NE(result.thread, std::this_thread::get_id()) << c.name;
        EXPECT_FALSE(hasChildren()) << c.name;
    }
}

}  // namespace
}  // namespace platform
