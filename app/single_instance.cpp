#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

namespace tessaline {

namespace {

constexpr char kActivate[] = "activate\n";
constexpr char kAnswer[] = "ok\n";

// "activate" with the switches a running copy acts on: "activate -S -P\n". The sibling tool is
// only ever sent the plain request.
QByteArray ActivateRequest(const QStringList& switches) {
    QByteArray request = "activate";
    for (const char* wanted : {"-S", "-P"}) {
        for (const QString& s : switches) {
            if (s.toUpper() == wanted) {
                request += QByteArray(" ") + wanted;
                break;
            }
        }
    }
    return request + "\n";
}

// The switches of a request line; nullopt when it is no request.
std::optional<QStringList> ParseRequest(const QByteArray& line) {
    if (line == kActivate) return QStringList();
    if (!line.startsWith("activate ") || !line.endsWith('\n')) return std::nullopt;
    QStringList switches;
    for (const QByteArray& word : line.mid(9).trimmed().split(' ')) {
        if (word == "-S" || word == "-P") switches.append(QString::fromLatin1(word));
    }
    return switches;
}

}  // namespace

std::filesystem::path InstanceFolderForThisProcess() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return runtime;
    return std::filesystem::temp_directory_path();
}

std::filesystem::path InstanceSocketPath(const std::filesystem::path& folder, const char* name) {
    // The user id in the name keeps users apart where the folder is shared (/tmp).
    return folder / (std::string(name) + "." + std::to_string(::getuid()));
}

SingleInstance::SingleInstance(std::filesystem::path folder, QObject* parent)
    : QObject(parent), folder_(std::move(folder)) {}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();  // removes the socket file
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

SingleInstance::Outcome SingleInstance::Claim(const QStringList& switches) {
    const std::filesystem::path socket = InstanceSocketPath(folder_, kInstanceName);
    const std::string lock = socket.string() + ".lock";
    lock_fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock_fd_ >= 0 && ::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(lock_fd_);
        lock_fd_ = -1;
        if (err == EWOULDBLOCK) {
            // Another copy runs (or is starting and not yet listening: keep trying a while). If it
            // never answers, this copy ends all the same, as a second copy must not run.
            AskToShow(QString::fromStdString(socket.string()), kHandOverWaitMs,
                      ActivateRequest(switches));
            return Outcome::HandedOver;
        }
    }
    const std::filesystem::path sibling = InstanceSocketPath(folder_, kSiblingInstanceName);
    if (AskToShow(QString::fromStdString(sibling.string()), 0, kActivate)) {
        if (lock_fd_ >= 0) ::close(lock_fd_);
        lock_fd_ = -1;
        return Outcome::HandedToSibling;
    }
    if (lock_fd_ >= 0) Listen();
    return Outcome::First;
}

void SingleInstance::Listen() {
    const QString path =
        QString::fromStdString(InstanceSocketPath(folder_, kInstanceName).string());
    // We hold the lock, so a socket file there is a crashed copy's leftover.
    QLocalServer::removeServer(path);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path)) {
        // Later starts still find the lock and end; they just cannot bring this window forward.
        server_.reset();
        return;
    }
    connect(server_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                while (peer->canReadLine()) {
                    const std::optional<QStringList> switches = ParseRequest(peer->readLine(64));
                    if (!switches) continue;
                    emit activationRequested();
                    if (!switches->isEmpty()) emit switchesHandedOver(*switches);
                    peer->write(kAnswer);
                    peer->flush();
                }
            });
        }
    });
}

bool SingleInstance::AskToShow(const QString& path, int wait_ms, const QByteArray& request) {
    if (!std::filesystem::exists(path.toStdString())) {
        if (wait_ms <= 0) return false;
    }
    const QDeadlineTimer deadline(wait_ms);
    do {
        QLocalSocket socket;
        socket.connectToServer(path);
        if (socket.waitForConnected(200)) {
            socket.write(request);
            socket.waitForBytesWritten(500);
            // The answer comes once the window was brought forward; a copy too busy to answer
            // in time has the request all the same.
            socket.waitForReadyRead(std::max<int>(500, static_cast<int>(deadline.remainingTime())));
            socket.disconnectFromServer();
            return true;
        }
        if (wait_ms <= 0) break;
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return false;
}

}  // namespace tessaline
