// The settings view over the real model: the driver facts without a driver, the shared compact
// preference, the write-through checkboxes, the recovery target, copying the diagnostics, and
// the complete quit from the sheet.
#include "panel/views/header_bar.h"
#include "panel/views/settings_panel.h"
#include "tests/panel_views/view_fixture.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

namespace korvane::test {
namespace {

using views::SettingsPanel;

TEST(SettingsFacts, DriverValuesAndTheirUnavailableWords) {
    struct Case {
        const char* name;
        bool driver;
        const char* sampleRate;
        const char* buffer;
    };
    for (const Case c : {Case{"driver present", true, "48.0 kHz", "512 frames"},
                         Case{"driver absent", false, "Driver unavailable", "Unavailable"}}) {
        SCOPED_TRACE(c.name);
        ViewSetup setup;
        if (!c.driver) setup.audio.model.unplug(kKorvane);
        views::InterfacePreferences& preferences = setup.preferences();
        SettingsPanel settings(*setup.model, preferences);
        setup.settle();
        EXPECT_EQ(settings.sampleRate()->text(), c.sampleRate);
        EXPECT_EQ(settings.driverBuffer()->text(), c.buffer);
        EXPECT_EQ(settings.mode()->text(), "Stereo · separate L / R");
        EXPECT_EQ(settings.recoveryTarget()->text(), "Output: Built-in Speakers");
        EXPECT_TRUE(settings.restoreButton()->isEnabled());
    }
}

TEST(SettingsFacts, TheDriverLeavingKeepsTheLastBufferButNotTheRate) {
    ViewSetup setup;
    views::InterfacePreferences& preferences = setup.preferences();
    SettingsPanel settings(*setup.model, preferences);
    setup.audio.model.unplug(kKorvane);
    setup.runPasses(20);
    EXPECT_EQ(settings.sampleRate()->text(), "Driver unavailable");
    EXPECT_EQ(settings.driverBuffer()->text(), "512 frames") << "the model keeps the last value read";
}

TEST(SettingsPreferences, CompactFromTheSettingsSheetSwitchesThePanelAtOnce) {
    ViewSetup setup;
    views::Panel& panel = setup.showPanel();
    panel.header()->settingsButton()->click();
    setup.settle();
    ASSERT_NE(panel.settingsSheet(), nullptr);
    SettingsPanel& settings = *panel.settingsSheet()->panel();
    EXPECT_EQ(panel.settingsSheet()->size(), QSize(540, 640));
    EXPECT_FALSE(settings.compactBox()->isChecked());
    settings.compactBox()->click();
    EXPECT_TRUE(panel.compact());
    EXPECT_EQ(panel.minimumWidth(), 380);
    EXPECT_EQ(setup.defaults.boolValue("compactInterface"), true);
    // And back from the panel: the checkbox follows.
    panel.header()->layoutToggle()->click();
    EXPECT_FALSE(settings.compactBox()->isChecked());
}

TEST(SettingsPreferences, CheckboxesWriteThroughToTheModel) {
    ViewSetup setup;
    views::InterfacePreferences& preferences = setup.preferences();
    SettingsPanel settings(*setup.model, preferences);
    settings.rememberBox()->click();
    EXPECT_FALSE(setup.model->rememberDevices());
    EXPECT_FALSE(setup.defaults.contains("preferredOutput")) << "not remembering erases the stored choices";
    settings.matchRateBox()->click();
    EXPECT_FALSE(setup.model->automaticallyMatchSampleRate());
    EXPECT_EQ(setup.defaults.boolValue("automaticallyMatchSampleRate"), false);
    setup.settle();
    EXPECT_FALSE(settings.rememberBox()->isChecked());
}

TEST(SettingsRecovery, WithoutAPhysicalOutputTheTargetSaysSoAndTheButtonIsDisabled) {
    ViewSetup setup(machineWithoutPhysicalOutputs());
    views::InterfacePreferences& preferences = setup.preferences();
    SettingsPanel settings(*setup.model, preferences);
    EXPECT_EQ(settings.recoveryTarget()->text(), "No physical output available");
    EXPECT_FALSE(settings.restoreButton()->isEnabled());
}

TEST(SettingsDiagnostics, CopyPutsTheModelsTextOnTheClipboardAndSaysCopied) {
    ViewSetup setup;
    views::InterfacePreferences& preferences = setup.preferences();
    {
        SettingsPanel settings(*setup.model, preferences);
        EXPECT_EQ(settings.copyButton()->text(), "Copy diagnostics");
        QGuiApplication::clipboard()->setText("something older");
        settings.copyButton()->click();
        EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), setup.model->diagnosticsText());
        EXPECT_EQ(settings.copyButton()->text(), "Copied");
        setup.runPasses(20);
        EXPECT_EQ(settings.copyButton()->text(), "Copied") << "until a new view is made";
    }
    SettingsPanel fresh(*setup.model, preferences);
    EXPECT_EQ(fresh.copyButton()->text(), "Copy diagnostics");
}

TEST(SettingsQuit, CompletelyQuitClosesTheSheetFirstAndThenAsksToQuit) {
    ViewSetup setup;
    views::Panel& panel = setup.showPanel();
    std::vector<std::string> order;
    QObject::connect(&panel, &views::Panel::completelyQuitRequested, [&] {
        order.push_back(panel.settingsSheet() && panel.settingsSheet()->isVisible() ? "quit, sheet open"
                                                                                    : "quit, sheet closed");
    });
    panel.showSettings();
    setup.settle();
    panel.settingsSheet()->panel()->quitButton()->click();
    setup.settle();
    EXPECT_EQ(order, std::vector<std::string>{"quit, sheet closed"});
    EXPECT_EQ(panel.settingsSheet(), nullptr);
}

TEST(SettingsQuit, DoneClosesTheSheetWithoutQuitting) {
    ViewSetup setup;
    views::Panel& panel = setup.showPanel();
    int quits = 0;
    QObject::connect(&panel, &views::Panel::completelyQuitRequested, [&] { ++quits; });
    panel.showSettings();
    setup.settle();
    panel.settingsSheet()->panel()->doneButton()->click();
    setup.settle();
    EXPECT_EQ(panel.settingsSheet(), nullptr);
    EXPECT_EQ(quits, 0);
}

}  // namespace
}  // namespace korvane::test
