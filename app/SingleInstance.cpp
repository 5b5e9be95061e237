#include "app/SingleInstance.h"

#include "jobs/PrivateFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The one message a later start sends.
constexpr char kKnock[] = "present\n";
// How long a later start waits for a lock that may be on its way out, and for the socket's
// answer; a running program answers at once.
constexpr int kLockWaitMs = 100;
constexpr int kKnockWaitMs = 1000;
// How long a later start keeps knocking while the lock's holder is still starting (between its
// lock and its listening).
constexpr int kStartingHolderMs = 3000;

void Say(const QString& program, const std::string& text)
{
    std::fprintf(stderr, "%s: %s\n", QFile::encodeName(program).constData(), text.c_str());
    std::fflush(stderr);
}

// Whether the folder is the user's own and nobody else can add, remove or replace what is in it.
bool IsPrivate(const QString& folder, std::string& why)
{
    struct stat info
    {};
    if (lstat(QFile::encodeName(folder).constData(), &info) != 0) {
        why = folder.toStdString() + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        why = folder.toStdString() + " is no folder";
    } else if (info.st_uid != geteuid()) {
        why = folder.toStdString() + " belongs to another user";
    } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = folder.toStdString() + " can be written by other users";
    } else {
        return true;
    }
    return false;
}

// The folder for the lock and the socket: the runtime folder that XDG_RUNTIME_DIR names (which
// Qt checks to be the user's own, 0700; Qt's stand-in for an unusable one is not taken), or else
// one of the program's data that the user alone can reach. Empty, with the reason, when neither
// is private.
QString PrivateRunFolder(const QString& program, std::string& why)
{
    const QString named = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!named.isEmpty()) {
        const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (!runtime.isEmpty() && QDir::cleanPath(runtime) == QDir::cleanPath(named) &&
            IsPrivate(runtime, why)) {
            return runtime;
        }
    }
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty()) {
        why = "there is no folder for the program's data";
        return {};
    }
    const QString own = data + QStringLiteral("/Ombrix/") + program + QStringLiteral("/run");
    if (!MakePrivateFolders(QFile::encodeName(own).toStdString(), why) || !IsPrivate(own, why)) {
        return {};
    }
    return own;
}

// The runtime folder may be cleaned of files untouched for hours; a program that runs for days
// keeps its lock and socket there with the sticky bit, as the folder's rules ask.
void KeepFromCleanUp(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info
    {};
    if (stat(name.constData(), &info) == 0) {
        chmod(name.constData(), (info.st_mode & 07777) | S_ISVTX);
    }
}

} // namespace

SingleInstance::SingleInstance(const QString& programName, QObject* parent)
    : QObject(parent), program_(programName)
{}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::Claim()
{
    std::string why;
    const QString folder = PrivateRunFolder(program_, why);
    if (folder.isEmpty()) {
        Say(program_, "cannot make sure that only one Ferrovane runs with these settings (" + why +
                          "); starting all the same");
        return true;
    }
    const QString base = folder + QStringLiteral("/Ombrix-") + program_;
    lockPath_ = base + QStringLiteral(".lock");
    socketPath_ = base + QStringLiteral(".socket");
    lock_ = std::make_unique<QLockFile>(lockPath_);
    // Only a lock whose process is gone is stale, however long the program has been running.
    lock_->setStaleLockTime(0);

    const QDeadlineTimer holderStarting(kStartingHolderMs);
    for (;;) {
        if (lock_->tryLock(kLockWaitMs)) {
            KeepFromCleanUp(lockPath_);
            Listen();
            return true;
        }
        if (lock_->error() != QLockFile::LockFailedError) {
            Say(program_, "cannot take the lock " + lockPath_.toStdString() +
                              " that keeps Ferrovane to one run with these settings; starting all "
                              "the same");
            return true;
        }
        if (Knock()) {
            Say(program_, "already running with these settings; its window comes to the front");
            return false;
        }
        // Nobody answers: the lock's holder may have died without Qt noticing (its process
        // number taken by another program), which the lock itself tells, or still be starting.
        if (lock_->removeStaleLockFile()) {
            continue;
        }
        if (holderStarting.hasExpired()) {
            break;
        }
        QThread::msleep(50);
    }
    qint64 pid = 0;
    QString host;
    QString application;
    lock_->getLockInfo(&pid, &host, &application);
    Say(program_, "already running with these settings (process " + std::to_string(pid) +
                      "), but it does not answer; leaving it alone");
    return false;
}

bool SingleInstance::Knock() const
{
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(kKnockWaitMs)) {
        return false;
    }
    socket.write(kKnock, qint64(sizeof kKnock - 1));
    const bool sent = socket.waitForBytesWritten(kKnockWaitMs) || socket.bytesToWrite() == 0;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) {
        socket.waitForDisconnected(kKnockWaitMs);
    }
    return sent;
}

void SingleInstance::Listen()
{
    // We hold the lock, so a socket already there was left by a program that is gone.
    QLocalServer::removeServer(socketPath_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
    if (!server_->listen(socketPath_)) {
        Say(program_, "cannot listen on " + socketPath_.toStdString() + " (" +
                          server_->errorString().toStdString() +
                          "); a later start will not bring this window forward");
        return;
    }
    KeepFromCleanUp(socketPath_);
}

void SingleInstance::OnConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                return;
            }
            const bool knock = socket->readLine(64) == QByteArray(kKnock);
            socket->disconnectFromServer();
            if (knock) {
                Q_EMIT presentRequested();
            }
        });
    }
}
