// KORVANE: the panel program. One per user: a later launch asks the running panel to reopen and
// exits. SIGTERM and SIGINT, like "Quit KORVANE", run the quit sequence, which waits for the
// routing helper to close before the panel leaves.
#include "panel/app/korvane_app.h"
#include "panel/views/appearance.h"
#include "panel/app/single_instance.h"
#include "panel/app/termination_signals.h"
#include "platform/audio_hardware.h"
#include "platform/linux_application_services.h"
#include "system/audio_system.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("RAVLIN"));
    QApplication::setApplicationName(QStringLiteral("KORVANE"));
    QApplication::setApplicationDisplayName(QStringLiteral("KORVANE"));
    QApplication::setDesktopFileName(QStringLiteral("audio.ravlin.korvane"));

    // Before anything slow, so that a signal during start-up waits on the event loop.
    korvane::app::TerminationSignals terminationSignals;

    korvane::app::SingleInstance instance;
    switch (instance.claim()) {
    case korvane::app::SingleInstance::Outcome::handedOver: return 0;
    case korvane::app::SingleInstance::Outcome::failed:
        std::fprintf(stderr, "KORVANE: %s\n", instance.error().c_str());
        return 1;
    case korvane::app::SingleInstance::Outcome::primary:
        if (!instance.error().empty()) std::fprintf(stderr, "KORVANE: %s; later launches start a second panel\n",
                                                    instance.error().c_str());
        break;
    }

    korvane::views::applyDarkAppearance(application);
    platform::LinuxApplicationServices applications;
    if (const auto bundle = applications.mainBundleLocation())
        QApplication::setWindowIcon(QIcon(QString::fromStdString((*bundle / "Contents/Resources/KORVANEBrand.png").string())));

    std::string error;
    auto system = korvane::system::connectAudioSystem(error);
    if (!system) {
        std::fprintf(stderr, "KORVANE: %s\n", error.c_str());
        QMessageBox::critical(nullptr, QStringLiteral("KORVANE"),
                              QStringLiteral("KORVANE cannot reach the computer’s audio system."),
                              QMessageBox::Ok);
        return 1;
    }
    platform::audio::ScopedHardware installed(*system->hardware);

    korvane::app::KORVANEApp app(applications, *system->queues);
    QObject::connect(&terminationSignals, &korvane::app::TerminationSignals::terminationRequested, &app,
                     &korvane::app::KORVANEApp::requestTerminationBySignal);
    QObject::connect(&instance, &korvane::app::SingleInstance::reopenRequested, &app, &korvane::app::KORVANEApp::reopen);
    app.start();
    return application.exec();
}
