// korvane-accessibility-probe: the panel over the in-process device model in a window on the
// display, for an assistive-technology client to read; it prints "ready" once shown and ends when
// its standard input closes.
#include "panel/views/appearance.h"
#include "tests/panel_views/view_fixture.h"

#include <QApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    korvane::views::applyDarkAppearance(app);
    korvane::test::ViewSetup setup;
    setup.showPanel();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char byte;
        if (::read(STDIN_FILENO, &byte, 1) <= 0) QCoreApplication::quit();
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return QApplication::exec();
}
