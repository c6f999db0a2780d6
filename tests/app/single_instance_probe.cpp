// A stand-in for a panel launch in single-instance tests. Prints its outcome ("primary",
// "handedOver" or "failed"); a primary then prints "ready" and one "reopen" line per later launch,
// until SIGTERM. Exit status: 0, or 1 when it failed.
#include "panel/app/single_instance.h"
#include "panel/app/termination_signals.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    korvane::app::TerminationSignals terminationSignals;
    korvane::app::SingleInstance instance;
    switch (instance.claim()) {
    case korvane::app::SingleInstance::Outcome::handedOver: std::printf("handedOver\nready\n"); return 0;
    case korvane::app::SingleInstance::Outcome::failed: std::printf("failed %s\nready\n", instance.error().c_str()); return 1;
    case korvane::app::SingleInstance::Outcome::primary: break;
    }
    std::printf("primary%s%s\nready\n", instance.error().empty() ? "" : " ", instance.error().c_str());
    std::fflush(stdout);
    QObject::connect(&instance, &korvane::app::SingleInstance::reopenRequested, [] {
        std::printf("reopen\n");
        std::fflush(stdout);
    });
    QObject::connect(&terminationSignals, &korvane::app::TerminationSignals::terminationRequested, &application,
                     &QCoreApplication::quit);
    return application.exec();
}
