// The desktop's words in the views: every text the panel, its help and its settings show (labels,
// buttons, tool tips, accessible names and descriptions) over the Mac's set and over a Linux
// desktop's, which names nothing of the Mac and asks for no permission.
#include "panel/views/help_sheet.h"
#include "panel/views/settings_panel.h"
#include "platform/wording.h"
#include "tests/panel_views/view_fixture.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>

namespace korvane::test {
namespace {

void collectTexts(const QWidget& root, QStringList& texts) {
    QList<const QWidget*> widgets{&root};
    for (const QWidget* child : root.findChildren<QWidget*>()) widgets.append(child);
    for (const QWidget* widget : widgets) {
        if (const auto* label = qobject_cast<const QLabel*>(widget)) texts.append(label->text());
        if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) texts.append(button->text());
        texts << widget->toolTip() << widget->accessibleName() << widget->accessibleDescription() << widget->windowTitle();
    }
    texts.removeAll(QString());
}

TEST(ViewsWording, EveryShownTextFollowsTheInstalledDesktop) {
    struct Case {
        const char* name;
        const platform::Wording& wording;
        QStringList shown;  // among the texts, exactly
        bool macFree;
    };
    const Case cases[] = {
        {"the Mac", platform::kMacWording,
         {"Restore Mac output", "Restore Mac playback",
          "If routing stops or you cannot hear sound, switch Mac playback directly to a physical output.",
          "Use one monitoring path to avoid doubled sound. Never send DAW playback back into KORVANE. Hardware inputs "
          "may require microphone access; the receiving DAW may also request permission for its audio input.",
          "The main knob controls listening volume on the selected physical device. The DAW receives the source at "
          "unity gain, so changing listening volume does not change the recording level. Muting can remain in effect "
          "after closing KORVANE; reopen it to unmute or use macOS volume controls.",
          "Closing the last window or choosing Quit KORVANE stops audio and closes the routing helper. Audio starts "
          "automatically when KORVANE launches and when you reopen it from the Dock or Finder, once your devices are "
          "ready. Apply changes after choosing a different device.",
          "KORVANE automatically starts the selected audio route on launch and when reopened from the Dock or Finder, "
          "once the devices are ready. Use Stop audio to pause routing and Start audio to resume. Closing the last "
          "window or choosing Quit KORVANE stops audio and closes the routing helper."},
         false},
        {"a Linux desktop", platform::kLinuxDesktopWording,
         {"Restore computer output", "Restore computer playback",
          "Use one monitoring path to avoid doubled sound. Never send DAW playback back into KORVANE.",
          "Closing the last window or choosing Quit KORVANE stops audio and closes the routing helper. Audio starts "
          "automatically when KORVANE launches and when you open it again from the application menu, once your "
          "devices are ready. Apply changes after choosing a different device.",
          "KORVANE automatically starts the selected audio route on launch and when opened again from the application "
          "menu, once the devices are ready. Use Stop audio to pause routing and Start audio to resume. Closing the "
          "last window or choosing Quit KORVANE stops audio and closes the routing helper."},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::ScopedWording installed(c.wording);
        ViewSetup setup;
        views::Panel& panel = setup.showPanel();
        QStringList texts;
        collectTexts(panel, texts);
        panel.showHelp();
        setup.settle();
        ASSERT_NE(panel.helpSheet(), nullptr);
        collectTexts(*panel.helpSheet(), texts);
        panel.helpSheet()->doneButton()->click();
        setup.settle();
        panel.showSettings();
        setup.settle();
        ASSERT_NE(panel.settingsSheet(), nullptr);
        collectTexts(*panel.settingsSheet(), texts);

        for (const QString& expected : c.shown) EXPECT_TRUE(texts.contains(expected)) << expected.toStdString();
        if (!c.macFree) continue;
        for (const QString& text : texts) {
            for (const char* word : {"Mac", "Dock", "Finder", "Audio MIDI", "macOS", "Privacy &", "permission"})
                EXPECT_FALSE(text.contains(QLatin1String(word))) << text.toStdString();
        }
    }
}

}  // namespace
}  // namespace korvane::test
