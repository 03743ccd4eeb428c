#include "app/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace ringlark {

namespace {

const QByteArray reopenMessage = QByteArrayLiteral("reopen\n");
const QByteArray acknowledgement = QByteArrayLiteral("ok\n");

} // namespace

SingleInstance::SingleInstance(QString directory, QObject* parent)
    : QObject(parent), m_directory(std::move(directory))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultDirectory()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir;
}

QString SingleInstance::serverName() const
{
    return QDir(m_directory).filePath(QStringLiteral("com.ringlark.mac.socket"));
}

SingleInstance::Outcome SingleInstance::claim(std::chrono::milliseconds wait)
{
    QDir().mkpath(m_directory);
    m_lock = std::make_unique<QLockFile>(QDir(m_directory).filePath(QStringLiteral("com.ringlark.mac.lock")));
    // Only a dead holder makes a lock stale, however old it is.
    m_lock->setStaleLockTime(0);
    const QDeadlineTimer deadline(wait);
    while (true) {
        if (m_lock->tryLock(0)) {
            listen();
            return Outcome::first;
        }
        // The holder may have just died; tryLock removes its lock next round.
        if (askToReopen(serverName(), std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0))))
            return Outcome::alreadyRunning;
        if (deadline.hasExpired())
            return Outcome::alreadyRunning;
        QThread::msleep(50);
    }
}

void SingleInstance::listen()
{
    // Holding the lock, any socket left under the name is a dead copy's.
    QLocalServer::removeServer(serverName());
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(serverName()))
        qWarning("single instance: cannot listen on %s: %s", qPrintable(serverName()),
                 qPrintable(m_server->errorString()));
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine())
                    return;
                if (socket->readLine() == reopenMessage) {
                    socket->write(acknowledgement);
                    socket->flush();
                    emit reopenRequested();
                }
                socket->disconnectFromServer();
            });
        }
    });
}

bool SingleInstance::askToReopen(const QString& name, std::chrono::milliseconds wait)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    const int ms = int(std::max<qint64>(wait.count(), 1));
    if (!socket.waitForConnected(std::min(ms, 500)))
        return false;
    socket.write(reopenMessage);
    if (!socket.waitForBytesWritten(ms))
        return false;
    // An answer proves a live first copy; without one, keep trying the lock.
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(ms))
            return false;
    return socket.readLine() == acknowledgement;
}

} // namespace ringlark
