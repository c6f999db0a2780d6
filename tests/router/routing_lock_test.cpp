// The per-user lock directory and lock files, against what another local user could leave in a
// shared temporary directory.
#include "router/engine/routing_lock.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvane::engine {
namespace {

namespace fs = std::filesystem;

struct stat statOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

LockFile::Outcome tryLock(const char* name = kRoutingLockName) {
    std::error_code error;
    LockFile::Outcome outcome;
    LockFile::acquire(name, error, outcome);
    return outcome;
}

bool runningAsRoot() { return ::geteuid() == 0; }

TEST(RoutingLock, APrivateRuntimeDirectoryHoldsTheLocksItself) {
    test::TestEnvironment environment;
    EXPECT_EQ(tryLock(), LockFile::Outcome::acquired);
    const auto info = statOf(environment.runtimeDirectory() / kRoutingLockName);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A temporary directory that every user may write in (as /tmp), and no runtime directory.
class SharedTemporaryDirectory : public ::testing::Test {
public:
    SharedTemporaryDirectory() {
        fs::create_directory(shared);
        ::chmod(shared.c_str(), 01777);
        environment.set("TMPDIR", shared.string());
        ::unsetenv("XDG_RUNTIME_DIR");  // the environment puts it back
    }
    test::TestEnvironment environment;
    const fs::path shared = environment.root() / "tmp";
    const fs::path own = shared / ("korvane-" + std::to_string(::getuid()));
};

TEST_F(SharedTemporaryDirectory, TheLocksGoIntoAPrivateSubdirectory) {
    const mode_t before = ::umask(0777);  // no umask narrows or widens the directory's mode
    const auto outcome = tryLock();
    ::umask(before);
    EXPECT_EQ(outcome, LockFile::Outcome::acquired);
    const auto info = statOf(own);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, ::getuid());
    EXPECT_TRUE(fs::exists(own / kRoutingLockName));
    EXPECT_FALSE(fs::exists(shared / kRoutingLockName));
}

TEST_F(SharedTemporaryDirectory, ALockFilePlantedByAnotherUserBlocksNothing) {
    if (!runningAsRoot()) GTEST_SKIP() << "planting a file of another user needs root";
    for (const char* name : {kRoutingLockName, kInstanceLockName}) {
        test::writeFile(shared / name, "");
        ASSERT_EQ(::chown((shared / name).c_str(), 65534, 65534), 0);
        EXPECT_EQ(tryLock(name), LockFile::Outcome::acquired) << name;
    }
}

TEST_F(SharedTemporaryDirectory, ASubdirectoryPreparedByAnotherHandIsRefused) {
    const fs::path elsewhere = environment.root() / "elsewhere";
    struct Case {
        const char* name;
        std::function<bool()> prepare;  // false: cannot be arranged here
    };
    const Case cases[] = {
        {"a link to a directory of ours",
         [&] {
             fs::create_directory(elsewhere);
             ::chmod(elsewhere.c_str(), 0700);
             fs::create_directory_symlink(elsewhere, own);
             return true;
         }},
        {"a file", [&] { return test::writeFile(own, ""), true; }},
        {"open to others", [&] { return fs::create_directory(own) && ::chmod(own.c_str(), 0755) == 0; }},
        {"another user's",
         [&] { return runningAsRoot() && fs::create_directory(own) && ::chown(own.c_str(), 65534, 65534) == 0; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(own);
        fs::remove_all(elsewhere);
        if (!c.prepare()) {
            std::printf("skipped \"%s\": needs root\n", c.name);
            continue;
        }
        std::error_code error;
        EXPECT_EQ(openLockDirectory(error), -1);
        EXPECT_TRUE(error);
        EXPECT_EQ(tryLock(), LockFile::Outcome::failed);
        EXPECT_FALSE(fs::exists(elsewhere / kRoutingLockName));
    }
}

TEST(RoutingLock, OneHolderAtATimeAcrossProcesses) {
    test::TestEnvironment environment;
    std::error_code error;
    LockFile::Outcome outcome;
    LockFile held = LockFile::acquire(kInstanceLockName, error, outcome);
    ASSERT_EQ(outcome, LockFile::Outcome::acquired);
    // Another open of the same file is another holder, whether in this process or in another.
    EXPECT_EQ(tryLock(kInstanceLockName), LockFile::Outcome::held);
    const pid_t child = ::fork();
    if (child == 0) ::_exit(tryLock(kInstanceLockName) == LockFile::Outcome::held ? 0 : 1);
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The two locks are independent.
    EXPECT_EQ(tryLock(kRoutingLockName), LockFile::Outcome::acquired);
    held.release();
    EXPECT_FALSE(held.held());
    EXPECT_EQ(tryLock(kInstanceLockName), LockFile::Outcome::acquired);
}

}  // namespace
}  // namespace korvane::engine
