// The custom controls: the knob's drag, keys and accessibility through the real model, the
// meters' segments and colours as drawn, their accessible values, the full-screen button, and
// the views' merged, change-only redrawing.
#include "panel/views/full_screen_button.h"
#include "panel/views/knob.h"
#include "panel/views/knob_group.h"
#include "panel/views/lamp.h"
#include "panel/views/meter.h"
#include "panel/views/meter_bar.h"
#include "panel/views/meter_pair.h"
#include "panel/views/model_watcher.h"
#include "tests/panel_views/view_fixture.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAccessibleValueInterface>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QWheelEvent>

namespace korvane::test {
namespace {

using views::Knob;
using views::MeterBar;

void mouse(QWidget& widget, QEvent::Type type, QPointF at, Qt::MouseButtons held) {
    QMouseEvent event(type, at, widget.mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
    QCoreApplication::sendEvent(&widget, &event);
}

// A vertical drag on the knob, moved in `steps` equal moves, with `between` run after each.
void drag(Knob& knob, double dy, int steps = 4, const std::function<void()>& between = [] {}) {
    const QPointF start(74, 74);
    mouse(knob, QEvent::MouseButtonPress, start, Qt::LeftButton);
    for (int i = 1; i <= steps; ++i) {
        mouse(knob, QEvent::MouseMove, start + QPointF(0, dy * i / steps), Qt::LeftButton);
        between();
    }
    mouse(knob, QEvent::MouseButtonRelease, start + QPointF(0, dy), Qt::NoButton);
}

TEST(KnobDrag, TwoHundredPixelsCoverTheRangeFromTheLevelWhereTheDragBegan) {
    struct Case {
        float start;
        double dy;  // downwards positive
        float expected;
    };
    const Case cases[] = {{0.5f, -100, 1.0f}, {0.5f, 300, 0.0f}, {0.25f, -50, 0.5f},
                          {0.0f, -200, 1.0f}, {0.8f, 40, 0.6f},    {1.0f, -60, 1.0f}};
    for (const Case c : cases) {
        for (const bool viewFollowsEachMove : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.start << " moved " << c.dy
                                            << (viewFollowsEachMove ? ", view follows" : ""));
            ViewSetup setup;
            setup.create();
            setup.model->setListeningLevel(c.start);
            views::Panel& panel = setup.showPanel();
            Knob& knob = *panel.knobGroup()->knob();
            ASSERT_FLOAT_EQ(float(knob.level()), c.start);
            // Whether or not the knob shows each new level before the next move, the drag measures
            // from where it began and never compounds the levels it asked for.
            drag(knob, c.dy, 4, [&] {
                if (viewFollowsEachMove) setup.settle();
            });
            setup.settle();
            EXPECT_NEAR(setup.model->listeningLevel(), c.expected, 1e-6);
            EXPECT_NEAR(knob.level(), c.expected, 1e-6);
        }
    }
}

TEST(KnobDrag, AClickWithoutMovementChangesNothingAndTheNextDragStartsAfresh) {
    ViewSetup setup;
    setup.create();
    setup.model->setListeningLevel(0.4f);
    views::Panel& panel = setup.showPanel();
    Knob& knob = *panel.knobGroup()->knob();
    drag(knob, 0, 0);
    setup.settle();
    EXPECT_FLOAT_EQ(setup.model->listeningLevel(), 0.4f);
    drag(knob, -20);
    setup.settle();
    drag(knob, -20);
    setup.settle();
    EXPECT_NEAR(setup.model->listeningLevel(), 0.6f, 1e-6);
}

TEST(KnobDrag, WhileMutedTheKnobMovesTheRememberedLevelOnly) {
    ViewSetup setup;
    setup.create();
    setup.model->setListeningLevel(0.5f);
    setup.model->toggleListeningMute();
    views::Panel& panel = setup.showPanel();
    EXPECT_EQ(panel.knobGroup()->caption()->text(), "MUTED");
    EXPECT_EQ(panel.knobGroup()->muteButton()->text(), "Unmute");
    drag(*panel.knobGroup()->knob(), -60);
    setup.settle();
    EXPECT_FLOAT_EQ(setup.model->listeningLevel(), 0.0f) << "the device stays silent";
    EXPECT_NEAR(panel.knobGroup()->knob()->level(), 0.8, 1e-6);
    EXPECT_EQ(panel.knobGroup()->levelLabel()->text(), "80%");
}

TEST(KnobAccess, KeysAndAssistiveTechnologyStepByOneHundredth) {
    struct Case {
        const char* name;
        float start;
        std::function<void(Knob&)> act;
        float expected;
    };
    const auto key = [](int k) {
        return [k](Knob& knob) {
            QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
            QCoreApplication::sendEvent(&knob, &press);
        };
    };
    const auto action = [](const QString& (*name)()) {
        return [name](Knob& knob) {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&knob);
            ASSERT_NE(accessible, nullptr);
            ASSERT_NE(accessible->actionInterface(), nullptr);
            accessible->actionInterface()->doAction(name());
        };
    };
    const Case cases[] = {
        {"up", 0.5f, key(Qt::Key_Up), 0.51f},
        {"down", 0.5f, key(Qt::Key_Down), 0.49f},
        {"page up near the top", 0.95f, key(Qt::Key_PageUp), 1.0f},
        {"touchpad deltas adding up to one notch", 0.5f,
         [](Knob& knob) {
             for (int i = 0; i < 5; ++i) {
                 QWheelEvent wheel(QPointF(74, 74), knob.mapToGlobal(QPointF(74, 74)), QPoint(), QPoint(0, 30),
                                   Qt::NoButton, Qt::NoModifier, Qt::ScrollUpdate, false);
                 QCoreApplication::sendEvent(&knob, &wheel);
             }
         },
         0.51f},
        {"increment", 0.5f, action(&QAccessibleActionInterface::increaseAction), 0.51f},
        {"decrement at zero", 0.0f, action(&QAccessibleActionInterface::decreaseAction), 0.0f},
        {"increment at the top", 1.0f, action(&QAccessibleActionInterface::increaseAction), 1.0f},
        {"value set", 0.5f,
         [](Knob& knob) { QAccessible::queryAccessibleInterface(&knob)->valueInterface()->setCurrentValue(0.3); },
         0.3f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewSetup setup;
        setup.create();
        setup.model->setListeningLevel(c.start);
        views::Panel& panel = setup.showPanel();
        Knob& knob = *panel.knobGroup()->knob();
        c.act(knob);
        setup.settle();
        EXPECT_NEAR(setup.model->listeningLevel(), c.expected, 1e-6);
    }
}

// Fast input arrives in bursts that the view has not redrawn between: each step still adds to
// the level the one before it asked for.
TEST(KnobAccess, EveryStepOfABurstCounts) {
    struct Case {
        const char* name;
        bool muted;
        int count;
        std::function<void(Knob&)> act;
        double expected;
    };
    const auto notch = [](Knob& knob) {
        QWheelEvent wheel(QPointF(74, 74), knob.mapToGlobal(QPointF(74, 74)), QPoint(), QPoint(0, 120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(&knob, &wheel);
    };
    const auto down = [](Knob& knob) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier, QString(), true);
        QCoreApplication::sendEvent(&knob, &press);
    };
    const Case cases[] = {{"30 wheel notches", false, 30, notch, 0.8},
                          {"20 repeated arrow keys", false, 20, down, 0.3},
                          {"wheel notches while muted", true, 10, notch, 0.6},
                          {"wheel notches past the top", false, 70, notch, 1.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewSetup setup;
        setup.create();
        setup.model->setListeningLevel(0.5f);
        if (c.muted) setup.model->toggleListeningMute();
        Knob& knob = *setup.showPanel().knobGroup()->knob();
        for (int i = 0; i < c.count; ++i) c.act(knob);
        setup.settle();
        EXPECT_NEAR(setup.model->displayedListeningLevel(), c.expected, 1e-4);
        EXPECT_NEAR(knob.level(), c.expected, 1e-4);
    }
}

TEST(KnobAccess, NameRoleAndValueText) {
    ViewSetup setup;
    setup.create();
    setup.model->setListeningLevel(0.456f);
    views::Panel& panel = setup.showPanel();
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(panel.knobGroup()->knob());
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->role(), QAccessible::Dial);
    EXPECT_EQ(accessible->text(QAccessible::Name), "Listening volume");
    EXPECT_EQ(accessible->text(QAccessible::Value), "46 percent");
    ASSERT_NE(accessible->valueInterface(), nullptr);
    EXPECT_DOUBLE_EQ(accessible->valueInterface()->minimumStepSize().toDouble(), 0.01);
}

// Renders a bar and reads the colour at the centre of each segment.
std::vector<QColor> drawnSegments(double linearPeak) {
    MeterBar bar;
    bar.resize(36 * 8 + 35 * 2, 10);
    bar.setReading(panel::AudioModel::meterFraction(linearPeak), QString());
    QImage image(bar.size(), QImage::Format_ARGB32);
    image.fill(Qt::black);
    bar.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    std::vector<QColor> colours;
    for (int i = 0; i < MeterBar::kSegments; ++i) colours.push_back(image.pixelColor(bar.segmentRect(i).center().toPoint()));
    return colours;
}

TEST(MeterSegments, LevelsLightTheSegmentsInTheirColours) {
    const QColor green = QColor::fromRgbF(0.13, 0.68, 0.39);
    const QColor red = QColor::fromRgbF(0.96, 0.30, 0.34);
    const QColor orange = MeterBar::segmentColor(30, true);
    struct Case {
        double peak;
        int lit;
    };
    // 1.0 is the top of the scale, 0.001 its bottom (−60 dBFS), 0.5 about −6 dBFS.
    for (const Case c : {Case{1.0, 36}, Case{0.001, 0}, Case{0.5, 33}, Case{0.0, 0}, Case{2.0, 36}}) {
        SCOPED_TRACE(testing::Message() << "peak " << c.peak);
        const std::vector<QColor> colours = drawnSegments(c.peak);
        for (int i = 0; i < MeterBar::kSegments; ++i) {
            SCOPED_TRACE(testing::Message() << "segment " << i);
            if (i >= c.lit) {
                EXPECT_EQ(colours[i], QColor(26, 26, 26)) << "unlit: white at 0.10 over black";
                continue;
            }
            const QColor expected = i < 28 ? green : i < 34 ? orange : red;
            EXPECT_EQ(colours[i].rgb(), expected.rgb());
        }
    }
    const std::vector<QColor> half = drawnSegments(0.5);
    EXPECT_EQ(std::count_if(half.begin(), half.end(), [&](const QColor& c) { return c.rgb() == orange.rgb(); }), 5)
        << "segments 28 to 32 are orange at −6 dBFS";
}

TEST(MeterValues, HeldPeaksClipLampsAndAccessibleValuesFollowTheDriver) {
    ViewSetup setup;
    setup.startRunning();
    views::Panel& panel = setup.showPanel();
    setup.playIntoDriver(1.0, 0.5);
    views::Meter& input = *panel.meters()->input();
    struct Case {
        int side;
        const char* levelText;
        const char* value;
        bool clipped;
    };
    for (const Case c : {Case{0, "0.0", "0.0 dBFS, clipping detected", true}, Case{1, "-6.0", "-6.0 dBFS", false}}) {
        SCOPED_TRACE(c.side);
        EXPECT_EQ(input.levelLabel(c.side)->text(), c.levelText);
        QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(input.bar(c.side));
        EXPECT_EQ(bar->text(QAccessible::Name), QString("INPUT · PRE-GAIN ") + (c.side ? "right" : "left"));
        EXPECT_EQ(bar->text(QAccessible::Value), c.value);
        EXPECT_EQ(input.clipLamp(c.side)->color(), c.clipped ? QColor::fromRgbF(0.96, 0.30, 0.34)
                                                             : QColor::fromRgbF(1, 1, 1, 0.14));
    }
    EXPECT_EQ(input.resetButton()->accessibleName(), "Reset INPUT · PRE-GAIN peak and clipping indicators");

    // Reset clears the held peaks and the clip flags of both meters.
    panel.meters()->send()->resetButton()->click();
    setup.settle();
    EXPECT_EQ(input.clipLamp(0)->color(), QColor::fromRgbF(1, 1, 1, 0.14));
    EXPECT_EQ(input.levelLabel(0)->text(), "−∞");
}

TEST(FullScreen, TheButtonTogglesItsWindowAndFollowsChangesMadeElsewhere) {
    QWidget window;
    auto* button = new views::FullScreenButton(&window);
    window.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(button->toolTip(), "Expand to full screen");
    EXPECT_EQ(button->accessibleName(), "Expand to full screen");
    button->click();
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.windowState() & Qt::WindowFullScreen);
    EXPECT_EQ(button->toolTip(), "Exit full screen");
    window.showNormal();  // as the window manager or a shortcut would
    QCoreApplication::processEvents();
    EXPECT_EQ(button->toolTip(), "Expand to full screen");

