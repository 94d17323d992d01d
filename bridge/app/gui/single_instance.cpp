#include "bridge/app/gui/single_instance.h"

#include <QFile>
#include <QLocalSocket>
#include <QThread>
#include <QWidget>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "bridge/common/atomic_file.h"
#include "bridge/common/paths.h"

namespace palisor::gui {

namespace {

constexpr QByteArrayView kShowRequest = "show\n";

}  // namespace

SingleInstance::SingleInstance(QString folder) : folder_(std::move(folder)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_.nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (!peer->canReadLine()) return;
                if (peer->readLine() == kShowRequest.toByteArray() && onActivationRequested) onActivationRequested();
                peer->disconnectFromServer();
            });
        }
    });
}

SingleInstance::~SingleInstance() {
    server_.close();
    if (lockFd_ >= 0) ::close(lockFd_);
}

void bringToFront(QWidget& window) {
    if (window.isMinimized())
        window.showNormal();
    else
        window.show();
    window.raise();
    window.activateWindow();
}

SingleInstance::Claim SingleInstance::claim() {
    const std::string folder = QFile::encodeName(folder_).toStdString();
    const QString socketPath = folder_ + QStringLiteral("/window.sock");
    try {
        createDirectories(folder, 0700);
    } catch (const std::exception&) {
        return Claim::unavailable;
    }
    int fd = ::open(joinPath(folder, "window.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Claim::unavailable;
    int locked;
    while ((locked = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked == 0) {
        lockFd_ = fd;
        // A socket left by a window that crashed; only the lock's holder may
        // take its place.
        QLocalServer::removeServer(socketPath);
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        server_.listen(socketPath);
        return Claim::first;
    }
    ::close(fd);
    // The first window may still be on its way to listening.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    do {
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(500)) {
            socket.write(kShowRequest.data(), kShowRequest.size());
            if (socket.waitForBytesWritten(1000)) {
                // Until the first window has read the request and hung up.
                socket.waitForDisconnected(1000);
                return Claim::anotherActivated;
            }
        }
        QThread::msleep(100);
    } while (std::chrono::steady_clock::now() < deadline);
    return Claim::anotherSilent;
}

}  // namespace palisor::gui
