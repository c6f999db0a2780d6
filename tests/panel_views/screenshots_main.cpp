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

struct Scene {
    const char* file;
    std::function<QPixmap(ViewSetup&)> render;
};

std::vector<Scene> scenes() {
    return {
        {"panel-full.png",
         [](ViewSetup& s) {
             s.startRunning();
             auto& panel = s.showPanel();
             s.playIntoDriver(0.5, 0.32);
             return panel.grab();
         }},
        {"panel-compact.png",
         [](ViewSetup& s) {
             s.startRunning();
             auto& panel = s.showPanel(true);
             s.playIntoDriver(0.5, 0.32);
             return panel.grab();
         }},
        {"panel-running-clipping.png",
         [](ViewSetup& s) {
             s.startRunning();
             auto& panel = s.showPanel();
             s.playIntoDriver(0.8, 1.0);  // the right channel reaches 0 dBFS: its clip lamp lights
             return panel.grab();
         }},
        {"panel-pending-changes.png",
         [](ViewSetup& s) {
             s.startRunning();
             auto& panel = s.showPanel();
             s.model->setSelectedOutput(korvane::test::kHeadphones);
             s.settle();
             return panel.grab();
         }},
        {"panel-driver-missing.png",
         [](ViewSetup& s) {
             s.audio.model.unplug(korvane::test::kKorvane);
             auto& panel = s.showPanel();
             return panel.grab();
         }},
        {"panel-unavailable.png",
         [](ViewSetup& s) {
             s.create();
             s.model->applyRouting(true);
             auto& panel = s.showPanel();
             s.runPasses(100);  // five seconds without an answer from the helper
             return panel.grab();
         }},
        {"panel-recovered-compact.png",
         [](ViewSetup& s) {
             s.create();
             s.model->applyRouting(true);
             auto& panel = s.showPanel(true);
             s.runPasses(100);
             s.model->restoreMacOutput();
             s.settle();
             return panel.grab();
         }},
        {"settings.png",
         [](ViewSetup& s) {
             s.startRunning();
             s.showPanel();
             views::SettingsPanel settings(*s.model, *s.interface);
             settings.show();
             s.settle();
             return settings.grab();
         }},
        {"settings-all.png",
         [](ViewSetup& s) {
             s.startRunning();
             s.showPanel();
             views::SettingsPanel settings(*s.model, *s.interface);
             settings.show();
             s.settle();
             QWidget* content = settings.findChild<QScrollArea*>()->widget();
             content->resize(views::SettingsPanel::kWidth, content->sizeHint().height());
             return content->grab();
         }},
        {"settings-driver-missing-sheet.png",
         [](ViewSetup& s) {
             s.audio.model.unplug(korvane::test::kKorvane);
             auto& panel = s.showPanel();
             const QPixmap window = panel.grab();
             panel.showSettings();
             s.settle();
             return overWindow(window, *panel.settingsSheet());
         }},
        {"help-sheet.png",
         [](ViewSetup& s) {
             s.startRunning();
             auto& panel = s.showPanel();
             s.model->createDAWDevice();
             s.settle();
             const QPixmap window = panel.grab();
             panel.showHelp();
             s.settle();
             return overWindow(window, *panel.helpSheet());
         }},
        {"help-sheet-driver-missing.png",
         [](ViewSetup& s) {
             s.audio.model.unplug(korvane::test::kKorvane);
             auto& panel = s.showPanel();
             const QPixmap window = panel.grab();
             panel.showHelp();
             s.settle();
             return overWindow(window, *panel.helpSheet());
         }},
    };
}

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
    for (const Scene& scene : scenes()) {
        ViewSetup setup;
        ok = save(scene.render(setup), directory, scene.file) && ok;
    }
    return ok ? 0 : 1;
}
