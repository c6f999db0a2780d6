// SIGTERM and SIGINT to the panel, turned into a termination request on the Qt event loop. The
// signal handler only writes one byte to a socket pair; everything else runs on the main thread.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace korvane::app {

class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    // Installs the handlers. One instance per process, created on the main thread; the destructor
    // restores the default dispositions.
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    // Main thread. One emission per signal received (bursts may be merged).
    void terminationRequested();

private:
    void drain();
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace korvane::app
