#include "panel/app/termination_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane::app {
namespace {

// [0] is read on the main thread, [1] written by the handler. Process-wide, as signals are.
int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int signal) {
    const int savedErrno = errno;
    const char byte = static_cast<char>(signal);
    // Async-signal-safe; a full pipe already holds a pending request, so a failed write loses nothing.
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalPipe) != 0)
        throw std::runtime_error("could not create the signal socket pair");
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::drain);

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    delete notifier_;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void TerminationSignals::drain() {
    char bytes[64];
    bool received = false;
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0) received = true;
    if (received) emit terminationRequested();
}

}  // namespace korvane::app
