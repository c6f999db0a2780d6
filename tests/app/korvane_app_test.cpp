// The application offscreen: the close button, "Quit KORVANE" and a later launch reach the
// delegate; a window closed while the helper is still closing stays until the quit is granted.
#include "panel/app/korvane_app.h"
#include "panel/app/main_window.h"
#include "panel/audio_model.h"
#include "panel/views/settings_panel.h"
#include "shared/routing_files.h"
#include "tests/app/app_test_support.h"
#include "tests/support/bundle_fixture.h"
#include "tests/support/fake_audio_queue.h"
#include "tests/support/model_fixture.h"
#include "tests/support/test_environment.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QPushButton>
#include <QTimer>

namespace korvane::test {
namespace {

namespace fs = std::filesystem;

class KorvaneAppTest : public ::testing::Test {
protected:
    KorvaneAppTest() : panelBundle(environment.root() / "KORVANE.app"), services(panelBundle) {
        environment.set("XDG_CONFIG_HOME", (environment.root() / "config").string());
        environment.set("QT_QPA_PLATFORM", "offscreen");
        application = std::make_unique<QApplication>(test::applicationArgumentCount(), test::applicationArguments());
        app = std::make_unique<app::KORVANEApp>(services, queues);
        app->start();
    }
    ~KorvaneAppTest() override {
        app.reset();
        application.reset();
    }

    // The helper inside the panel's bundle, leaving `delayMs` after SIGTERM.
    std::unique_ptr<ChildProcess> startHelper(int delayMs) {
        const TestBundle bundle = makeBundle(panelBundle / "Contents" / "Helpers", "KORVANE Routing", "KORVANE Routing",
                                             infoJson("audio.ravlin.router", "KORVANE Routing"));
        return std::make_unique<ChildProcess>(bundle.executable,
                                              std::vector<std::string>{"--term-delay-ms", std::to_string(delayMs)});
    }

    // Runs the application's event loop until it is asked to quit; false when that takes 20 s.
    bool runUntilQuit(const std::function<void()>& first) {
        QTimer::singleShot(0, application.get(), first);
        bool timedOut = false;
        QTimer::singleShot(std::chrono::seconds(20), application.get(), [&] {
            timedOut = true;
            QCoreApplication::exit(1);
        });
        return QApplication::exec() == 0 && !timedOut;
    }

    QAction* menuAction(const QString& text) {
        for (QAction* action : app->mainWindow()->findChildren<QAction*>())
            if (action->text() == text) return action;
        return nullptr;
    }

