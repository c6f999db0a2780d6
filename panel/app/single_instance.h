// One panel per user. The first panel holds a lock and listens on a local socket in a private
// folder of the per-user temporary directory; a later launch finds the lock taken, asks the
// running panel to reopen, and exits.
#pragma once

#include <QObject>

#include <filesystem>
#include <memory>
#include <string>

class QLocalServer;

namespace korvane::app {

// The private folder: "korvane-panel-UID" in $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp.
std::filesystem::path singleInstanceFolder();

class SingleInstance final : public QObject {
    Q_OBJECT
public:
    enum class Outcome {
        primary,     // this process is the user's panel and now listens for later launches
        handedOver,  // a running panel was asked to reopen; this process should exit 0
        failed,      // a running panel holds the lock but did not answer; see error()
    };

    // Main thread, after the application object exists.
    SingleInstance();
    ~SingleInstance() override;

    // Takes the lock or hands over. A folder that is not private to the user (or cannot be made)
    // makes this panel run on its own, unreachable by later launches: `primary`, with error() set.
    Outcome claim();
    const std::string& error() const { return error_; }

signals:
    // Main thread: a later launch asked this panel to reopen.
    void reopenRequested();

private:
    bool listen();
    void accept();

    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
    std::string error_;
};

}  // namespace korvane::app
