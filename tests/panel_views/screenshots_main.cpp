// korvane-screenshots DIR: renders the panel offscreen in the states a person should review
// (full and compact layouts, a running route with moving meters, the driver missing, the helper
// unavailable with the recovery action, the settings view, the help sheet) as PNG files in DIR.
// Each state runs the real model over the in-process device model, in private directories.
#include "panel/views/appearance.h"
#include "panel/views/help_sheet.h"
#include "panel/views/settings_panel.h"
#include "tests/panel_views/view_fixture.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QScrollArea>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

using korvane::test::ViewSetup;
namespace views = korvane::views;

bool save(const QPixmap& picture, const QString& directory, const char* name) {
    const QString path = QDir(directory).filePath(QString::fromLatin1(name));
    if (!picture.save(path, "PNG")) {
        std::fprintf(stderr, "korvane-screenshots: could not write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// A sheet as the user sees it: the window dimmed behind it, the sheet hanging from its top.
QPixmap overWindow(const QPixmap& window, QWidget& sheet) {
    sheet.show();
    QCoreApplication::processEvents();
    const QPixmap sheetPicture = sheet.grab();
    QPixmap picture = window;
    QPainter p(&picture);
    p.fillRect(picture.rect(), QColor(0, 0, 0, 115));
    const QPoint at((picture.width() - sheetPicture.width()) / 2, 28);
    p.setRenderHint(QPainter::Antialiasing);
    for (int spread = 12; spread > 0; spread -= 3)
        p.fillRect(QRect(at, sheetPicture.size()).adjusted(-spread, -spread / 2, spread, spread), QColor(0, 0, 0, 22));
    p.drawPixmap(at, sheetPicture);
    return picture;
}

// How a scene's model stands when its panel shows.
enum class Start {
    running,       // routing applied and answered as running
    driverMissing, // the virtual device unplugged
    helperSilent,  // routing applied, then five seconds without an answer from the helper
};
enum class Layout { full, compact };
// What a scene's picture shows.
enum class Shot { panel, helpSheet, settingsSheet, settingsWindow, settingsContent };

struct Scene {
    const char* file;
    Start start;
    Layout layout;
    std::function<void(ViewSetup&)> then;  // on the shown panel, before the picture; may be empty
    Shot shot;
};

// The panel's meters after a stereo tone with these peaks played into the virtual device.
std::function<void(ViewSetup&)> playing(double left, double right) {
    return [=](ViewSetup& s) { s.playIntoDriver(left, right); };
}

// `then`, with the panel at the compact layout's minimum width.
std::function<void(ViewSetup&)> atMinimumWidth(std::function<void(ViewSetup&)> then) {
    return [then = std::move(then)](ViewSetup& s) {
        s.panel->resize(views::Panel::kMinimumWidthCompact, s.panel->height());
        if (then) then(s);
    };
}

views::Panel& showPanel(ViewSetup& s, Start start, Layout layout) {
    const bool compact = layout == Layout::compact;
    switch (start) {
    case Start::running:
        s.startRunning();
        return s.showPanel(compact);
    case Start::driverMissing:
        s.audio.model.unplug(korvane::test::kKorvane);
        return s.showPanel(compact);
    case Start::helperSilent: {
        s.create();
        s.model->applyRouting(true);
        views::Panel& panel = s.showPanel(compact);
        s.runPasses(100);
        return panel;
    }
    }
    std::abort();
}

QPixmap render(const Scene& scene, ViewSetup& s) {
    views::Panel& panel = showPanel(s, scene.start, scene.layout);
    if (scene.then) {
        scene.then(s);
        s.settle();
    }
    switch (scene.shot) {
    case Shot::panel:
        return panel.grab();
    case Shot::helpSheet:
    case Shot::settingsSheet: {
        const QPixmap window = panel.grab();
        if (scene.shot == Shot::helpSheet)
            panel.showHelp();
        else
            panel.showSettings();
        s.settle();
        QWidget* sheet = scene.shot == Shot::helpSheet ? static_cast<QWidget*>(panel.helpSheet()) : panel.settingsSheet();
        return overWindow(window, *sheet);
    }
    case Shot::settingsWindow:
    case Shot::settingsContent: {
        views::SettingsPanel settings(*s.model, *s.interface);
        settings.show();
        s.settle();
        if (scene.shot == Shot::settingsWindow) return settings.grab();
        QWidget* content = settings.findChild<QScrollArea*>()->widget();
        content->resize(views::SettingsPanel::kWidth, content->sizeHint().height());
        return content->grab();
    }
    }
    std::abort();
}

const Scene kScenes[] = {
    {"panel-full.png", Start::running, Layout::full, playing(0.5, 0.32), Shot::panel},
    {"panel-compact.png", Start::running, Layout::compact, playing(0.5, 0.32), Shot::panel},
    // The right channel reaches 0 dBFS: its clip lamp lights.
    {"panel-running-clipping.png", Start::running, Layout::full, playing(0.8, 1.0), Shot::panel},
    {"panel-pending-changes.png", Start::running, Layout::full,
     [](ViewSetup& s) { s.model->setSelectedOutput(korvane::test::kHeadphones); }, Shot::panel},
    {"panel-driver-missing.png", Start::driverMissing, Layout::full, nullptr, Shot::panel},
    {"panel-unavailable.png", Start::helperSilent, Layout::full, nullptr, Shot::panel},
    // The compact layout at its minimum width, routing and then with the driver gone.
    {"panel-compact-minimum.png", Start::running, Layout::compact, atMinimumWidth(playing(0.5, 0.32)), Shot::panel},
    {"panel-compact-minimum-driver-missing.png", Start::driverMissing, Layout::compact, atMinimumWidth(nullptr),
     Shot::panel},
    {"panel-recovered-compact.png", Start::helperSilent, Layout::compact, [](ViewSetup& s) { s.model->restoreMacOutput(); },
     Shot::panel},
    {"settings.png", Start::running, Layout::full, nullptr, Shot::settingsWindow},
    {"settings-all.png", Start::running, Layout::full, nullptr, Shot::settingsContent},
    {"settings-driver-missing-sheet.png", Start::driverMissing, Layout::full, nullptr, Shot::settingsSheet},
    {"help-sheet.png", Start::running, Layout::full, [](ViewSetup& s) { s.model->createDAWDevice(); }, Shot::helpSheet},
    {"help-sheet-driver-missing.png", Start::driverMissing, Layout::full, nullptr, Shot::helpSheet},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvane-screenshots DIR\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    views::applyDarkAppearance(app);
    const QString directory = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(directory)) {
        std::fprintf(stderr, "korvane-screenshots: cannot create %s\n", argv[1]);
        return 1;
    }
    bool ok = true;
    for (const Scene& scene : kScenes) {
        ViewSetup setup;
        ok = save(render(scene, setup), directory, scene.file) && ok;
    }
    return ok ? 0 : 1;
}
