#include "panel/app/single_instance.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::app {
namespace {

constexpr char kRequest[] = "reopen\n";
constexpr char kAnswer[] = "ok\n";
constexpr qsizetype kMaximumRequestBytes = 64;
// How long a later launch keeps trying while the running panel is still starting (it takes the
// lock before it listens) or busy.
constexpr auto kHandoverDeadline = std::chrono::seconds(5);
constexpr int kConnectionTimeoutMs = 2000;

std::filesystem::path temporaryBase() {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"})
        if (const char* value = std::getenv(name); value && *value) return value;
    return "/tmp";
}

// Creates the folder when missing; accepts it only as a real directory (not a link) of this user,
// and takes its permissions back to 0700.
bool makePrivateFolder(const std::filesystem::path& folder, std::string& error) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + folder.string();
        return false;
    }
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::getuid()) {
        error = folder.string() + " is not a folder of this user";
        return false;
    }
    if ((status.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
        error = "cannot make " + folder.string() + " private";
        return false;
    }
    return true;
}

bool peerIsThisUser(qintptr descriptor) {
    struct ucred credentials {};
    socklen_t size = sizeof credentials;
    return ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
           credentials.uid == ::getuid();
}

bool askToReopen(const QString& serverPath) {
    QLocalSocket socket;
    socket.connectToServer(serverPath);
    if (!socket.waitForConnected(kConnectionTimeoutMs)) return false;
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(kConnectionTimeoutMs)) return false;
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < kMaximumRequestBytes && socket.waitForReadyRead(kConnectionTimeoutMs))
        answer += socket.read(kMaximumRequestBytes);
    return answer == kAnswer;
}

}  // namespace

std::filesystem::path singleInstanceFolder() {
    return temporaryBase() / ("korvane-panel-" + std::to_string(::getuid()));
}

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() {
    if (server_) server_->close();  // removes the socket file before the lock goes
    if (lockFd_ >= 0) ::close(lockFd_);
}

SingleInstance::Outcome SingleInstance::claim() {
    const std::filesystem::path folder = singleInstanceFolder();
    if (!makePrivateFolder(folder, error_)) return Outcome::primary;
    const std::filesystem::path lockPath = folder / "panel.lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat status {};
    if (lockFd_ < 0 || ::fstat(lockFd_, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::getuid()) {
        error_ = "cannot use " + lockPath.string();
        return Outcome::primary;
    }
    const QString serverPath = QString::fromStdString((folder / "panel.socket").string());
    const auto deadline = std::chrono::steady_clock::now() + kHandoverDeadline;
    do {
        // The lock is held for the panel's whole life and released by the kernel however it ends,
        // so a socket file found while holding it is a leftover.
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
            listen();  // on failure the panel still runs, unreachable by later launches
            return Outcome::primary;
        }
        if (askToReopen(serverPath)) return Outcome::handedOver;
        QThread::msleep(50);
    } while (std::chrono::steady_clock::now() < deadline);
    error_ = "KORVANE is already running but did not answer.";
    return Outcome::failed;
}

bool SingleInstance::listen() {
    const QString serverPath = QString::fromStdString((singleInstanceFolder() / "panel.socket").string());
    QLocalServer::removeServer(serverPath);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(serverPath)) {
        error_ = "cannot listen on " + serverPath.toStdString() + ": " + server_->errorString().toStdString();
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
    return true;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!peerIsThisUser(socket->socketDescriptor())) {
            socket->abort();
            continue;
        }
        // A peer that says nothing, or too much, is dropped.
        QTimer::singleShot(kConnectionTimeoutMs, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() > kMaximumRequestBytes) {
                socket->abort();
                return;
            }
            if (!socket->canReadLine()) return;
            const QByteArray line = socket->readLine(kMaximumRequestBytes);
            if (line != kRequest) {
                socket->abort();
                return;
            }
            socket->write(kAnswer);
            socket->flush();
            socket->disconnectFromServer();
            emit reopenRequested();
        });
    }
}

}  // namespace korvane::app