    // Moved into another window, it follows that one.
    QWidget other;
    button->setParent(&other);
    other.show();
    QCoreApplication::processEvents();
    other.showFullScreen();
    QCoreApplication::processEvents();
    EXPECT_EQ(button->toolTip(), "Exit full screen");
    window.showFullScreen();
    other.showNormal();
    QCoreApplication::processEvents();
    EXPECT_EQ(button->toolTip(), "Expand to full screen");
}

TEST(ModelWatching, ABurstOfWritesGivesOneChangeAfterTheEventLoopTurns) {
    ViewSetup setup;
    setup.create();
    views::ModelWatcher watcher(*setup.model);
    int changes = 0;
    QObject::connect(&watcher, &views::ModelWatcher::changed, [&] { ++changes; });
    setup.passes(1);  // one refresh pass writes many properties
    setup.model->setSelectedOutput(kHeadphones);
    EXPECT_EQ(changes, 0) << "never from inside a model write";
    setup.settle();
    EXPECT_EQ(changes, 1);
    setup.settle();
    EXPECT_EQ(changes, 1);
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

TEST(ModelWatching, OnlyWhatChangedIsRedrawn) {
    ViewSetup setup;
    setup.startRunning();
    views::Panel& panel = setup.showPanel();
    setup.runPasses(5);
    PaintCounter knob(panel.knobGroup()->knob());
    PaintCounter leftBar(panel.meters()->input()->bar(0));
    PaintCounter lamp(panel.meters()->input()->clipLamp(0));
    setup.runPasses(10);  // passes write every telemetry property, with unchanged values
    EXPECT_EQ(knob.paints, 0);
    EXPECT_EQ(leftBar.paints, 0);
    EXPECT_EQ(lamp.paints, 0);

    setup.playIntoDriver(0.5, 0.5);
    EXPECT_GT(leftBar.paints, 0);
    EXPECT_EQ(knob.paints, 0);
}

}  // namespace
}  // namespace korvane::test
