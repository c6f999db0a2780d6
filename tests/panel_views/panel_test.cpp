// The main panel over the real model: which parts each layout shows, the enabling rules of the
// actions in each route phase, the pickers' vanished selections, the status block and the error
// and recovery area.
#include "panel/views/action_row.h"
#include "panel/views/channel_mode_picker.h"
#include "panel/views/device_picker.h"
#include "panel/views/error_area.h"
#include "panel/views/footer.h"
#include "panel/views/header_bar.h"
#include "panel/views/help_sheet.h"
#include "panel/views/knob_group.h"
#include "panel/views/listening_device.h"
#include "panel/views/meter_pair.h"
#include "panel/views/signal_tile.h"
#include "panel/views/status_block.h"
#include "panel/views/surface.h"
#include "tests/panel_views/view_fixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace korvane::test {
namespace {

using views::Panel;

bool shown(const QWidget* part, const Panel& panel) { return part->isVisibleTo(&panel); }

TEST(PanelLayout, EachLayoutShowsItsPartsAndKeepsItsMinimumSize) {
    struct Case {
        bool compact;
        int minimumWidth;
    };
    for (const Case c : {Case{false, 760}, Case{true, 380}}) {
        SCOPED_TRACE(c.compact ? "compact" : "full");
        ViewSetup setup;
        Panel& panel = setup.showPanel(c.compact);
        EXPECT_EQ(panel.minimumWidth(), c.minimumWidth);
        EXPECT_EQ(panel.minimumHeight(), 560);
        for (const QWidget* fullOnly : std::initializer_list<const QWidget*>{
                 panel.sourceTile(), panel.dawTile(), panel.channelMode(), panel.devicePickers(), panel.actionRow()})
            EXPECT_EQ(shown(fullOnly, panel), !c.compact) << fullOnly->metaObject()->className();
        for (const QWidget* both : std::initializer_list<const QWidget*>{
                 panel.header(), panel.status(), panel.knobGroup(), panel.meters(), panel.listeningDevice(),
                 panel.startStop(), panel.footer()})
            EXPECT_TRUE(shown(both, panel)) << both->metaObject()->className();
        // The content fits its minimum width: nothing is pushed out of the column.
        panel.resize(c.minimumWidth, 560);
        setup.settle();
        EXPECT_LE(panel.minimumSizeHint().width(), c.minimumWidth);
        EXPECT_EQ(panel.header()->layoutToggle()->text(), c.compact ? "Expand" : "Compact view");
        EXPECT_EQ(panel.header()->layoutToggle()->toolTip(),
                  c.compact ? "Show full controls" : "Show compact controls");
    }
}

TEST(PanelLayout, AtItsMinimumWidthNoTextIsCut) {
    for (const bool compact : {false, true}) {
        SCOPED_TRACE(compact ? "compact" : "full");
        ViewSetup setup;
        setup.startRunning();
        Panel& panel = setup.showPanel(compact);
        panel.resize(panel.minimumWidth(), 860);
        setup.settle();
        for (QWidget* part : panel.findChildren<QWidget*>()) {
            const auto* label = qobject_cast<QLabel*>(part);
            if (!part->isVisibleTo(&panel) || (!label && !qobject_cast<QAbstractButton*>(part)) ||
                (label && label->wordWrap()))
                continue;
            EXPECT_GE(part->width(), part->minimumSizeHint().width())
                << (label ? label->text() : qobject_cast<QAbstractButton*>(part)->text()).toStdString();
        }
    }
}

TEST(PanelLayout, TheToggleSwitchesAtOnceAndIsRememberedForTheNextWindow) {
    ViewSetup setup;
    Panel& panel = setup.showPanel();
    panel.header()->layoutToggle()->click();
    EXPECT_TRUE(panel.compact());
    EXPECT_FALSE(shown(panel.actionRow(), panel));
    // The start/stop button moved with the layout and still works from its new place.
    EXPECT_TRUE(shown(panel.startStop(), panel));
    EXPECT_EQ(setup.defaults.boolValue("compactInterface"), true);

    Panel second({*setup.model, *setup.interface, std::nullopt, QString()});
    EXPECT_TRUE(second.compact());
    panel.header()->layoutToggle()->click();
    EXPECT_FALSE(second.compact()) << "both windows follow the one stored value";
}

TEST(PanelLayout, TheBrandImageTakesEachLayoutsWidthOrGivesWayToTheTextMark) {
    struct Case {
        const char* name;
        bool writeImage;
        bool compact;
        int width;  // 0: the text mark
    };
    for (const Case c : {Case{"full", true, false, 48}, Case{"compact", true, true, 36},
                         Case{"missing image", false, false, 0}}) {
        SCOPED_TRACE(c.name);
        ViewSetup setup;
        const QString path = QString::fromStdString((setup.environment.root() / "KORVANEBrand.png").string());
        if (c.writeImage) {
            QImage brand(192, 96, QImage::Format_ARGB32);
            brand.fill(Qt::red);
            ASSERT_TRUE(brand.save(path, "PNG"));
        }
        Panel& panel = setup.showPanel(c.compact, path);
        EXPECT_EQ(panel.header()->showsBrandImage(), c.width != 0);
        if (c.width) {
            EXPECT_EQ(panel.header()->brandMark()->width(), c.width);
            EXPECT_EQ(panel.header()->brandMark()->height(), c.width / 2) << "the image keeps its proportions";
        } else {
            EXPECT_EQ(panel.header()->brandMark()->text(), "KORVANE");
        }
    }
}

// Tab visits only controls the user can see, and each one shows that it has the focus.
TEST(PanelKeyboard, EveryTabStopIsAVisibleControlThatShowsItsFocus) {
    for (const bool compact : {false, true}) {
        SCOPED_TRACE(compact ? "compact" : "full");
        ViewSetup setup;
        setup.startRunning();
        Panel& panel = setup.showPanel(compact);
        QApplication::setActiveWindow(&panel);
        std::vector<QWidget*> visited;
        for (int i = 0; i < 100; ++i) {
            QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
            QWidget* from = QApplication::focusWidget();
            QCoreApplication::sendEvent(from ? from : &panel, &tab);
            QWidget* stop = QApplication::focusWidget();
            ASSERT_NE(stop, nullptr);
            if (!visited.empty() && stop == visited.front()) break;
            visited.push_back(stop);
            SCOPED_TRACE(stop->metaObject()->className() + (" " + stop->property("text").toString()).toStdString());
            EXPECT_TRUE(stop->isVisible());
            const QImage focused = stop->grab().toImage();
            stop->clearFocus();
            EXPECT_NE(stop->grab().toImage(), focused) << "the focus shows";
            stop->setFocus(Qt::TabFocusReason);
        }
        EXPECT_GT(visited.size(), 5u);
    }
}

TEST(PanelStatus, StartStopFollowsThePhaseAndTheDriver) {
    struct Case {
        const char* name;
        std::function<void(ViewSetup&)> arrange;
        const char* label;
        bool enabled;
        bool setupShown;
    };
    const Case cases[] = {
        {"stopped", [](ViewSetup&) {}, "Start audio", true, false},
        {"starting", [](ViewSetup& s) { s.model->applyRouting(true); }, "Start audio", false, false},
        {"running", [](ViewSetup& s) { s.startRunning(); }, "Stop audio", true, false},
        {"driver missing", [](ViewSetup& s) { s.audio.model.unplug(kKorvane); s.runPasses(20); }, "Start audio",
         false, true},
        {"driver gone while running",
         [](ViewSetup& s) {
             s.startRunning();
             s.audio.model.unplug(kKorvane);
             s.runPasses(20);
         },
         "Stop audio", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewSetup setup;
        Panel& panel = setup.showArranged(c.arrange);
        QPushButton* button = panel.startStop()->button();
        EXPECT_EQ(button->text(), c.label);
        EXPECT_EQ(button->isEnabled(), c.enabled);
        EXPECT_EQ(shown(panel.status()->setupButton(), panel), c.setupShown);
        EXPECT_EQ(panel.status()->headline()->text().toStdString(), setup.model->statusText());
    }
}

// A quick second click on Start/Stop must find it where the first one did, whatever the route
// reported in between.
TEST(PanelStatus, StartStopStaysInPlaceWhateverTheRouteSays) {
    struct State {
        const char* name;
        std::function<void(ViewSetup&)> arrange;
    };
    const State states[] = {
        {"stopped", [](ViewSetup&) {}},
        {"running", [](ViewSetup& s) { s.startRunning(); }},
        {"failed",
         [](ViewSetup& s) {
             s.model->applyRouting(true);
             s.report(phase::kError, "KORVANE could not open the aggregate device for routing System audio (-10851).");
         }},
        {"helper silent",
         [](ViewSetup& s) {
             s.model->applyRouting(true);
             s.runPasses(100);
         }},
        {"driver missing",
         [](ViewSetup& s) {
             s.audio.model.unplug(kKorvane);
             s.runPasses(20);
         }},
    };
    for (const bool compact : {false, true}) {
        std::optional<QPoint> first;
        for (const State& state : states) {
            SCOPED_TRACE(testing::Message() << (compact ? "compact, " : "full, ") << state.name);
            ViewSetup setup;
            setup.create();
            Panel& panel = setup.showPanel(compact);
            if (compact) panel.resize(Panel::kMinimumWidthCompact, 860);
            state.arrange(setup);
            setup.settle();
            const QPoint at = panel.startStop()->button()->mapTo(&panel, QPoint());
            if (!first) first = at;
            EXPECT_EQ(at, *first);
        }
    }
}

TEST(PanelStatus, StartStopCallsTheRouteWithTheMeaningItShows) {
    ViewSetup setup;
    setup.startRunning();
    Panel& panel = setup.showPanel();
    panel.startStop()->button()->click();
    setup.settle();
    ASSERT_TRUE(RoutingFiles::readChoice());
    EXPECT_FALSE(RoutingFiles::readChoice()->enabled) << "Stop audio writes a stop request";
    EXPECT_EQ(panel.startStop()->button()->text(), "Start audio");
    EXPECT_FALSE(panel.startStop()->button()->isEnabled()) << "disabled while the stop is on its way";
}

TEST(PanelActions, TestSoundAndApplyChangesFollowTheRouteAndTheSelection) {
    struct Case {
        const char* name;
        std::function<void(ViewSetup&)> arrange;
        bool testEnabled;
        bool applyShown;
        const char* secondLine;
    };
    const Case cases[] = {
        {"stopped", [](ViewSetup&) {}, false, false, ""},
        {"running with System audio", [](ViewSetup& s) { s.startRunning(); }, true, false, ""},
        {"running, output changed",
         [](ViewSetup& s) {
             s.startRunning();
             s.model->setSelectedOutput(kHeadphones);
         },
         false, true, "Device selection changed · Apply changes to update the route."},
        {"running, listening muted",
         [](ViewSetup& s) {
             s.startRunning();
             s.model->toggleListeningMute();
         },
         false, false, ""},
        {"running from a hardware input",
         [](ViewSetup& s) {
             s.model->setSelectedInput(kInterface);
             s.startRunning();
         },
         false, false, ""},
        {"starting with a changed output",
         [](ViewSetup& s) {
             s.model->applyRouting(true);
             s.model->setSelectedOutput(kHeadphones);
         },
         false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewSetup setup;
        Panel& panel = setup.showArranged(c.arrange);
        EXPECT_EQ(panel.actionRow()->testSound()->isEnabled(), c.testEnabled);
        EXPECT_EQ(shown(panel.actionRow()->applyChanges(), panel), c.applyShown);
        EXPECT_EQ(panel.status()->secondLine()->text(), c.secondLine);
        EXPECT_EQ(panel.sourceTile()->subtitle(), c.applyShown ? "Selection pending"
                                                  : setup.model->routingPhase() == "running" ? "Routing active"
                                                                                             : "Not routing");
    }
}

TEST(PanelActions, ApplyChangesWritesTheNewSelection) {
    ViewSetup setup;
    setup.startRunning();
    Panel& panel = setup.showPanel();
    panel.outputPicker()->comboBox()->activated(panel.outputPicker()->comboBox()->findText("Bluetooth Headphones"));
    setup.settle();
    EXPECT_EQ(setup.model->selectedOutput(), kHeadphones);
    ASSERT_TRUE(shown(panel.actionRow()->applyChanges(), panel));
    panel.actionRow()->applyChanges()->click();
    ASSERT_TRUE(RoutingFiles::readChoice());
    EXPECT_EQ(RoutingFiles::readChoice()->outputUID, kHeadphones);
    EXPECT_TRUE(RoutingFiles::readChoice()->enabled);
}

TEST(PanelRecovery, RestoreMacOutputAppearsForFailedAndSilentRoutesEvenWithoutAnError) {
    struct Case {
        const char* name;
        std::function<void(ViewSetup&)> arrange;
        bool shownButton;
    };
    const Case cases[] = {
        {"stopped", [](ViewSetup&) {}, false},
        {"running", [](ViewSetup& s) { s.startRunning(); }, false},
        {"error report",
         [](ViewSetup& s) {
             s.model->applyRouting(true);
             s.report(phase::kError, "The listening output stopped.");
         },
         true},
        {"helper unavailable",
         [](ViewSetup& s) {
             s.model->applyRouting(true);
             s.runPasses(100);
         },
         true},
        {"an error while stopped", [](ViewSetup& s) { s.model->playTestTone(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewSetup setup;
        Panel& panel = setup.showArranged(c.arrange);
        const views::ErrorArea& area = *panel.errorArea();
        EXPECT_EQ(shown(area.restoreButton(), panel), c.shownButton);
        EXPECT_EQ(shown(area.errorText(), panel), !setup.model->error().empty());
        EXPECT_EQ(area.errorText()->text().toStdString(), setup.model->error());
        if (c.shownButton) {
            EXPECT_TRUE(area.restoreButton()->isEnabled());
        }
    }
}

TEST(PanelRecovery, TheRecoveryMessageStaysAfterTheButtonGoes) {
    ViewSetup setup;
    setup.create();
    setup.model->applyRouting(true);
    Panel& panel = setup.showPanel();
    setup.runPasses(100);
    ASSERT_TRUE(shown(panel.errorArea()->restoreButton(), panel));
    panel.errorArea()->restoreButton()->click();
    setup.settle();
    EXPECT_EQ(setup.model->routingPhase(), "starting");
    EXPECT_FALSE(shown(panel.errorArea()->restoreButton(), panel));
    EXPECT_TRUE(shown(panel.errorArea()->recoveryMessage(), panel));
    EXPECT_EQ(panel.errorArea()->recoveryMessage()->text(),
              "Mac playback now uses Built-in Speakers directly. Volume is unchanged; unmute that device when you "
              "want to listen.");
}

TEST(PanelRecovery, WithoutAPhysicalOutputTheButtonIsDisabled) {
    ViewSetup setup(machineWithoutPhysicalOutputs());
    setup.create();
    setup.model->applyRouting(true);  // no listening output chosen: an error, and the button
    Panel& panel = setup.showPanel();
    ASSERT_TRUE(shown(panel.errorArea()->restoreButton(), panel));
    EXPECT_FALSE(panel.errorArea()->restoreButton()->isEnabled());
}

TEST(PanelPickers, VanishedDevicesStaySelectedUnderTheirOwnWords) {
    ViewSetup setup;
    setup.create();
    setup.model->setSelectedInput(kInterface);
    setup.model->setSelectedOutput(kHeadphones);
    setup.model->setListeningUID(kHeadphones);
    Panel& panel = setup.showPanel();
    EXPECT_EQ(panel.sourcePicker()->comboBox()->currentText(), "USB Audio Interface · Stereo");
    EXPECT_EQ(panel.sourceTile()->title(), "USB Audio Interface");

    setup.audio.model.unplug(kInterface);
    setup.audio.model.unplug(kHeadphones);
    setup.runPasses(20);
    struct Case {
        views::DevicePicker* picker;
        const char* shownText;
        std::size_t placeholderItems;
    };
    for (const Case c : {Case{panel.sourcePicker(), "Disconnected input", 1},
                         Case{panel.outputPicker(), "Disconnected output", 2},
                         Case{panel.listeningDevice()->picker(), "Unavailable output", 1}}) {
        SCOPED_TRACE(c.shownText);
        EXPECT_EQ(c.picker->comboBox()->currentText(), c.shownText);
        EXPECT_EQ(c.picker->comboBox()->currentIndex(), c.picker->comboBox()->count() - 1) << "the last item";
        EXPECT_GT(c.picker->items().size(), c.placeholderItems);
    }
    EXPECT_EQ(panel.sourceTile()->title(), "Disconnected input");
    EXPECT_EQ(panel.status()->headline()->text(), "Input disconnected · reconnect or choose another input");
    EXPECT_EQ(panel.listeningDevice()->hint()->text(),
              "This output is disconnected or unavailable. Choose another listening device.");
}

TEST(PanelPickers, SourceItemsListPhysicalInputsWithTheirChannelWords) {
    ViewSetup setup;
    Panel& panel = setup.showPanel();
    QStringList labels;
    for (const auto& item : panel.sourcePicker()->items()) labels << QString::fromStdString(item.label);
    EXPECT_EQ(labels, QStringList({"System audio", "Built-in Microphone · Mono", "USB Audio Interface · Stereo"}));
    labels.clear();
    for (const auto& item : panel.outputPicker()->items()) labels << QString::fromStdString(item.label);
    EXPECT_EQ(labels.mid(0, 2), QStringList({"Choose an output…", "DAW only · listening off"}));
}

TEST(PanelPickers, TheListeningPickerIgnoresItsPlaceholder) {
    ViewSetup setup;
    Panel& panel = setup.showPanel();
    QComboBox* combo = panel.listeningDevice()->picker()->comboBox();
    combo->activated(0);  // "Choose listening device…"
    setup.settle();
    EXPECT_EQ(setup.model->listeningUID(), kSpeakers);
    combo->activated(combo->findText("Bluetooth Headphones"));
    setup.settle();
    EXPECT_EQ(setup.model->listeningUID(), kHeadphones);
    EXPECT_EQ(setup.defaults.stringValue("preferredListening"), kHeadphones);
    EXPECT_EQ(panel.knobGroup()->levelLabel()->text(), "50%") << "the headphones' own level is read at once";
}

TEST(PanelFooter, DriverAndVersionLines) {
    struct Case {
        const char* name;
        bool unplugDriver;
        std::optional<platform::BundleInfo> info;
        const char* driverLine;
        const char* versionLine;
    };
    const Case cases[] = {
        {"driver present", false, platform::BundleInfo{{"CFBundleShortVersionString", "1.4.2"}, {"CFBundleVersion", "87"}},
         "48.0 kHz · Stereo 1–2", "KORVANE 1.4.2 (87)"},
        {"driver missing, build number missing", true, platform::BundleInfo{{"CFBundleShortVersionString", "2.0"}},
         "Driver unavailable", "KORVANE 2.0 (—)"},
        {"no bundle information", false, std::nullopt, "48.0 kHz · Stereo 1–2", "KORVANE — (—)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewSetup setup;
        if (c.unplugDriver) setup.audio.model.unplug(kKorvane);
        setup.applications.info = c.info;
        Panel& panel = setup.showPanel();
        EXPECT_EQ(panel.footer()->driverLine()->text(), c.driverLine);
        EXPECT_EQ(panel.footer()->versionLine()->text(), c.versionLine);
    }
}

// A locale whose numbers take a decimal comma, built for the test so that none need be installed:
// localedef complains about the categories and characters left out, and writes LC_NUMERIC anyway.
class DecimalCommaLocale {
public:
    explicit DecimalCommaLocale(TestEnvironment& environment) : previous_(std::setlocale(LC_NUMERIC, nullptr)) {
        const std::filesystem::path dir = environment.root() / "locales";
        std::filesystem::create_directories(dir);
        std::string charmap = "<code_set_name> DIGITS\n<mb_cur_min> 1\n<mb_cur_max> 1\nCHARMAP\n<U002C> \\x2c\n";
        for (char digit = '0'; digit <= '9'; ++digit)
            charmap += "<U003" + std::string(1, digit) + "> \\x3" + std::string(1, digit) + "\n";
        writeFile(dir / "charmap", charmap + "END CHARMAP\n");
        writeFile(dir / "source", "LC_NUMERIC\ndecimal_point \",\"\nthousands_sep \"\"\ngrouping -1\nEND LC_NUMERIC\n");
        const std::string command = "cd '" + dir.string() + "' && localedef -c -f charmap -i source ./comma >/dev/null 2>&1";
        (void)std::system(command.c_str());
        environment.set("LOCPATH", dir.string());
        active_ = std::setlocale(LC_NUMERIC, "comma") != nullptr;
    }
    ~DecimalCommaLocale() { std::setlocale(LC_NUMERIC, previous_.c_str()); }
    bool active() const { return active_; }

private:
    std::string previous_;
    bool active_ = false;
};

TEST(PanelFooter, RatesReadTheSameUnderEveryLocale) {
    ViewSetup setup;
    setup.create();
    DecimalCommaLocale locale(setup.environment);
    ASSERT_TRUE(locale.active());
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5") << "the locale writes a decimal comma";
    EXPECT_EQ(views::driverLine(*setup.model), "48.0 kHz · Stereo 1–2");
    EXPECT_EQ(views::sampleRateText(*setup.model), "48.0 kHz");
}

TEST(PanelHelp, TheSheetShowsTheDriverNoticeOnlyWithoutTheDriverAndDoneIsTheDefault) {
    for (const bool driverMissing : {true, false}) {
        SCOPED_TRACE(driverMissing ? "driver missing" : "driver present");
        ViewSetup setup;
        if (driverMissing) setup.audio.model.unplug(kKorvane);
        Panel& panel = setup.showPanel();
        if (driverMissing) panel.status()->setupButton()->click();
        else panel.footer()->dawSetupButton()->click();
        setup.settle();
        views::HelpSheet* sheet = panel.helpSheet();
        ASSERT_NE(sheet, nullptr);
        EXPECT_EQ(sheet->windowTitle(), "Connect your DAW");
        EXPECT_EQ(sheet->driverNotice()->isVisibleTo(sheet), driverMissing);
        EXPECT_EQ(sheet->createDAWDeviceButton()->isEnabled(), !driverMissing);
        // Return stays with "Done" even while the combined-device button has the focus.
        QApplication::setActiveWindow(sheet);
        if (!driverMissing) sheet->createDAWDeviceButton()->setFocus(Qt::TabFocusReason);
        EXPECT_TRUE(sheet->doneButton()->isDefault());
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(sheet, &enter);
        setup.settle();
        EXPECT_EQ(panel.helpSheet(), nullptr) << "Return closed the sheet";
        EXPECT_EQ(setup.model->dawDeviceMessage(), "") << "and created nothing";
    }
}

TEST(PanelHelp, TheCombinedDeviceActionFollowsTheSelectedOutputAndShowsItsOutcome) {
    ViewSetup setup;
    Panel& panel = setup.showPanel();
    panel.showHelp();
    setup.settle();
    views::HelpSheet* sheet = panel.helpSheet();
    setup.model->setSelectedOutput("daw");
    setup.settle();
    EXPECT_FALSE(sheet->createDAWDeviceButton()->isEnabled());
    setup.model->setSelectedOutput(kSpeakers);
    setup.settle();
    ASSERT_TRUE(sheet->createDAWDeviceButton()->isEnabled());
    sheet->createDAWDeviceButton()->click();
    setup.settle();
    EXPECT_TRUE(sheet->dawDeviceMessage()->isVisibleTo(sheet));
    EXPECT_EQ(sheet->dawDeviceMessage()->text(),
              "Select KORVANE + Built-in Speakers in your DAW. Input: 1–2. Playback output: 3–4. Never send DAW "
              "playback to output 1–2.");
}

}  // namespace
}  // namespace korvane::test
