// korvane-grab-screen FILE.png: saves what the X display ($DISPLAY) shows, for runs on a virtual
// display where no screenshot tool is installed.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.png\n", argv[0]);
        return 2;
    }
    QGuiApplication application(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fprintf(stderr, "korvane-grab-screen: no screen\n");
        return 1;
    }
    if (!screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "korvane-grab-screen: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
