// One panel per user: later launches hand over to the running one and exit 0; leftovers of a
// panel that died do not block the next; two launches at once end with one panel; a folder or a
// peer that is not the user's own is refused.
#include "panel/app/single_instance.h"
#include "panel/app/termination_signals.h"
#include "tests/app/app_test_support.h"
#include "tests/support/bundle_fixture.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <QLocalSocket>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace korvane::test {
namespace {

namespace fs = std::filesystem;

fs::path probe() { return KORVANE_SINGLE_INSTANCE_PROBE; }

bool ended(ChildProcess& process, int& status) {
    return ::waitpid(process.pid(), &status, WNOHANG) == process.pid();
}

class SingleInstanceTest : public ::testing::Test {
protected:
    fs::path folder() const { return app::singleInstanceFolder(); }

    TestEnvironment environment;
    EventLoop loop;
};

TEST_F(SingleInstanceTest, ALaterLaunchHandsOverAndExitsZero) {
    app::SingleInstance running;
    ASSERT_EQ(running.claim(), app::SingleInstance::Outcome::primary);
    EXPECT_EQ(running.error(), "");
    int reopens = 0;
    QObject::connect(&running, &app::SingleInstance::reopenRequested, [&] { ++reopens; });

    for (int launch = 1; launch <= 2; ++launch) {
        ChildProcess later(probe(), {}, false);
        int status = -1;
        ASSERT_TRUE(loop.runUntil([&] { return ended(later, status); }, "the later launch to end"));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_TRUE(loop.runUntil([&] { return reopens == launch; }, "the reopen"));
    }

    struct stat status {};
    ASSERT_EQ(::lstat(folder().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(folder().parent_path(), environment.runtimeDirectory());
}

TEST_F(SingleInstanceTest, LeftoversOfAPanelThatDiedDoNotBlockTheNext) {
    {
        ChildProcess first(probe(), {});
        ::kill(first.pid(), SIGKILL);  // no chance to remove its socket
        first.reap();
    }
    ASSERT_TRUE(fs::exists(folder() / "panel.socket"));
    ChildProcess next(probe(), {});  // became ready: it holds the lock and listens
    QLocalSocket peer;
    peer.connectToServer(QString::fromStdString((folder() / "panel.socket").string()));
    ASSERT_TRUE(peer.waitForConnected(5000)) << "the new panel does not listen on the old socket's path";
    peer.write("reopen\n");
    QByteArray answer;
    ASSERT_TRUE(loop.runUntil(
        [&] {
            answer += peer.readAll();
            return peer.state() == QLocalSocket::UnconnectedState;
        },
        "the answer"));
    EXPECT_EQ(answer, "ok\n");
    ::kill(next.pid(), SIGTERM);
    EXPECT_EQ(next.readAllAndReap(), "reopen\n");
}

TEST_F(SingleInstanceTest, TwoLaunchesAtOnceEndWithOnePanel) {
    ChildProcess one(probe(), {}, false), two(probe(), {}, false);
    int status = -1;
    ChildProcess* handedOver = nullptr;
    ChildProcess* primary = nullptr;
    ASSERT_TRUE(loop.runUntil(
        [&] {
            if (ended(one, status)) handedOver = &one, primary = &two;
            else if (ended(two, status)) handedOver = &two, primary = &one;
            return handedOver != nullptr;
        },
        "one launch to hand over"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::kill(primary->pid(), SIGTERM);
    const std::string output = primary->readAllAndReap();
    EXPECT_EQ(output, "primary\nready\nreopen\n");
}

// What a peer sends decides whether the panel reopens; anything else is dropped.
TEST_F(SingleInstanceTest, OnlyTheReopenRequestReopens) {
    app::SingleInstance running;
    ASSERT_EQ(running.claim(), app::SingleInstance::Outcome::primary);
    int reopens = 0;
    QObject::connect(&running, &app::SingleInstance::reopenRequested, [&] { ++reopens; });
    struct Case {
        const char* name;
        QByteArray bytes;
        bool answered;
    };
    const Case cases[] = {
        {"garbage", "quit\n", false},
        {"a request without its line end", "reopen", false},
        {"far too much", QByteArray(100000, 'x'), false},
        {"the request", "reopen\n", true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const int before = reopens;
        QLocalSocket peer;
        peer.connectToServer(QString::fromStdString((folder() / "panel.socket").string()));
        ASSERT_TRUE(loop.runUntil([&] { return peer.state() == QLocalSocket::ConnectedState; }, "the connection"));
        peer.write(test.bytes);
        QByteArray answer;
        ASSERT_TRUE(loop.runUntil(
            [&] {
                answer += peer.readAll();
                return peer.state() == QLocalSocket::UnconnectedState;
            },
            "the panel to close the connection"));
        EXPECT_EQ(answer, test.answered ? QByteArray("ok\n") : QByteArray());
        EXPECT_EQ(reopens, before + (test.answered ? 1 : 0));
    }
}

TEST_F(SingleInstanceTest, AFolderThatIsNotPrivateIsMadeSoOrRefused) {
    struct Case {
        const char* name;
        std::function<void()> prepare;
        bool listening;
    };
    const fs::path elsewhere = environment.root() / "elsewhere";
    const Case cases[] = {
        {"readable by others", [&] { fs::create_directory(folder()); ::chmod(folder().c_str(), 0755); }, true},
        {"a link to another folder",
         [&] {
             fs::create_directory(elsewhere);
             fs::create_directory_symlink(elsewhere, folder());
         },
         false},
        {"a file", [&] { writeFile(folder(), "x"); }, false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        test.prepare();
        {
            app::SingleInstance instance;
            EXPECT_EQ(instance.claim(), app::SingleInstance::Outcome::primary);
            EXPECT_EQ(instance.error().empty(), test.listening) << instance.error();
            EXPECT_EQ(fs::exists(fs::symlink_status(folder() / "panel.socket")), test.listening);
            if (test.listening) {
                struct stat status {};
                ::lstat(folder().c_str(), &status);
                EXPECT_EQ(status.st_mode & 0777, 0700u);
            }
        }
        EXPECT_FALSE(fs::exists(elsewhere / "panel.lock")) << "nothing is created through the link";
        fs::remove_all(folder());
        fs::remove_all(elsewhere);
    }
}

TEST(TerminationSignalsTest, SignalsBecomeRequestsOnTheEventLoop) {
    EventLoop loop;
    app::TerminationSignals terminationSignals;
    int requests = 0;
    QObject::connect(&terminationSignals, &app::TerminationSignals::terminationRequested, [&] { ++requests; });
    ::raise(SIGTERM);
    EXPECT_EQ(requests, 0) << "nothing runs inside the handler";
    ASSERT_TRUE(loop.runUntil([&] { return requests == 1; }, "the SIGTERM request"));
    ::raise(SIGINT);
    ASSERT_TRUE(loop.runUntil([&] { return requests == 2; }, "the SIGINT request"));
}

}  // namespace
}  // namespace korvane::test
