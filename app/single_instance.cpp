#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "recording/private_folder.h"

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
    if (runtime && *runtime == '/') return std::filesystem::path(runtime) / "tessaline";
    return {};
}

std::vector<std::filesystem::path> InstanceFoldersForThisProcess() {
    std::vector<std::filesystem::path> folders;
    for (std::filesystem::path folder : {InstanceFolderForThisProcess(), PrivateFolder()}) {
        if (!folder.empty()) folders.push_back(std::move(folder));
    }
    return folders;
}

std::filesystem::path InstanceSocketPath(const std::filesystem::path& folder, const char* name) {
    // The user id in the name keeps users apart where the folder is shared (/tmp).
    return folder / (std::string(name) + "." + std::to_string(::getuid()));
}

SingleInstance::SingleInstance(std::vector<std::filesystem::path> folders, QObject* parent)
    : QObject(parent), folders_(std::move(folders)) {}

SingleInstance::SingleInstance(std::filesystem::path folder, QObject* parent)
    : SingleInstance(std::vector<std::filesystem::path>{std::move(folder)}, parent) {}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();  // removes the socket file
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

int SingleInstance::TakeLock(const std::filesystem::path& folder, std::string& reason) {
    // Only a folder of our own: a lock file another user can make or hold would let them keep
    // every start of ours from running (or make it think it runs alone).
    if (!PreparePrivateFolder(folder, reason)) return -1;
    const std::string lock = InstanceSocketPath(folder, kInstanceName).string() + ".lock";
    int fd;
    do {
        fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        reason = lock + ": " + std::strerror(errno);
        return -1;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        lock_fd_ = fd;
        return 1;
    }
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return 0;
    reason = lock + ": " + std::strerror(err);
    return -1;
}

SingleInstance::Outcome SingleInstance::Claim(const QStringList& switches) {
    std::string reasons;
    for (const std::filesystem::path& folder : folders_) {
        std::string reason;
        const int taken = TakeLock(folder, reason);
        if (taken == 0) {
            // Another copy runs (or is starting and not yet listening: keep trying a while). If
            // it never answers, this copy ends all the same, as a second copy must not run.
            AskToShow(QString::fromStdString(InstanceSocketPath(folder, kInstanceName).string()),
                      kHandOverWaitMs, ActivateRequest(switches));
            return Outcome::HandedOver;
        }
        if (taken == 1) {
            folder_ = folder;
            break;
        }
        reasons += "\n  " + reason;
    }
    if (lock_fd_ < 0) {
        std::fprintf(stderr,
                     "tessaline: cannot take the lock that keeps a second copy from running; "
                     "starting without it.%s\n",
                     reasons.empty() ? " (no folder for it: no runtime folder and no home)"
                                     : reasons.c_str());
    }
    // The sibling tool listens in the runtime folder around ours.
    const std::filesystem::path ours = folder_.empty() ? InstanceFolderForThisProcess() : folder_;
    const std::filesystem::path where = ours.parent_path();
    if (!where.empty()) {
        const std::filesystem::path sibling = InstanceSocketPath(where, kSiblingInstanceName);
        if (AskToShow(QString::fromStdString(sibling.string()), 0, kActivate)) {
            if (lock_fd_ >= 0) ::close(lock_fd_);
            lock_fd_ = -1;
            return Outcome::HandedToSibling;
        }
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