    TestEnvironment environment;
    ModelSetup modelSetup;
    fs::path panelBundle;
    BundledServices services;
    RecordingQueueService queues;
    std::unique_ptr<QApplication> application;
    std::unique_ptr<app::KORVANEApp> app;
};

TEST_F(KorvaneAppTest, TheMainWindowOpensAtItsDefaultSizeWithTheApplicationMenu) {
    ASSERT_TRUE(app->mainWindow()->isVisible());
    EXPECT_EQ(app->mainWindow()->size(), QSize(1040, 860));
    EXPECT_GE(app->mainWindow()->minimumSizeHint().width(), 760);
    ASSERT_TRUE(menuAction("Settings…"));
    ASSERT_TRUE(menuAction("Quit KORVANE"));
    EXPECT_EQ(menuAction("Quit KORVANE")->shortcut(), QKeySequence("Ctrl+Q"));
}

TEST_F(KorvaneAppTest, ClosingTheWindowWhileTheHelperClosesKeepsItUntilTheQuitIsGranted) {
    auto helper = startHelper(300);
    bool closedAtOnce = true;
    bool visibleWhileWaiting = false;
    ASSERT_TRUE(runUntilQuit([&] {
        closedAtOnce = app->mainWindow()->close();
        visibleWhileWaiting = app->mainWindow()->isVisible();
        EXPECT_EQ(app->delegate().quitState(), app::QuitState::waiting);
        EXPECT_FALSE(app->mainWindow()->close()) << "a second close is a refused second quit";
    }));
    EXPECT_FALSE(closedAtOnce);
    EXPECT_TRUE(visibleWhileWaiting);
    EXPECT_EQ(app->delegate().quitState(), app::QuitState::ready);
    const auto request = RoutingFiles::readChoice();
    ASSERT_TRUE(request);
    EXPECT_FALSE(request->enabled);
}

TEST_F(KorvaneAppTest, QuitKorvaneWithoutHelperEndsAtOnce) {
    ASSERT_TRUE(runUntilQuit([&] { menuAction("Quit KORVANE")->trigger(); }));
    EXPECT_TRUE(app->audio().isQuitting());
}

TEST_F(KorvaneAppTest, ClosingTheSettingsWindowWhileTheMainWindowIsOpenOnlyHidesIt) {
    menuAction("Settings…")->trigger();
    QWidget* settings = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == "KORVANESettingsWindow") settings = widget;
    ASSERT_TRUE(settings);
    ASSERT_TRUE(settings->isVisible());
    EXPECT_TRUE(settings->close());
    EXPECT_FALSE(settings->isVisible());
    EXPECT_EQ(app->delegate().quitState(), app::QuitState::idle);
    EXPECT_FALSE(app->audio().isQuitting());
}

TEST_F(KorvaneAppTest, SettingsOpenedAgainIsANewWindowThatHasCopiedNothing) {
    const auto copyButton = [] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() != "KORVANESettingsWindow" || !widget->isVisible()) continue;
            return widget->findChild<views::SettingsPanel*>()->copyButton();
        }
        return static_cast<QPushButton*>(nullptr);
    };
    menuAction("Settings…")->trigger();
    ASSERT_TRUE(copyButton());
    copyButton()->click();
    ASSERT_EQ(copyButton()->text(), "Copied");
    copyButton()->window()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    menuAction("Settings…")->trigger();
    ASSERT_TRUE(copyButton());
    EXPECT_EQ(copyButton()->text(), "Copy diagnostics");
}

TEST_F(KorvaneAppTest, PreferencesThatCannotBeSavedAreToldInTheErrorText) {
    // The automatic start at launch first, so that its own outcome is not taken for this one.
    makeBundle(panelBundle / "Contents" / "Helpers", "KORVANE Routing", "KORVANE Routing",
               infoJson("audio.ravlin.router", "KORVANE Routing"));
    EventLoop loop;
    ASSERT_TRUE(loop.runUntil([&] { return !services.launched.empty(); }, "the automatic start at launch"));
    const fs::path file = environment.root() / "config" / "RAVLIN" / "KORVANE.conf";
    fs::remove(file);
    fs::create_directories(file);  // nothing can be written there
    app->audio().setRememberDevices(!app->audio().rememberDevices());
    const std::string told = "Preferences could not be saved. Choices made now will be forgotten when KORVANE quits.";
    EXPECT_TRUE(loop.runUntil([&] { return app->audio().error() == told; }, "the error text"));
}

TEST_F(KorvaneAppTest, ALaterLaunchResumesTheAutomaticStart) {
    // Installed, not running: each start launches it (the launch is only recorded here).
    makeBundle(panelBundle / "Contents" / "Helpers", "KORVANE Routing", "KORVANE Routing",
               infoJson("audio.ravlin.router", "KORVANE Routing"));
    EventLoop loop;
    ASSERT_TRUE(loop.runUntil([&] { return !services.launched.empty(); }, "the automatic start at launch"));
    app->audio().applyRouting(false);
    const std::size_t before = services.launched.size();
    app->mainWindow()->hide();
    app->reopen();
    EXPECT_TRUE(app->mainWindow()->isVisible()) << "the window comes back";
    ASSERT_TRUE(loop.runUntil([&] { return services.launched.size() > before; }, "the start after the reopen"));
    const auto request = RoutingFiles::readChoice();
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->enabled);
}

}  // namespace
}  // namespace korvane::test
